"""Start-up, shut-down and the SSO policy."""

import subprocess
import sys
import textwrap

import pytest

import pyvessaruntime.pyvessaruntime as m


def test_start_and_stop(emu):
    assert m._startup_vessaruntime() is None and emu.is_started()
    assert m._shutdown_vessaruntime() is None and not emu.is_started()
    assert emu.calls("Startup") == 1 and emu.calls("Shutdown") == 1
    assert emu.calls("ReleaseLogCallbackHandle") == 0


def test_shutdown_returns_while_a_callback_is_still_running():
    # The runtime's shut-down waits for the callback, which needs the interpreter lock to end:
    # a shut-down that kept the lock would never return, so it runs in a process of its own.
    code = textwrap.dedent("""
        import threading, time
        import pyvessaruntime.pyvessaruntime as m
        m._startup_vessaruntime()
        running = threading.Event()
        def callback(result):
            running.set()
            time.sleep(0.2)  # the shut-down begins meanwhile
        m.discover_accounts("client", "corr", callback)
        assert running.wait(10)
        m._shutdown_vessaruntime()
        print("returned")
    """)
    done = subprocess.run([sys.executable, "-P", "-c", code], capture_output=True, text=True,
                          timeout=30)
    assert done.stdout.strip() == "returned", done.stderr


def test_second_startup_is_the_runtimes_answer(started):
    with pytest.raises(RuntimeError, match="ErrorStatus: Response_Status.Status_Unexpected$"):
        m._startup_vessaruntime()
    assert started.calls("Startup") == 2


@pytest.mark.parametrize("value, member", [
    (0, "Unknown"), (1, "PermissionRequired"), (2, "AlwaysAllowed"), (3, "Error")])
def test_sso_policy(started, value, member):
    started.configure(sso_policy=value)
    policy = m.get_sso_policy()
    assert policy is getattr(m.SsoPolicyType, member) and policy != value


@pytest.mark.parametrize("value", [4, -1])
def test_sso_policy_out_of_range(started, value):
    started.configure(sso_policy=value)
    with pytest.raises(ValueError):
        m.get_sso_policy()


def test_sso_policy_failure_names_the_function(started):
    started.fail_next("GetSsoPolicy", status=3, code=1, tag=2, context="x")
    with pytest.raises(RuntimeError) as info:
        m.get_sso_policy()
    assert str(info.value) == "get_sso_policy return unexpected"
    assert started.calls("GetStatus") == 0  # the error is released unread


def test_names_are_looked_up_at_call_time(started, monkeypatch):
    monkeypatch.setattr(m, "SsoPolicyType", lambda value: ("policy", value))
    assert m.get_sso_policy() == ("policy", 1)
    monkeypatch.delattr(m, "SsoPolicyType")
    with pytest.raises(NameError, match="name 'SsoPolicyType' is not defined"):
        m.get_sso_policy()


@pytest.mark.parametrize("function", ["_startup_vessaruntime", "_shutdown_vessaruntime",
                                      "_get_VESSARuntime_event", "get_sso_policy"])
def test_functions_take_no_arguments(emu, function):
    fn = getattr(m, function)
    assert fn.__doc__ == f"{function}()" and fn.__module__ == "pyvessaruntime.pyvessaruntime"
    with pytest.raises(TypeError):
        fn(1)
    assert emu.calls("Startup") == emu.calls("Shutdown") == emu.calls("GetSsoPolicy") == 0


class FakeRegistration:
    def __init__(self, log, fail=False):
        self.log, self.fail = log, fail

    def release_logging_callback(self):
        self.log.append(self)
        del m._logCallbackStorage[self]
        if self.fail:
            raise OSError("release failed")


def test_shutdown_releases_log_registrations_in_order_first(started, monkeypatch):
    released = []
    a, b = FakeRegistration(released), FakeRegistration(released)
    m._logCallbackStorage[a] = 1
    m._logCallbackStorage[b] = 2
    m._shutdown_vessaruntime()
    assert released == [a, b] and m._logCallbackStorage == {}
    assert not started.is_started()
    m._startup_vessaruntime()


def test_shutdown_stops_at_a_failing_release(started):
    released = []
    a, b = FakeRegistration(released, fail=True), FakeRegistration(released)
    m._logCallbackStorage[a] = 1
    m._logCallbackStorage[b] = 2
    with pytest.raises(OSError):
        m._shutdown_vessaruntime()
    assert released == [a] and list(m._logCallbackStorage) == [b]
    assert started.is_started() and started.calls("Shutdown") == 0
    m._logCallbackStorage.clear()

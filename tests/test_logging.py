"""Log callback registration, release, delivery of log lines, and the PII switch."""

import threading

import sys

import pytest

import pyvessaruntime.pyvessaruntime as m
from runtime_abi import lib as runtime

LOG_ROUTINE = "pyvessaruntime.pyvessaruntime._VESSARUNTIMELogCallback"


def test_registration_fills_both_storages(emu):
    def log(message, level):
        pass
    handle = m.register_logging_callback(log)
    key = m._logCallbackStorage[handle]
    record = m._callbackStorage[key]
    assert type(handle) is m.VESSARuntimeLogCallbackHandle
    assert record.callback is log and record.id is key
    assert emu.live_handles()["log_callback"] == 1
    references = sys.getrefcount(key)
    assert handle.release_logging_callback() is None
    assert m._logCallbackStorage == {} and m._callbackStorage == {}
    # Those of the two storages and the one the registration kept for the runtime's context.
    assert sys.getrefcount(key) == references - 3
    assert emu.calls("ReleaseLogCallbackHandle") == 1
    assert handle.release_logging_callback() is None  # a second release does nothing
    assert emu.calls("ReleaseLogCallbackHandle") == 1


def test_release_of_an_unregistered_handle_makes_no_call(emu):
    handle = m.VESSARuntimeLogCallbackHandle("ignored", x=1)
    assert handle.release_logging_callback() is None
    assert emu.calls("ReleaseLogCallbackHandle") == 0


def test_none_is_refused_and_anything_else_accepted(emu):
    with pytest.raises(TypeError, match="^Argument 'py_callback' must not be None$"):
        m.register_logging_callback(None)
    assert m._callbackStorage == {} and emu.calls("RegisterLogCallback") == 0
    handle = m.register_logging_callback(py_callback=42)  # not callable: fails per line only
    handle.release_logging_callback()


@pytest.mark.keeps_callback_records
def test_refused_registration_keeps_only_the_record(emu):
    emu.fail_next("RegisterLogCallback", status=9, context="no logging")
    with pytest.raises(RuntimeError, match="ErrorContext: no logging"):
        m.register_logging_callback(print)
    assert m._logCallbackStorage == {} and len(m._callbackStorage) == 1


class RefusingStorage(dict):
    def __setitem__(self, key, value):
        raise RuntimeError("storage refuses")


@pytest.mark.keeps_callback_records
@pytest.mark.parametrize("storage, error", [(RefusingStorage(), RuntimeError), (None, NameError)],
                         ids=["refusing", "missing"])
def test_a_failure_after_registering_leaves_no_registration(emu, monkeypatch, storage, error):
    if storage is None:
        monkeypatch.delattr(m, "_logCallbackStorage")
    else:
        monkeypatch.setattr(m, "_logCallbackStorage", storage)
    lines = []
    with pytest.raises(error):
        m.register_logging_callback(lambda *line: lines.append(line))
    assert emu.live_handles()["log_callback"] == 0 and emu.log_registrations() == 0
    emu.emit_log("after the failure", 3)
    assert lines == []


def test_release_failure_still_forgets_the_registration(emu):
    handle = m.register_logging_callback(print)
    emu.fail_next("ReleaseLogCallbackHandle", status=0)
    assert handle.release_logging_callback() is None
    assert m._logCallbackStorage == {} and m._callbackStorage == {}
    # the runtime kept its registration: drop it so the test ends clean
    (leftover,) = emu.live_handle_values("log_callback")
    runtime.VESSARUNTIME_ReleaseLogCallbackHandle(leftover)


@pytest.mark.keeps_callback_records
def test_release_with_missing_entry_raises_after_releasing(emu):
    handle = m.register_logging_callback(print)
    del m._logCallbackStorage[handle]
    with pytest.raises(KeyError):
        handle.release_logging_callback()
    assert emu.live_handles()["log_callback"] == 0
    assert handle.release_logging_callback() is None


def test_shutdown_releases_every_registration(emu):
    m._startup_vessaruntime()
    first, second = m.register_logging_callback(print), m.register_logging_callback(print)
    m._shutdown_vessaruntime()
    assert m._logCallbackStorage == {} and m._callbackStorage == {}
    assert emu.live_handles()["log_callback"] == 0
    for handle in (first, second):
        assert handle.release_logging_callback() is None


@pytest.mark.parametrize("value, passed", [(True, 1), (False, 0), (-2**31, -2**31), (2**31 - 1, 2**31 - 1), (7.9, 7)])
def test_pii_switch_coercion(emu, value, passed):
    assert m.set_is_pii_enabled(value) is None
    assert emu.pii_enabled() == passed


# Where long has 32 bits (Windows), the host's own conversion to long rejects these first.
TOO_LARGE = ("Python int too large to convert to C long" if sys.platform == "win32"
             else "value too large to convert to int32_t")


@pytest.mark.parametrize("value, error, message", [
    (2**31, OverflowError, TOO_LARGE),
    (-2**31 - 1, OverflowError, TOO_LARGE),
    (2**64, OverflowError, None),
    (None, TypeError, "an integer is required"),
    ("1", TypeError, "an integer is required"),
])
def test_pii_switch_refuses(emu, value, error, message):
    with pytest.raises(error) as info:
        m.set_is_pii_enabled(enabled=value)
    if message:
        assert str(info.value) == message
    assert emu.calls("SetIsPiiEnabled") == 0


def test_signatures():
    assert m.register_logging_callback.__doc__ == "register_logging_callback(py_callback)"
    assert m.set_is_pii_enabled.__doc__ == "set_is_pii_enabled(int32_t enabled)"
    release = m.VESSARuntimeLogCallbackHandle.release_logging_callback
    assert release.__doc__ == "VESSARuntimeLogCallbackHandle.release_logging_callback(self)"


class Lines:
    """A log callable that records (message, level, thread)."""

    def __init__(self):
        self.lines = []
        self.lock = threading.Lock()

    def __call__(self, message, level):
        with self.lock:
            self.lines.append((message, level, threading.get_ident()))


@pytest.fixture
def registered(emu):
    lines = Lines()
    handle = m.register_logging_callback(lines)
    yield lines, handle
    handle.release_logging_callback()


@pytest.mark.parametrize("thread", ["caller", "native"])
@pytest.mark.parametrize("level", [1, 4, 6])
def test_line_arrives_as_str_and_level_member(emu, registered, thread, level):
    lines, _ = registered
    emu.emit_log("hello \U0001F600", level, thread=thread)
    ((message, member, ident),) = lines.lines
    assert message == "hello \U0001F600" and member is m.LogLevel(level)
    assert (ident == threading.get_ident()) == (thread == "caller")


@pytest.mark.parametrize("level", [0, 7, -1])
def test_level_outside_the_enumeration_is_reported(emu, registered, unraisable, level):
    lines, _ = registered
    emu.emit_log("x", level)
    assert lines.lines == []
    assert [(kind, routine) for kind, _, _, routine in unraisable] == [(ValueError, LOG_ROUTINE)]


def test_raising_callable_is_reported(emu, unraisable):
    def log(message, level):
        raise RuntimeError("bad log sink")
    handle = m.register_logging_callback(log)
    emu.emit_log("x", 3, thread="native")
    handle.release_logging_callback()
    assert unraisable == [(RuntimeError, "bad log sink", None, LOG_ROUTINE)]


def test_system_exit_in_a_log_callable_does_not_end_the_process(emu, unraisable):
    def log(message, level):
        raise SystemExit(2)
    handle = m.register_logging_callback(log)
    emu.emit_log("x", 3, thread="native")
    handle.release_logging_callback()
    assert [kind for kind, *_ in unraisable] == [SystemExit]


def test_lines_from_many_native_threads_all_arrive(emu, registered):
    lines, _ = registered
    emu.emit_log("burst", 2, thread="native", threads=16)
    assert len(lines.lines) == 16 and len({ident for _, _, ident in lines.lines}) > 1


def test_releasing_one_of_two_registrations_keeps_the_other(emu):
    lines = Lines()
    first = m.register_logging_callback(lines)
    second = m.register_logging_callback(lines)
    first.release_logging_callback()
    emu.emit_log("still here", 3)
    assert [message for message, _, _ in lines.lines] == ["still here"]
    second.release_logging_callback()
    emu.emit_log("gone", 3)
    assert len(lines.lines) == 1


@pytest.mark.parametrize("units, expected", [
    ([0x61] * 0x10001, "a" * 0x10000),  # cut at the length limit
    ([0x61] * 0xFFFF + [0xD83D, 0xDE00], "a" * 0xFFFF),  # never inside a surrogate pair
    ([0x61, 0, 0x62], "a"),  # the line ends at its first zero unit
    ([0xDC00, 0x61, 0xD800], "\ufffda\ufffd"),  # unpaired surrogates are replaced
    ([0xD83D, 0xD83D, 0xDE00], "\ufffd\U0001F600"),
])
def test_long_and_invalid_lines_arrive(emu, registered, unraisable, units, expected):
    lines, _ = registered
    emu.emit_log(units, 3)
    assert lines.lines[0][0] == expected and unraisable == []


def test_runtime_lines_hide_personal_data_unless_enabled(started):
    lines = Lines()
    handle = m.register_logging_callback(lines)
    started.set_interactive_user(user_name="pii.person@example.test")
    params = m.VESSARuntimeAuthParameters("client", "https://login.example.test/t")
    for enabled in (False, True):
        m.set_is_pii_enabled(enabled)
        m.signin_interactively(0, params, "corr", None, lambda result: None)
        assert started.wait_idle()
        text = " ".join(message for message, _, _ in lines.lines)
        assert ("pii.person@example.test" in text) == enabled
        assert {level for _, level, _ in lines.lines} <= set(m.LogLevel)
    handle.release_logging_callback()


def test_shutdown_stops_at_a_registration_that_cannot_be_released(emu):
    m._startup_vessaruntime()
    first, second = m.register_logging_callback(print), m.register_logging_callback(print)
    del m._callbackStorage[m._logCallbackStorage[first]]
    with pytest.raises(KeyError):
        m._shutdown_vessaruntime()
    # the first was released before its storage entry went missing; the second is untouched
    assert list(m._logCallbackStorage) == [second] and emu.log_registrations() == 1
    assert emu.is_started() and emu.calls("Shutdown") == 0
    m._shutdown_vessaruntime()
    assert emu.log_registrations() == 0 and not emu.is_started()


def test_level_enumeration_is_looked_up_at_each_line(emu, registered, monkeypatch):
    lines, _ = registered
    monkeypatch.setattr(m, "LogLevel", lambda value: ("level", value))
    emu.emit_log("x", 9)
    assert lines.lines[0][1] == ("level", 9)

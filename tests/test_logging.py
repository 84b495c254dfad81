"""Log callback registration, release, delivery of log lines, and the PII switch."""

import threading

import pytest

import pyvessaruntime.pyvessaruntime as m

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
    assert handle.release_logging_callback() is None
    assert m._logCallbackStorage == {} and m._callbackStorage == {}
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


def test_refused_registration_keeps_only_the_record(emu):
    emu.fail_next("RegisterLogCallback", status=9, context="no logging")
    with pytest.raises(RuntimeError, match="ErrorContext: no logging"):
        m.register_logging_callback(print)
    assert m._logCallbackStorage == {} and len(m._callbackStorage) == 1


def test_release_failure_still_forgets_the_registration(emu):
    handle = m.register_logging_callback(print)
    emu.fail_next("ReleaseLogCallbackHandle", status=0)
    assert handle.release_logging_callback() is None
    assert m._logCallbackStorage == {} and m._callbackStorage == {}
    # the runtime kept its registration: drop it so the test ends clean
    (leftover,) = emu.live_handle_values("log_callback")
    emu.lib.VESSARUNTIME_ReleaseLogCallbackHandle(leftover)


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


@pytest.mark.parametrize("value, error, message", [
    (2**31, OverflowError, "value too large to convert to int32_t"),
    (-2**31 - 1, OverflowError, "value too large to convert to int32_t"),
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

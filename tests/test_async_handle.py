"""VESSARuntimeAsyncHandle: construction, cancellation and release of the operation handle."""

import ctypes

import pytest

import pyvessaruntime.pyvessaruntime as m
from runtime_abi import lib as runtime

NO_NETWORK_MESSAGE = ("ErrorTag: 7, ErrorCode: -3, ErrorContext: busy, "
                      "ErrorStatus: Response_Status.Status_NoNetwork")


def handle_field(obj):
    """The object's handle field, right after the object header. The operations are the only
    module code that fills it; these tests fill it with a handle the emulator made instead."""
    return ctypes.c_int64.from_address(id(obj) + object.__basicsize__)


def with_live_handle(emu):
    obj = m.VESSARuntimeAsyncHandle()
    handle = emu.new_async_handle()
    handle_field(obj).value = handle
    return obj, handle


@pytest.mark.parametrize("args, kwargs", [((), {}), ((1, "x", None), {}), ((), {"handle": 5}),
                                          ((None,), {"rawHandle": 1})])
def test_constructor_ignores_arguments_and_starts_null(emu, args, kwargs):
    obj = m.VESSARuntimeAsyncHandle(*args, **kwargs)
    assert handle_field(obj).value == 0
    del obj
    assert emu.calls("ReleaseAsyncHandle") == 0


def test_cancel_signature():
    cancel = m.VESSARuntimeAsyncHandle.cancel_async_operation
    assert cancel.__doc__ == "VESSARuntimeAsyncHandle.cancel_async_operation(self)"
    obj = m.VESSARuntimeAsyncHandle()
    with pytest.raises(TypeError):
        obj.cancel_async_operation(1)
    with pytest.raises(TypeError):
        obj.cancel_async_operation(force=True)


def test_cancel_passes_the_null_handle_on(emu):
    obj = m.VESSARuntimeAsyncHandle()
    with pytest.raises(RuntimeError) as info:
        obj.cancel_async_operation()
    assert info.value.args == (
        "ErrorTag: 0, ErrorCode: 0, ErrorContext: VESSARUNTIME_CancelAsyncOperation: handle 0x0 "
        "is not a live async_operation handle (null), "
        "ErrorStatus: Response_Status.Status_ApiContractViolation",)
    assert emu.calls("CancelAsyncOperation") == 1
    assert emu.take_contract_violations() == [
        "VESSARUNTIME_CancelAsyncOperation: handle 0x0 is not a live async_operation handle (null)"]


def test_cancel_reaches_the_operation_and_changes_nothing_in_the_object(emu):
    obj, handle = with_live_handle(emu)
    assert obj.cancel_async_operation() is None
    assert emu.async_state(handle) == "cancelled" and handle_field(obj).value == handle
    assert obj.cancel_async_operation() is None  # whatever the runtime answers a second time
    assert emu.calls("CancelAsyncOperation") == 2
    del obj
    assert emu.calls("ReleaseAsyncHandle") == 1 and emu.async_state(handle) is None


def test_refused_cancellation_raises_and_leaves_the_object_usable(emu):
    obj, handle = with_live_handle(emu)
    emu.fail_next("CancelAsyncOperation", status=3, code=-3, tag=7, context="busy")
    with pytest.raises(RuntimeError) as info:
        obj.cancel_async_operation()
    assert info.value.args == (NO_NETWORK_MESSAGE,)
    assert emu.async_state(handle) == "pending" and handle_field(obj).value == handle
    obj.cancel_async_operation()
    assert emu.async_state(handle) == "cancelled"


def test_release_failure_is_swallowed(emu):
    obj, handle = with_live_handle(emu)
    emu.fail_next("ReleaseAsyncHandle", status=3)
    del obj  # nothing raised or reported; the error the release answered is released
    assert emu.live_handles()["error"] == 0 and emu.async_state(handle) == "pending"
    assert runtime.VESSARUNTIME_ReleaseAsyncHandle(handle) is None

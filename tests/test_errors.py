"""Runtime errors become RuntimeError with the exact message; every error handle is released."""

import pytest

import pyvessaruntime.pyvessaruntime as m

NO_NETWORK = "Response_Status.Status_NoNetwork"


@pytest.mark.parametrize("tag, code, context, status, message", [
    (3, -5, None, 3, f"ErrorTag: 3, ErrorCode: -5, ErrorContext: None, ErrorStatus: {NO_NETWORK}"),
    (-2147483648, -9223372036854775808, "", 0,
     "ErrorTag: -2147483648, ErrorCode: -9223372036854775808, ErrorContext: , "
     "ErrorStatus: Response_Status.Status_Unexpected"),
    (0, 1234567, "ctx \U0001F600", 21,
     "ErrorTag: 0, ErrorCode: 1234567, ErrorContext: ctx \U0001F600, "
     "ErrorStatus: Response_Status.Status_FallbackToNativeVessa"),
])
def test_check_error_message(emu, tag, code, context, status, message):
    emu.fail_next("Startup", status=status, code=code, tag=tag, context=context)
    with pytest.raises(RuntimeError) as info:
        m._startup_vessaruntime()
    assert info.type is RuntimeError and info.value.args == (message,)
    assert not emu.is_started()


def test_check_error_reads_in_order(emu):
    emu.fail_next("Startup", status=3, context="c")
    with pytest.raises(RuntimeError):
        m._startup_vessaruntime()
    assert [emu.calls(op) for op in ("GetStatus", "GetErrorCode", "GetTag", "GetContext")] == [2, 1, 1, 2]


def test_unknown_status_is_the_enumerations_value_error(emu):
    emu.fail_next("Startup", status=99)
    with pytest.raises(ValueError):
        m._startup_vessaruntime()


@pytest.mark.parametrize("reader, name", [
    ("GetStatus", "get_status"), ("GetErrorCode", "get_error_code"), ("GetTag", "get_tag"),
])
def test_failing_reader_replaces_the_message(emu, reader, name):
    emu.fail_next("Startup", status=3)
    emu.fail_next(reader, status=0)
    with pytest.raises(RuntimeError) as info:
        m._startup_vessaruntime()
    assert str(info.value) == f"{name} return unexpected"


def test_get_context_first_call_with_another_status(emu):
    emu.fail_next("Startup", status=3, context="ctx")
    emu.fail_next("GetContext", status=7)
    with pytest.raises(RuntimeError) as info:
        m._startup_vessaruntime()
    assert str(info.value) == "Get Context return unexpected status: Response_Status.Status_UserCanceled"


def test_get_context_second_call_failure(emu):
    emu.fail_next("Startup", status=3, context="ctx")
    emu.fail_next("GetContext", status=3, after=1)
    with pytest.raises(RuntimeError) as info:
        m._startup_vessaruntime()
    assert str(info.value) == "get_context return unexpected"


def test_readers_of_an_error_without_handle(emu):
    error = m.VESSARuntimeError(1, two=2)
    for reader in ("get_status", "get_error_code", "get_tag"):
        with pytest.raises(RuntimeError, match=f"^{reader} return unexpected$"):
            getattr(error, reader)()
    assert len(emu.take_contract_violations()) == 3


@pytest.mark.parametrize("name", ["get_status", "get_error_code", "get_tag", "get_context"])
def test_reader_docstrings_and_arguments(name):
    reader = getattr(m.VESSARuntimeError, name)
    assert reader.__doc__ == f"VESSARuntimeError.{name}(self)"
    assert reader.__qualname__ == f"VESSARuntimeError.{name}"
    with pytest.raises(TypeError):
        reader(m.VESSARuntimeError(), 1)
    with pytest.raises(TypeError):
        reader(m.VESSARuntimeError(), x=1)


def test_exception_propagating_through_a_destructor_survives(emu):
    account_id = emu.add_account()

    def fail_while_holding_an_account():
        account = m.VESSARuntimeAccount(emu.new_account_handle(account_id))  # noqa: F841
        raise KeyError("kept")
    with pytest.raises(KeyError, match="kept"):
        fail_while_holding_an_account()
    assert emu.calls("ReleaseAccount") == 1


def test_release_failure_in_a_destructor_is_swallowed(emu):
    account_id = emu.add_account()
    handle = emu.new_account_handle(account_id)
    account = m.VESSARuntimeAccount(handle)
    emu.fail_next("ReleaseAccount", status=0)
    del account  # the runtime refuses: the error it returns is released, nothing is raised
    assert emu.live_handles()["account"] == 1 and emu.live_handles()["error"] == 0
    m.VESSARuntimeAccount(handle)  # a second owner releases it for good

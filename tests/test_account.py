"""VESSARuntimeAccount: construction and the thirteen properties."""

import pytest

import pyvessaruntime.pyvessaruntime as m
from pyvessaruntime.emulator import names

ACCOUNT_FIELDS = names().account_fields

GETTERS = [f"get_{field}" for field in ACCOUNT_FIELDS]
GETTERS[ACCOUNT_FIELDS.index("additional_fields_json")] = "get_additional_fields_json"


def test_getters_in_class_order():
    methods = [name for name in vars(m.VESSARuntimeAccount) if name.startswith("get_")]
    assert methods == GETTERS


@pytest.mark.parametrize("field, getter", list(zip(ACCOUNT_FIELDS, GETTERS)))
def test_each_getter_reads_its_own_property(emu, field, getter):
    values = {f: f"{f}-\U0001F511" for f in ACCOUNT_FIELDS}
    account_id = emu.add_account(**values)
    account = m.VESSARuntimeAccount(emu.new_account_handle(account_id))
    assert getattr(account, getter)() == values[field]
    assert getattr(m.VESSARuntimeAccount, getter).__doc__ == f"VESSARuntimeAccount.{getter}(self)"
    emu.set_account_property(account_id, field, None)
    assert getattr(account, getter)() is None
    emu.set_account_property(account_id, field, "")
    assert getattr(account, getter)() == ""


def test_additional_fields_json_is_not_parsed(emu):
    account_id = emu.add_account(additional_fields_json='{"a": 1}')
    account = m.VESSARuntimeAccount(rawHandle=emu.new_account_handle(account_id))
    assert account.get_additional_fields_json() == '{"a": 1}'


class Number:
    def __int__(self):
        return 0


@pytest.mark.parametrize("args, kwargs, error, message", [
    ((), {}, TypeError, None),
    ((1, 2), {}, TypeError, None),
    ((None,), {}, TypeError, "Argument 'rawHandle' must not be None"),
    (("1",), {}, TypeError, "an integer is required"),
    ((2 ** 63,), {}, OverflowError, None),
    ((-2 ** 63 - 1,), {}, OverflowError, None),
    ((), {"handle": 0}, TypeError, None),
])
def test_constructor_refuses(args, kwargs, error, message):
    with pytest.raises(error) as info:
        m.VESSARuntimeAccount(*args, **kwargs)
    if message:
        assert str(info.value) == message


@pytest.mark.parametrize("value", [0, 0.9, False, Number()])
def test_constructor_coerces_without_runtime_call(emu, value):
    account = m.VESSARuntimeAccount(value)
    del account
    assert emu.calls("ReleaseAccount") == 0


def test_getters_take_no_arguments(emu):
    account = m.VESSARuntimeAccount(0)
    with pytest.raises(TypeError):
        account.get_realm(1)
    with pytest.raises(TypeError):
        account.get_realm(x=1)


def test_stale_handle_is_reported_by_the_runtime(emu):
    account_id = emu.add_account()
    handle = emu.new_account_handle(account_id)
    m.VESSARuntimeAccount(handle)  # released at once
    stale = m.VESSARuntimeAccount(handle)
    with pytest.raises(RuntimeError, match="Status_ApiContractViolation"):
        stale.get_account_id()
    stale_handle_owner = stale
    del stale
    del stale_handle_owner  # releasing twice is a violation as well
    assert len(emu.take_contract_violations()) == 2


def test_two_objects_release_independently(emu):
    account_id = emu.add_account()
    first = m.VESSARuntimeAccount(emu.new_account_handle(account_id))
    second = m.VESSARuntimeAccount(emu.new_account_handle(account_id))
    del first
    assert second.get_account_id() == account_id

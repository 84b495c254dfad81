"""Module globals are looked up at every use, on every path; CallbackData.complete answers None."""

import pytest

import pyvessaruntime.pyvessaruntime as m


@pytest.fixture
def account(emu):
    """An account object with an absent display name and a present given name."""
    account_id = emu.add_account(display_name=None, given_name="G")
    holder = [m.VESSARuntimeAccount(emu.new_account_handle(account_id))]
    yield holder
    holder.clear()


# The tolerated status of the size-finding call is built on every string read, whether or not
# that call failed, so a rebound or removed `Response_Status` shows on every path.
@pytest.mark.parametrize("first_call_error, getter", [
    (True, "get_display_name"),    # absent value: size 0, no error handle
    (False, "get_given_name"),     # present value, the runtime answers no error on the first call
])
def test_string_read_builds_the_expected_status_every_time(emu, account, monkeypatch,
                                                           first_call_error, getter):
    emu.set_string_protocol(first_call_error=first_call_error)
    real = m.Response_Status
    built = []
    monkeypatch.setattr(m, "Response_Status", lambda value: (built.append(value), real(value))[1])
    getattr(account[0], getter)()
    assert built == [10]
    monkeypatch.delattr(m, "Response_Status")
    with pytest.raises(NameError, match="^name 'Response_Status' is not defined$"):
        getattr(account[0], getter)()


# complete() answers None, whatever the signal's set() answers.
@pytest.mark.parametrize("interactive", [False, True])
def test_complete_returns_none_whatever_the_signal_answers(monkeypatch, interactive):
    class Signal:
        def set(self):
            return "answer of set"
    monkeypatch.setattr(m, "Event", Signal)
    monkeypatch.setattr(m, "_get_VESSARuntime_event", Signal)
    data = m.CallbackData(interactive)
    assert data.complete(5) is None and data.result == 5

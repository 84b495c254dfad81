"""The typed layer: Client and AsyncClient against the emulator, their values, their exceptions,
timeouts and cancellation, and what reaches the runtime."""

import _thread
import asyncio
import datetime
import decimal
import fractions
import logging
import math
import os
import pickle
import subprocess
import sys
import threading
import time

import pytest

from conftest import needs_fork

import pyvessaruntime as vrt
import pyvessaruntime.pyvessaruntime as m
from pyvessaruntime import _core, _runtime, helpers, models

CLIENT_ID = "client-1"
AUTHORITY = "https://login.example.test/common"
EXPECTED_CLASS = {
    0: vrt.AuthError, 2: vrt.InteractionRequired, 3: vrt.NetworkError, 4: vrt.NetworkError,
    5: vrt.NetworkError, 6: vrt.ContractViolation, 7: vrt.UserCanceled,
    8: vrt.OperationCanceled, 9: vrt.ConfigurationError, 12: vrt.AccountSwitch,
    13: vrt.AccountUnusable, 16: vrt.AccountNotFound, 17: vrt.TransientError,
    18: vrt.AccountSwitch, 21: vrt.AuthError,
}


@pytest.fixture
def client(started):
    return vrt.Client(CLIENT_ID, AUTHORITY, redirect_uri="http://localhost/cb", timeout=10)


@pytest.fixture
def requests(monkeypatch, emu):
    """What each start hands the runtime: the recorded auth parameters of the call."""
    seen = []
    start = _core.start

    def spy(operation, args, convert):
        seen.append([emu.auth_parameters(h) for h in emu.live_handle_values("auth_parameters")])
        return start(operation, args, convert)
    monkeypatch.setattr(_core, "start", spy)
    return seen


def test_token_and_account_values(client, started, requests):
    started.set_interactive_user(user_name="ada@example.test", display_name="Ada",
                                 additional_fields_json='{"tenant": "t1"}')
    token = client.sign_in(["user.read", "mail.send"], login_hint="ADA@example.test",
                           correlation_id="c-1")
    (params,), = requests
    assert (params["client_id"], params["authority"], params["scopes"], params["redirect_uri"],
            params["claims"]) == (CLIENT_ID, AUTHORITY, "user.read mail.send",
                                  "http://localhost/cb", None)
    assert token.granted_scopes == ("user.read", "mail.send")
    assert token.authorization_header == "Bearer " + token.access_token
    assert token.expires_at.tzinfo is datetime.UTC
    assert token.expires_at.timestamp() == token.id_token["exp"]
    assert token.id_token["aud"] == CLIENT_ID and token.telemetry["correlation_id"] == "c-1"
    account = token.account
    assert (account.user_name, account.display_name, account.additional_fields) == \
        ("ada@example.test", "Ada", {"tenant": "t1"})
    assert token.access_token not in repr(token) and "native" not in repr(account)
    assert vrt.Client(CLIENT_ID, AUTHORITY).read_account(account.account_id) == account
    assert client.discover_accounts() == (account,)


@pytest.mark.parametrize("advanced, leeway, expired", [
    (0, 0, False), (599, 0, False), (600, 0, True), (539, 60, False), (540, 60, True)])
def test_tokens_expire_by_the_emulators_clock(client, started, advanced, leeway, expired):
    started.freeze(datetime.datetime(2020, 1, 1, tzinfo=datetime.UTC))
    started.configure(access_token_lifetime=600)
    account = client.sign_in_interactively(["a"]).account
    token = client.acquire_token_silently(account, ["a"])
    assert vrt.now().year == 2020 and token.expires_in == datetime.timedelta(seconds=600)
    started.advance(advanced)
    assert token.is_expired(leeway) is expired
    assert token.expires_in == datetime.timedelta(seconds=600 - advanced)
    for _ in range(3):  # renewed while expired: the emulator renews by the same clock
        if not token.is_expired(leeway):
            break
        token = client.acquire_token_silently(account, ["a"])
    assert not token.is_expired(leeway)


def test_silent_token_for_an_account_passes_its_claims(client, requests):
    account = client.sign_in_interactively(["a"]).account
    token = client.acquire_token_silently(account, ["b"], claims={"acr": "2"})
    assert requests[-1][0]["claims"] == '{"acr": "2"}' and token.granted_scopes == ("b",)
    client.sign_out(account)
    with pytest.raises(vrt.AccountNotFound):
        client.sign_out(account)
    assert client.discover_accounts() == ()


@pytest.mark.parametrize("status, cls", EXPECTED_CLASS.items())
def test_each_status_raises_its_class(client, started, status, cls):
    started.fail_completion("sign_in_silently", started.Error(status, -5, 77, "why"))
    with pytest.raises(cls) as caught:
        client.sign_in_silently(["a"])
    error = caught.value
    assert type(error) is cls and isinstance(error, vrt.AuthError)
    assert (error.status, error.error_code, error.tag, error.context) == (status, -5, 77, "why")
    assert error.status.name == m.Response_Status(status).name
    assert type(pickle.loads(pickle.dumps(error))) is cls


# The native module's text cannot tell a missing context from one that reads "None": the text
# is kept rather than a real "None" lost.
@pytest.mark.parametrize("context, expected", [
    ("plain", "plain"), ("tricky, ErrorStatus: Response_Status.X", None), ("None", "None"),
    (None, "None")])
def test_a_refused_start_raises_auth_error_and_leaves_no_record(client, started, context,
                                                                expected):
    started.fail_next("DiscoverAccountsAsync", 3, code=9, tag=-2, context=context)
    with pytest.raises(vrt.NetworkError) as caught:
        client.discover_accounts()
    assert (caught.value.error_code, caught.value.tag) == (9, -2)
    assert caught.value.context == (expected or context)
    assert m._callbackStorage == {}


@pytest.mark.parametrize("refused", [True, False])
def test_a_status_unknown_to_the_enumeration_is_still_an_auth_error(client, started, refused):
    if refused:
        started.fail_next("DiscoverAccountsAsync", 99, context="why")
    else:
        started.fail_completion("discover_accounts", started.Error(99, -1, 4, context="why"))
    with pytest.raises(vrt.AuthError) as caught:
        client.discover_accounts()
    error = caught.value
    assert type(error) is vrt.AuthError and (error.status, error.raw_status) == (0, 99)
    assert "runtime status 99" in str(error)
    if not refused:  # the native module reads nothing more of a refusal it cannot name
        assert (error.error_code, error.tag, error.context) == (-1, 4, "why")
    assert m._callbackStorage == {}


@pytest.mark.parametrize("getter, status, cls", [
    ("GetAccessToken", 3, vrt.NetworkError), ("GetAccountId", 9, vrt.ConfigurationError),
    ("GetStatus", 0, vrt.AuthError)])
def test_a_getter_failing_while_the_result_is_read_is_an_auth_error(client, started, getter,
                                                                     status, cls):
    if getter == "GetStatus":  # a failure while the failure itself is read
        started.fail_completion("sign_in_interactively", 7)
    started.fail_next(getter, status, code=12)
    with pytest.raises(cls) as caught:
        client.sign_in_interactively(["a"])
    assert type(caught.value) is cls
    assert caught.value.error_code == (0 if getter == "GetStatus" else 12)


@pytest.mark.parametrize("what, account, telemetry", [
    ("account additional fields",
     dict(additional_fields_json='{"a":' * 5000 + "1" + "}" * 5000), None),
    ("account user name", dict(user_name=[0x61, 0xD800]), None), ("telemetry", {}, "not JSON"),
    *(("telemetry", {}, "[" * depth + "]" * depth) for depth in (700, 5000))])
def test_unreadable_runtime_text_is_a_contract_violation(client, started, what, account, telemetry):
    result = m.VESSARuntimeAuthResult(started.new_auth_result(
        account_id=started.add_account(**account), telemetry=telemetry))
    for call in [lambda: models.to_token(result)] + [client.discover_accounts] * (not telemetry):
        with pytest.raises(vrt.ContractViolation, match=f"the runtime's {what} could not be read"):
            call()


def test_status_matches_the_native_enumeration():
    assert [(s.name, s.value) for s in vrt.Status] == \
        [(s.name, s.value) for s in m.Response_Status]
    assert type(vrt.AuthError(99)) is vrt.AuthError and vrt.AuthError(99).status == 0


@pytest.mark.parametrize("make, cls, status", [
    (lambda: vrt.AuthError(2), vrt.InteractionRequired, 2),
    (lambda: vrt.InteractionRequired(), vrt.InteractionRequired, 2),
    (lambda: vrt.NetworkError(context="x"), vrt.NetworkError, 3),
    (lambda: vrt.TransientError(4), vrt.NetworkError, 4),
    (lambda: vrt.OperationTimedOut(), vrt.OperationTimedOut, 8),
    (lambda: vrt.OperationCanceled(8), vrt.OperationCanceled, 8),
    (lambda: vrt.AuthError(), vrt.AuthError, 0),
    (lambda: vrt.AuthError(m.Response_Status.Status_NoNetwork), vrt.NetworkError, 3),
])
def test_error_classes_carry_their_own_status(make, cls, status):
    error = make()
    assert type(error) is cls and error.status == status
    copy = pickle.loads(pickle.dumps(error))
    assert type(copy) is cls and (copy.status, copy.context) == (status, error.context)


@pytest.mark.parametrize("make", [
    lambda: vrt.InteractionRequired(3), lambda: vrt.NetworkError(17),
    lambda: vrt.OperationTimedOut(2), lambda: vrt.UserCanceled(99)])
def test_a_subclass_refuses_a_status_of_another(make):
    with pytest.raises(ValueError, match="does not stand for status"):
        make()


@pytest.mark.parametrize("call, error", [
    (lambda c: c.sign_in("user.read"), TypeError),
    (lambda c: c.sign_in([b"user.read"]), TypeError),
    (lambda c: c.sign_in(["two words"]), ValueError),
    (lambda c: c.sign_in(["a"], window="w"), TypeError),
    (lambda c: c.sign_in(["a"], correlation_id=1), TypeError),
    (lambda c: c.acquire_token_silently("account", ["a"]), TypeError),
    (lambda c: c.sign_out(vrt.Account(*[None] * 10, {}, None, None)), TypeError),
    (lambda c: c.sign_out(vrt.Account("")), ValueError),
    (lambda c: c.acquire_token_silently(None, ["a"], claims=3), TypeError),
    (lambda c: vrt.Client(CLIENT_ID, AUTHORITY, timeout=0), ValueError),
    (lambda c: vrt.Client(None, AUTHORITY), TypeError),
])
def test_bad_arguments_fail_at_the_call(client, started, call, error):
    with pytest.raises(error):
        call(client)
    assert not any(started.calls(op) for op in started.names().start_operations)


@pytest.mark.parametrize("call, error, name", [
    (lambda c: c.sign_in_silently(["a"], claims={"x": math.nan}), ValueError, "claims"),
    (lambda c: c.sign_in_silently(["a"], claims={"x": {1}}), TypeError, "claims"),
    (lambda c: vrt.Client("c", "a", timeout=decimal.Decimal("NaN")), ValueError, "timeout"),
    (lambda c: setattr(c, "retry", 3), TypeError, "retry"),
    (lambda c: vrt.RetryPolicy(3, 5, 1), ValueError, "max_delay"),
    (lambda c: vrt.Account(5), TypeError, "account_id"),
])
def test_a_bad_value_is_refused_at_once_naming_it(client, call, error, name):
    with pytest.raises(error, match=f"^{name} must "):
        call(client)


@pytest.mark.filterwarnings("error")  # as python -W error
def test_every_start_refuses_the_emulator_while_its_warning_is_an_error(monkeypatch):
    monkeypatch.setattr(_runtime, "_warned", False)  # as in a process that never started it
    for _ in range(2):
        with pytest.raises(vrt.EmulatorWarning):
            vrt.start()


# Each waits at most 30 s: without a result, a wait would otherwise end only at its timeout.
NO_RESULT_WAITERS = {
    "Client": lambda: vrt.Client(CLIENT_ID, AUTHORITY, timeout=30).discover_accounts(),
    "AsyncClient": lambda: asyncio.run(
        vrt.AsyncClient(CLIENT_ID, AUTHORITY, timeout=30).discover_accounts()),
    "start_future": lambda: helpers.start_future(m.discover_accounts, CLIENT_ID, "c").result(30),
    "run": lambda: asyncio.run(
        asyncio.wait_for(helpers.run(m.discover_accounts, CLIENT_ID, "c"), 30)),
}


@pytest.mark.parametrize("mode", ["inline", "worker"])
@pytest.mark.parametrize("waiter", NO_RESULT_WAITERS)
def test_a_completion_without_a_result_ends_the_wait(started, unraisable, waiter, mode):
    started.set_completion_mode(mode)
    started.null_completion("discover_accounts")
    typed = waiter in ("Client", "AsyncClient")
    with pytest.raises(vrt.AuthError if typed else RuntimeError) as raised:
        NO_RESULT_WAITERS[waiter]()
    # The wait ends as the record is dropped, before the routine reports and returns.
    assert started.wait_idle()
    if typed:
        assert (raised.value.status, raised.value.context) == (vrt.Status.Status_Unexpected,
                                                               _core.NO_RESULT)
    else:
        assert type(raised.value) is RuntimeError and str(raised.value) == _core.NO_RESULT
    assert [report[1] for report in unraisable] == ["Callback result handle is NULL"]


@pytest.mark.parametrize("retry", [None, vrt.RetryPolicy(3, 0, 0)])
def test_timeout_cancels_the_operation(started, retry):
    started.set_completion_mode("held")
    client = vrt.Client(CLIENT_ID, AUTHORITY, timeout=0.05, retry=retry)
    with pytest.raises(vrt.OperationTimedOut) as caught:
        client.discover_accounts()
    assert isinstance(caught.value, TimeoutError) and isinstance(caught.value, vrt.AuthError)
    assert caught.value.status == vrt.Status.Status_ApplicationCanceled
    assert started.calls("DiscoverAccountsAsync") == started.calls("CancelAsyncOperation") == 1
    assert started.wait_idle() and started.held_operations() == 0


@pytest.mark.parametrize("mode", ["worker", "inline"])
def test_async_client_cycle(started, mode):
    started.set_completion_mode(mode)

    async def main():
        client = vrt.AsyncClient(CLIENT_ID, AUTHORITY)
        with pytest.raises(vrt.InteractionRequired):
            await client.sign_in_silently(["a"])
        first = await client.sign_in_interactively(["a"])
        tokens = await asyncio.gather(*(client.acquire_token_silently(first.account, [s])
                                        for s in ("x", "y", "z")))
        return [t.granted_scopes for t in tokens]
    assert asyncio.run(main()) == [("x",), ("y",), ("z",)]


def test_cancelling_the_task_cancels_the_operation(started):
    started.set_completion_mode("held")

    async def main():
        task = asyncio.ensure_future(vrt.AsyncClient(CLIENT_ID, AUTHORITY).discover_accounts())
        await asyncio.sleep(0.01)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        with pytest.raises(TimeoutError):
            await vrt.AsyncClient(CLIENT_ID, AUTHORITY, timeout=0.01).discover_accounts()
    asyncio.run(main())
    assert started.calls("CancelAsyncOperation") == 2
    assert started.wait_idle() and started.held_operations() == 0


def test_a_result_after_the_loop_closed_is_dropped(started, caplog):
    started.set_completion_mode("held")
    loop = asyncio.new_event_loop()
    task = loop.create_task(vrt.AsyncClient(CLIENT_ID, AUTHORITY).discover_accounts())
    loop.run_until_complete(asyncio.sleep(0.01))
    loop.close()
    assert started.release_held() == 1 and started.wait_idle()
    assert not task.done() and caplog.records == []
    task._log_destroy_pending = False


def test_a_result_handled_in_the_same_turn_as_the_deadline_is_returned(started):
    started.set_completion_mode("held")

    async def main():
        loop = asyncio.get_running_loop()

        def complete_as_the_deadline_passes():
            # The completion is queued for the loop, then the deadline passes before the loop
            # turns again: both are handled in the next turn, the deadline first.
            assert started.release_held() == 1 and started.wait_idle()
            time.sleep(0.2)
        loop.call_later(0.1, complete_as_the_deadline_passes)
        client = vrt.AsyncClient(CLIENT_ID, AUTHORITY, timeout=0.2)
        return await client.sign_in_interactively(["a"])
    assert asyncio.run(main()).granted_scopes == ("a",)
    assert started.calls("CancelAsyncOperation") == 0


@pytest.mark.parametrize("timeout, kept", [
    (math.inf, math.inf), (1e300, math.inf), (2**70, math.inf), (fractions.Fraction(7, 2), 3.5),
    (decimal.Decimal("1e400"), math.inf), (None, None)])
def test_any_positive_timeout_is_accepted(client, timeout, kept):
    assert vrt.AsyncClient(CLIENT_ID, AUTHORITY, timeout=timeout).timeout == kept
    assert vrt.Client(CLIENT_ID, AUTHORITY, timeout=timeout).discover_accounts() == ()

    async def main():
        return await vrt.AsyncClient(CLIENT_ID, AUTHORITY, timeout=timeout).discover_accounts()
    assert asyncio.run(main()) == ()


@pytest.mark.parametrize("timeout, error", [
    (True, TypeError), ("5", TypeError), (1j, TypeError), (0, ValueError), (-1, ValueError),
    (math.nan, ValueError)])
def test_a_bad_timeout_is_refused_naming_it(emu, timeout, error):
    with pytest.raises(error, match="timeout"):
        vrt.Client(CLIENT_ID, AUTHORITY, timeout=timeout)
    with pytest.raises(error, match="timeout"):
        vrt.Client(CLIENT_ID, AUTHORITY).discover_accounts(timeout=timeout)
    assert emu.calls("Startup") == 0


@pytest.mark.parametrize("bad", ["", "a\0b", "a\ud800b"])
@pytest.mark.parametrize("name", ["client_id", "authority", "redirect_uri"])
def test_the_client_refuses_text_the_runtime_cannot_take(name, bad):
    args = {"client_id": CLIENT_ID, "authority": AUTHORITY, name: bad}
    with pytest.raises(ValueError, match=f"^{name} "):
        vrt.Client(args.pop("client_id"), args.pop("authority"), **args)


@pytest.mark.parametrize("call, name", [
    (lambda c, bad: c.sign_in(["a"], login_hint=bad), "login_hint"),
    (lambda c, bad: c.sign_in_silently(["a"], correlation_id=bad), "correlation_id"),
    (lambda c, bad: c.read_account(bad), "account_id"),
    (lambda c, bad: c.sign_in_silently([bad or "\0"]), "a scope"),
    (lambda c, bad: c.sign_in_silently(["a"], claims=bad), "claims"),
    (lambda c, bad: c.sign_in_silently(["a"], access_token_to_renew=bad), "access_token_to_renew"),
    (lambda c, bad: c.sign_in_silently(["a"], extra_parameters={bad: "v"}), "extra_parameters"),
    (lambda c, bad: c.sign_in_silently(["a"], pop=vrt.PopParams("GET", bad)), "uri_host"),
])
@pytest.mark.parametrize("bad", ["", "a\0b", "\udc00"])
def test_every_text_argument_is_checked_at_the_call(client, started, call, name, bad):
    with pytest.raises(ValueError, match=f"^{name}"):
        call(client, bad)
    assert not any(started.calls(op) for op in started.names().start_operations)


@pytest.mark.parametrize("window, error", [(2**80, ValueError), (-2**63 - 1, ValueError),
                                           (True, TypeError), (1.5, TypeError)])
def test_a_window_handle_out_of_range_names_the_argument(client, window, error):
    with pytest.raises(error, match="^window "):
        client.sign_in(["a"], window=window)


def test_positional_timeout_names_the_public_class():
    for cls in (vrt.Client, vrt.AsyncClient):
        with pytest.raises(TypeError, match=f"^{cls.__name__}.__init__"):
            cls(CLIENT_ID, AUTHORITY, None, 5)


def test_an_unsigned_window_handle_is_the_same_handle(client):
    assert client.sign_in_interactively(["a"], window=2**64 - 1).granted_scopes == ("a",)


# Before the check these calls waited for ever (the runtime needs the waiting thread), so they
# run in a subprocess with a time limit.
RUNTIME_THREAD_CALLS = """
import logging, threading
import pyvessaruntime as vrt
import pyvessaruntime.pyvessaruntime as m
from pyvessaruntime import emulator_internals as emulator, helpers

outcomes, called = [], threading.Event()

def call_the_client(*_):
    try:
        outcomes.append(client.sign_in_silently(["a"]))
    except BaseException as exc:
        outcomes.append(exc)
    finally:
        called.set()

class CallsTheClient(logging.Handler):
    def emit(self, record):
        call_the_client()

logging.getLogger("app").setLevel(logging.INFO)
logging.getLogger("app").addHandler(CallsTheClient())
with vrt.running():
    client = vrt.Client("client-1", "https://login.example.test/common", timeout=None)
    if "{case}" == "handler":
        # A logging handler under log_to, on the thread the runtime logs on.
        with vrt.log_to("app"):
            emulator.emit_log("line", 3, thread="native")
    elif "{case}" == "done callback":
        # A completion callback: the done callback of a future of the runtime's result.
        with emulator.held():
            helpers.start_future(m.discover_accounts, "client-1", "c").add_done_callback(
                call_the_client)
            emulator.release_held()
            called.wait()
    else:
        # A callback of the native module's own, on a runtime thread that has called back
        # through the layer before (here a line goes to a routing, then to the callback).
        logging.getLogger("app").handlers.clear()
        with vrt.log_to("app"):
            raw = m.register_logging_callback(call_the_client)
            emulator.emit_log("line", 3, thread="native")
            raw.release_logging_callback()
    called.wait()
    print(*(type(o).__name__ + ": " + str(o) for o in outcomes), sep="\\n")
    print(client.discover_accounts())  # Python's own threads go on as before
"""


@pytest.mark.parametrize("case", ["handler", "done callback", "native callback"])
def test_a_blocking_call_on_a_runtime_thread_fails_at_once(case):
    done = subprocess.run([sys.executable, "-P", "-c", RUNTIME_THREAD_CALLS.format(case=case)],
                          capture_output=True, text=True, timeout=60)
    lines = done.stdout.splitlines()
    assert len(lines) == 2, done.stdout + done.stderr[-3000:]
    assert lines[0].startswith("RuntimeError: Client.sign_in_silently was called on a thread")
    assert lines[1] == "()"


# An application's own callbacks of the native module are routines the runtime calls as well:
# on runtime threads the layer has never seen, a native log thread or a worker completing one.
RAW_CALLBACK_CALLS = """
import pyvessaruntime as vrt
import pyvessaruntime.pyvessaruntime as m
from pyvessaruntime import emulator_internals as emulator

outcomes = []

def call_the_client(*_):
    try:
        outcomes.append(client.sign_in_silently(["a"]))
    except BaseException as exc:
        outcomes.append(exc)

with vrt.running():
    client = vrt.Client("client-1", "https://login.example.test/common", timeout=None)
    if "{case}" == "log line":
        raw = m.register_logging_callback(call_the_client)
        emulator.emit_log("line", 3, thread="native")
        raw.release_logging_callback()
    else:
        m.discover_accounts("client-1", "c", call_the_client)
        assert emulator.wait_idle(30)
    print(*(type(o).__name__ + ": " + str(o) for o in outcomes), sep="\\n")
    print(client.discover_accounts())
"""


@pytest.mark.parametrize("case", ["log line", "worker completion"])
def test_a_blocking_call_in_an_applications_own_callback_fails_at_once(case):
    done = subprocess.run([sys.executable, "-P", "-c", RAW_CALLBACK_CALLS.format(case=case)],
                          capture_output=True, text=True, timeout=60,
                          env=dict(os.environ, PYVESSARUNTIME_RUNTIME="emulator"))
    lines = done.stdout.splitlines()
    assert len(lines) == 2, done.stdout + done.stderr[-3000:]
    assert lines[0].startswith("RuntimeError: Client.sign_in_silently was called on a thread")
    assert lines[1] == "()"


# Log lines come inside the thread's own calls (start-up, starts); with "inline", completions too.
@pytest.mark.parametrize("mode", ["inline", "worker"])
def test_a_thread_python_did_not_start_may_wait_after_routines_of_its_own_calls(emu, mode):
    emu.set_completion_mode(mode)
    client, accounts, ended = vrt.Client(CLIENT_ID, AUTHORITY, timeout=10), [], threading.Event()

    def sign_in_and_discover():
        try:
            with vrt.log_to("test.runtime"), vrt.running():
                client.sign_in_interactively(["a"])
                accounts.extend(client.discover_accounts())
        finally:
            ended.set()
    _thread.start_new_thread(sign_in_and_discover, ())
    assert ended.wait(30) and [type(account) for account in accounts] == [vrt.Account]


def test_request_options_reach_the_runtime(client, started):
    account = client.sign_in_interactively(["a"]).account
    token = client.acquire_token_silently(
        account, ["b"], claims='{"x": 1}', access_token_to_renew="old-token",
        pop=vrt.PopParams("POST", "api.example.test", "/v1", "n-1"),
        extra_parameters={"prompt": "none", "empty": ""})
    request = started.requests("acquire_token_silently")[-1]
    assert request.claims == '{"x": 1}' and request.parameters["access_token_to_renew"] == \
        "old-token"
    assert [request.parameters[f"pop_{part}"] for part in ("http_method", "uri_host", "uri_path",
                                                           "nonce")] == \
        ["POST", "api.example.test", "/v1", "n-1"]
    assert request.additional_parameters == (("prompt", "none"), ("empty", ""))
    assert token.is_pop and token.authorization_header.startswith("PoP ")
    with pytest.raises(TypeError, match="unexpected keyword argument 'claim'"):
        client.sign_in_silently(["a"], claim="x")
    with pytest.raises(TypeError, match="^pop "):
        client.sign_in_silently(["a"], pop=("GET", "host"))


def test_lifetimes_nest(emu):
    assert not vrt.is_running()
    with vrt.running():
        vrt.start()
        with vrt.running():
            assert vrt.is_running() and emu.calls("Startup") == 1
        vrt.shutdown()
        assert emu.is_started() and vrt.Client(CLIENT_ID, AUTHORITY).discover_accounts() == ()
    assert not vrt.is_running() and not emu.is_started() and emu.calls("Shutdown") == 1
    with pytest.raises(RuntimeError, match="without a start"):
        vrt.shutdown()


def test_threads_starting_routing_and_calling_at_once_leave_nothing_behind(emu):
    # Without the interpreter lock the threads' starts, routings and calls interleave at any
    # point: the count of starts, the open routings and the correlation ids must still add up.
    threads, cycles = 8, 25
    ready = threading.Barrier(threads)
    failures = []

    def cycle():
        ready.wait()
        try:
            for _ in range(cycles):
                with vrt.running(), vrt.log_to("test.concurrent"):
                    vrt.Client(CLIENT_ID, AUTHORITY).discover_accounts()
        except BaseException as exc:  # noqa: BLE001 - the test reports it
            failures.append(exc)

    workers = [threading.Thread(target=cycle) for _ in range(threads)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    assert failures == []
    assert not vrt.is_running() and not emu.is_started()
    assert emu.calls("Startup") == emu.calls("Shutdown") >= 1
    assert emu.log_registrations() == 0 and m._logCallbackStorage == {}
    ids = [request.correlation_id for request in emu.requests("discover_accounts")]
    assert len(set(ids)) == len(ids) == threads * cycles


def test_a_refused_start_up_leaves_the_runtime_stopped(emu):
    emu.fail_next("Startup", 9, context="no")
    with pytest.raises(vrt.ConfigurationError):
        vrt.start()
    assert not vrt.is_running()
    emu.fail_next("Startup", 99)
    with pytest.raises(vrt.AuthError) as caught:
        vrt.start()
    assert caught.value.raw_status == 99 and not vrt.is_running()


@pytest.mark.parametrize("status, attempts", [(17, 3), (4, 3), (2, 1)])
def test_silent_operations_are_retried_on_transient_errors(started, status, attempts):
    client = vrt.Client(CLIENT_ID, AUTHORITY, retry=vrt.RetryPolicy(3, 0.001, 0.002))
    for _ in range(attempts):
        started.fail_completion("discover_accounts", status)
    with pytest.raises(vrt.AuthError) as caught:
        client.discover_accounts()
    assert caught.value.status == status and started.calls("DiscoverAccountsAsync") == attempts
    started.fail_completion("discover_accounts", 17)
    assert client.discover_accounts() == ()


def test_interactive_operations_are_never_retried(started):
    started.fail_completion("sign_in_interactively", 5)
    started.fail_completion("sign_in", 5)
    client = vrt.AsyncClient(CLIENT_ID, AUTHORITY, retry=vrt.RetryPolicy(5, 0, 0))

    async def main():
        for call in (client.sign_in_interactively, client.sign_in):
            with pytest.raises(vrt.NetworkError):
                await call(["a"])
        started.fail_completion("sign_in_silently", 4)
        return await client.sign_in_silently(["a"])
    with pytest.raises(vrt.InteractionRequired):  # retried past the transient failure
        asyncio.run(main())
    assert started.calls("SignInInteractivelyAsync") + started.calls("SignInAsync") == 2
    assert started.calls("SignInSilentlyAsync") == 2


@pytest.mark.parametrize("args, error", [
    ((0,), ValueError), ((True,), TypeError), ((3, -1), ValueError), ((3, 1, math.inf), ValueError),
    ((3, "1"), TypeError)])
def test_a_bad_retry_policy_is_refused(args, error):
    with pytest.raises(error):
        vrt.RetryPolicy(*args)


def test_retry_delays_grow_with_full_jitter_up_to_the_cap():
    policy = vrt.RetryPolicy(attempts=10, initial_delay=1, max_delay=5)
    delays = [[policy.delay(retry) for _ in range(200)] for retry in (1, 2, 3, 1000)]
    assert [max(d) <= cap for d, cap in zip(delays, (1, 2, 4, 5))] == [True] * 4
    assert min(delays[3]) < 1 < max(delays[3])


FORKED_CHILD = """
import os, warnings
warnings.simplefilter("ignore", DeprecationWarning)  # fork() in a process with native threads
import pyvessaruntime as vrt
vrt.start()
pid = os.fork()
if pid == 0:
    try:
        print("child running:", vrt.is_running(), flush=True)
        with vrt.running():
            print("child:", vrt.Client("c", "https://login.example.test/t").discover_accounts(),
                  flush=True)
        print("child running:", vrt.is_running(), flush=True)
    finally:
        os._exit(0)
os.waitpid(pid, 0)
print("parent running:", vrt.is_running())
vrt.shutdown()
"""


@needs_fork
def test_a_forked_child_starts_the_runtime_itself():
    done = subprocess.run([sys.executable, "-P", "-c", FORKED_CHILD], capture_output=True,
                          text=True, timeout=60)
    assert done.stdout.splitlines() == ["child running: False", "child: ()",
                                        "child running: False", "parent running: True"], \
        done.stdout + done.stderr[-3000:]


def call_client(kind, method, *args, client=None, **kwargs):
    """A method of a Client or an AsyncClient, called and, for the latter, run to its end."""
    outcome = getattr(getattr(vrt, kind)(CLIENT_ID, AUTHORITY, **client or {}), method)(
        *args, **kwargs)
    return asyncio.run(outcome) if kind == "AsyncClient" else outcome


@pytest.mark.parametrize("kind", ["Client", "AsyncClient"])
def test_the_first_call_starts_the_runtime_until_the_applications_shutdown(emu, kind):
    from pyvessaruntime import emulator

    # A session ends a start its block's call made; a shutdown in the block does not outlive it.
    with emulator.session(), vrt.running():
        assert call_client(kind, "discover_accounts") == ()
    with emulator.session():
        assert call_client(kind, "discover_accounts") == () and vrt.is_running()
    assert not vrt.is_running() and call_client(kind, "discover_accounts") == ()
    with vrt.running():  # nests with the start the call made
        assert call_client(kind, "discover_accounts") == ()
    assert vrt.is_running() and emu.is_started() and emu.calls("Startup") == 1
    vrt.shutdown()  # the last start: the call's
    with pytest.raises(RuntimeError, match=rf"^{kind}\.discover_accounts was called after "
                       r"pyvessaruntime\.shutdown\(\) ended the runtime: call pyvessaruntime"):
        call_client(kind, "discover_accounts")
    assert not emu.is_started() and not vrt.is_running()


AT_EXIT = """
import atexit
from pyvessaruntime import emulator_internals as emulator
atexit.register(lambda: print("at exit:", emulator.is_started(), emulator.calls("Shutdown")))
import pyvessaruntime as vrt
print(vrt.Client("c", "https://login.example.test/t").discover_accounts())
if {app_start}:
    vrt.start()  # the application's own, never ended: it keeps the runtime running at exit
"""


@pytest.mark.parametrize("app_start", [False, True])
def test_the_start_a_call_made_ends_at_exit(app_start):
    done = subprocess.run([sys.executable, "-P", "-W", "ignore", "-c", AT_EXIT.format(
        app_start=app_start)], capture_output=True, text=True, timeout=60)
    assert done.stdout.splitlines() == ["()", f"at exit: {app_start} {1 - app_start}"], done.stderr


class FixedPause(vrt.RetryPolicy):
    def delay(self, retry):
        return self.initial_delay


@pytest.mark.parametrize("kind", ["Client", "AsyncClient"])
@pytest.mark.parametrize("client_timeout, timeout, pause, attempts", [
    (None, 5, 30, 1),   # the call's timeout: a pause past it is not taken
    (5, "client's", 30, 1),
    (0.1, None, 0.05, 3),  # no limit for this call: pauses past the client's timeout are taken
    (None, 5, 0, 3),
])
def test_the_timeout_bounds_all_attempts_and_the_error_counts_them(
        started, caplog, kind, client_timeout, timeout, pause, attempts):
    for _ in range(3):
        started.fail_completion("discover_accounts", 17)
    given = {} if timeout == "client's" else {"timeout": timeout}
    caplog.set_level(logging.DEBUG, "pyvessaruntime.client")
    with pytest.raises(vrt.TransientError) as caught:
        call_client(kind, "discover_accounts", correlation_id="c-1", client={
            "timeout": client_timeout, "retry": FixedPause(3, pause, max(pause, 10))}, **given)
    error = caught.value
    assert started.calls("DiscoverAccountsAsync") == error.attempts == attempts
    assert (error.operation, error.correlation_id) == ("discover_accounts", "c-1")
    assert str(error) == "discover_accounts failed: Status_TransientError (error code 0, tag 0)" \
        + (f" (after {attempts} attempts)" if attempts > 1 else "")
    assert [r.getMessage() for r in caplog.records] == [
        f"{kind}.discover_accounts: attempt {n} of 3 failed (Status_TransientError (error code 0, "
        f"tag 0)); trying again in {pause:.3f} s" for n in range(1, attempts)]
    started.set_completion_mode("held")
    with pytest.raises(vrt.OperationTimedOut, match="within 0.05 s") as caught:
        call_client(kind, "discover_accounts", client={"timeout": None}, timeout=0.05)
    assert caught.value.attempts == 1


def test_a_shorter_timeout_of_a_later_call_ends_its_wait_first(started):
    async def main():
        started.set_completion_mode("held")
        client = vrt.AsyncClient(CLIENT_ID, AUTHORITY, timeout=30)
        first = asyncio.ensure_future(client.discover_accounts())
        await asyncio.sleep(0)  # its wait begins, to end in 30 s
        with pytest.raises(vrt.OperationTimedOut, match="within 0.05 s"):
            await client.discover_accounts(timeout=0.05)
        assert not first.done() and started.release_held() == 1
        return await first
    assert asyncio.run(main()) == ()


def test_every_wait_of_a_client_times_out(started):
    # The second deadline is later than the first: the timer must be set again for it.
    async def main():
        client = vrt.AsyncClient(CLIENT_ID, AUTHORITY, timeout=0.3)
        first = asyncio.ensure_future(client.discover_accounts())
        await asyncio.sleep(0.1)
        second = asyncio.ensure_future(client.discover_accounts())
        return await asyncio.gather(first, second, return_exceptions=True)
    with started.held(timeout=5):
        outcomes = asyncio.run(main())
    assert [type(outcome) for outcome in outcomes] == [vrt.OperationTimedOut] * 2


@pytest.mark.parametrize("kind", ["Client", "AsyncClient"])
@pytest.mark.parametrize("method, args, cls", [
    ("sign_out", (vrt.Account("nobody"),), vrt.AccountNotFound),  # its account's look-up fails
    ("acquire_token_silently", (vrt.Account("nobody"), ["a"]), vrt.AccountNotFound),
    ("sign_in_silently", (["a"],), vrt.InteractionRequired),
])
@pytest.mark.parametrize("correlation_id", ["c-2", None])
def test_an_error_names_the_method_called_and_its_correlation_id(started, kind, method, args,
                                                                 cls, correlation_id):
    with pytest.raises(cls) as caught:
        call_client(kind, method, *args, correlation_id=correlation_id)
    error, made = caught.value, started.requests()[-1].correlation_id
    assert (error.operation, error.correlation_id) == (method, correlation_id or made)
    copy = pickle.loads(pickle.dumps(error))
    assert (type(copy), copy.operation, copy.correlation_id, str(copy)) == \
        (cls, method, error.correlation_id, str(error))
    assert str(error).startswith(f"{method} failed: ") and f"operation={method!r}" in repr(error)

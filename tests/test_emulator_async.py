"""The emulator's asynchronous engine, identity flows and log lines: completion modes, cancel,
draining shut-down, what each operation does with the identity store, the shape of its tokens,
scripted completions, and log delivery (levels, personal data, release). Operations are started
through the real module, or through ctypes where the raw routine arguments matter."""

import base64
import ctypes
import gc
import json
import pathlib
import re
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import pyvessaruntime.pyvessaruntime as m
from pyvessaruntime import emulator_internals as emulator
from runtime_abi import lib as runtime

CLIENT = "client-id"
S = m.Response_Status


# -- helpers --------------------------------------------------------------------------------


class Recorder:
    """A py_callback that records each result and the thread it arrived on."""

    def __init__(self):
        self.results, self.threads = [], []
        self.done = threading.Event()

    def __call__(self, result):
        self.results.append(result)
        self.threads.append(threading.get_ident())
        self.done.set()

    def wait(self):
        assert self.done.wait(10), "no completion arrived"
        return self.results[0]


def params(scopes=("user.read",)):
    p = m.VESSARuntimeAuthParameters(CLIENT, "https://authority.example/tenant")
    if scopes:
        p.set_requested_scopes(list(scopes))
    return p


def account(account_id):
    return m.VESSARuntimeAccount(emulator.new_account_handle(account_id))


def start(operation, callback, account_id=None, hint="", scopes=("user.read",)):
    """Starts one of the eight operations through the module; returns its async handle."""
    if operation == "SignInAsync":
        return m.signin(0, params(scopes), "corr", hint, callback)
    if operation == "SignInSilentlyAsync":
        return m.signin_silently(params(scopes), "corr", callback)
    if operation == "SignInInteractivelyAsync":
        return m.signin_interactively(0, params(scopes), "corr", hint, callback)
    if operation == "AcquireTokenSilentlyAsync":
        return m.acquire_token_silently(params(scopes), "corr", account(account_id), callback)
    if operation == "AcquireTokenInteractivelyAsync":
        return m.acquire_token_interactively(0, params(scopes), "corr", account(account_id), callback)
    if operation == "ReadAccountByIdAsync":
        return m.read_account_by_id(account_id, "corr", callback)
    if operation == "SignOutSilentlyAsync":
        return m.signout_silently(CLIENT, "corr", account(account_id), callback)
    assert operation == "DiscoverAccountsAsync"
    return m.discover_accounts(CLIENT, "corr", callback)


def run(operation, **kwargs):
    """Starts an operation and returns its result once delivered."""
    recorder = Recorder()
    start(operation, recorder, **kwargs)
    result = recorder.wait()
    assert emulator.wait_idle()
    assert len(recorder.results) == 1
    return result


def status_of(result):
    error = result.get_error()
    return None if error is None else error.get_status()


def claims(token):
    """The header and payload of an unsecured JWT: it has an empty signature part."""
    parts = token.split(".")
    assert len(parts) == 3 and all(parts[:2]) and parts[2] == "", token
    decode = lambda part: json.loads(base64.urlsafe_b64decode(part + "=" * (-len(part) % 4)))
    header = decode(parts[0])
    assert header["alg"] == "none", header
    return header, decode(parts[1])


RESULT_CLASS = {
    "ReadAccountByIdAsync": m.VESSARuntimeReadAccountResult,
    "SignOutSilentlyAsync": m.VESSARuntimeSignOutResult,
    "DiscoverAccountsAsync": m.VESSARuntimeDiscoverAccountsResult,
}

MODES = [("worker", 0), ("inline", 0), ("early", 0), ("delay", 60)]

COMPLETION = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_void_p)
UTF16_CLIENT = "c\0".encode("utf-16-le")


def run_script(code, timeout=60):
    # From this folder, which holds no package to shadow the installed one, for runtime_abi.
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=timeout, cwd=pathlib.Path(__file__).parent)


# -- engine: modes, held operations, idle ---------------------------------------------------


@pytest.mark.parametrize("mode,delay", MODES, ids=[mode for mode, _ in MODES])
@pytest.mark.parametrize("operation", emulator.names().start_operations)
def test_every_operation_completes_once_in_each_mode(started, operation, mode, delay):
    key = started.add_account()
    started.set_completion_mode(mode, delay_ms=delay)
    recorder = Recorder()
    before = time.monotonic()
    start(operation, recorder, account_id=key)
    if mode in ("inline", "early"):
        assert len(recorder.results) == 1  # delivered before the start call returned
    recorder.wait()
    assert started.wait_idle() and started.pending_operations() == 0
    elapsed = time.monotonic() - before
    assert len(recorder.results) == 1
    assert type(recorder.results[0]) is RESULT_CLASS.get(operation, m.VESSARuntimeAuthResult)
    assert (recorder.threads[0] == threading.get_ident()) == (mode in ("inline", "early"))
    if mode == "delay":
        assert elapsed >= delay / 1000
    recorder.results.clear()


def test_held_operations_wait_for_release(started):
    started.set_completion_mode("held")
    recorders = [Recorder() for _ in range(3)]
    for recorder in recorders:
        start("DiscoverAccountsAsync", recorder)
    assert started.wait_idle(timeout=0.1)  # held operations do not count as work in progress
    assert (started.pending_operations(), started.held_operations()) == (3, 3)
    assert not any(r.results for r in recorders)
    assert started.release_held(1) == 1
    assert started.wait_idle() and [len(r.results) for r in recorders] == [1, 0, 0]
    assert started.release_held() == 2 and started.release_held() == 0
    assert started.wait_idle() and all(len(r.results) == 1 for r in recorders)
    assert started.pending_operations() == 0
    for recorder in recorders:
        recorder.results.clear()


@pytest.mark.parametrize("spelling", ["acquire_token_silently", "AcquireTokenSilentlyAsync",
                                      "VESSARUNTIME_AcquireTokenSilentlyAsync"])
def test_held_by_name_holds_those_operations_only(started, spelling):
    key = started.add_account()
    token, accounts = Recorder(), Recorder()
    with started.held(spelling):
        start("AcquireTokenSilentlyAsync", token, account_id=key)
        start("DiscoverAccountsAsync", accounts)
        assert status_of(accounts.wait()) is None and started.held_operations() == 1
    assert status_of(token.wait()) is None  # leaving the block released it
    token.results.clear()
    accounts.results.clear()


def test_wait_for_pending_waits_for_operations_started_on_other_threads(started):
    first, recorders = Recorder(), [Recorder(), Recorder()]

    def start_two():
        first.wait()  # 50 ms after the test began to wait for them
        for recorder in recorders:
            start("DiscoverAccountsAsync", recorder)
    started.set_latency("read_account_by_id", 50)
    start("ReadAccountByIdAsync", first, account_id="nobody")
    thread = threading.Thread(target=start_two)
    with started.held("discover_accounts"):
        thread.start()
        assert started.wait_for_pending(2) >= 2  # the first one may still be delivered
        thread.join()
        assert started.wait_idle()
        with pytest.raises(TimeoutError, match="^2 operations pending after 0.1 s; 3 were awaited"):
            started.wait_for_pending(3, timeout=0.1)
    for recorder in (first, *recorders):
        recorder.wait()
        recorder.results.clear()


@pytest.mark.parametrize("timeout_from", ["held", "configure", "scenario"])
def test_a_hold_never_released_ends_with_an_error_that_names_it(started, timeout_from):
    if timeout_from == "configure":
        started.configure(held_timeout=0.2)
    elif timeout_from == "scenario":
        started.load_scenario({"settings": {"held_timeout_ms": 200}})
    recorder = Recorder()
    with started.held("discover_accounts", timeout=0.2 if timeout_from == "held" else None):
        start("DiscoverAccountsAsync", recorder)
        error = recorder.wait().get_error()
        assert error.get_status() == S.Status_ApplicationCanceled and started.held_operations() == 0
        assert "held for 0.2 s and never released" in error.get_context()
        assert "release_held()" in error.get_context()
    (expired,) = started.expired_holds()
    assert re.fullmatch(r"discover_accounts \(operation 0x\w+\) held for 0.2 s and never released",
                        expired)
    started.reset()
    assert started.expired_holds() == []
    recorder.results.clear()


def test_wait_idle_times_out_while_a_delay_runs(started):
    started.set_completion_mode("delay", delay_ms=400)
    recorder = Recorder()
    start("DiscoverAccountsAsync", recorder)
    assert not started.wait_idle(timeout=0.05)
    assert started.pending_operations() == 1
    assert started.wait_idle() and len(recorder.results) == 1
    recorder.results.clear()


def test_mode_control(emu):
    assert emu.completion_mode() == ("worker", 0)
    emu.set_completion_mode("delayed", 25)
    assert emu.completion_mode() == ("delay", 25)
    with pytest.raises(ValueError, match="unknown completion mode"):
        emu.set_completion_mode("later")
    emu.reset()
    assert emu.completion_mode() == ("worker", 0)


def test_workers_follow_startup_and_shutdown(emu):
    assert emu.worker_count() == 0
    for _ in range(2):  # the runtime can be started again after a shut-down
        m._startup_vessaruntime()
        assert emu.worker_count() == 2 and emu.is_started()
        assert status_of(run("DiscoverAccountsAsync")) is None
        m._shutdown_vessaruntime()
        assert emu.worker_count() == 0 and not emu.is_started()


@pytest.mark.keeps_callback_records
@pytest.mark.parametrize("when", ["never started", "after shutdown"])
def test_start_is_refused_while_not_started(emu, when):
    if when == "after shutdown":
        m._startup_vessaruntime()
        m._shutdown_vessaruntime()
    recorder = Recorder()
    with pytest.raises(RuntimeError, match="IncorrectConfiguration") as raised:
        start("SignInSilentlyAsync", recorder)
    assert "the runtime is not started" in str(raised.value)
    assert recorder.results == [] and emu.pending_operations() == 0
    assert emu.live_handles()["async_operation"] == 0


# -- cancel, release, shut-down, reset ------------------------------------------------------


@pytest.mark.parametrize("mode,delay", [("held", 0), ("delay", 10_000)])
def test_cancel_of_a_pending_operation_delivers_one_error(started, mode, delay):
    started.set_completion_mode(mode, delay_ms=delay)
    recorder = Recorder()
    handle = start("SignInSilentlyAsync", recorder)
    (value,) = started.live_handle_values("async_operation")
    assert started.async_state(value) == "pending"
    handle.cancel_async_operation()
    result = recorder.wait()
    assert started.wait_idle() and started.pending_operations() == 0
    assert started.async_state(value) == "completed"
    error = result.get_error()
    assert error.get_status() is S.Status_ApplicationCanceled
    assert "cancelled" in error.get_context()
    assert recorder.threads[0] != threading.get_ident()  # a worker delivers it
    assert result.get_access_token() is None and result.get_account() is None
    handle.cancel_async_operation()  # cancelling a completed operation is no error
    assert started.release_held() == 0 and started.wait_idle()
    assert len(recorder.results) == 1
    recorder.results.clear()


def test_released_handle_does_not_cancel(started):
    started.add_account()
    started.set_completion_mode("held")
    recorder = Recorder()
    start("SignInSilentlyAsync", recorder)  # the async handle goes at once
    assert started.live_handles()["async_operation"] == 0
    started.release_held()
    assert status_of(recorder.wait()) is None
    recorder.results.clear()


@pytest.mark.parametrize("mode,delay", [("held", 0), ("delay", 10_000)])
def test_shutdown_completes_pending_operations_before_returning(emu, mode, delay):
    m._startup_vessaruntime()
    emu.set_completion_mode(mode, delay_ms=delay)
    recorders = [Recorder() for _ in range(4)]
    handles = [start(op, r) for op, r in zip(["SignInSilentlyAsync", "DiscoverAccountsAsync"] * 2,
                                             recorders)]
    handles[1].cancel_async_operation()  # may be delivered by a worker or by the shut-down
    m._shutdown_vessaruntime()
    assert [len(r.results) for r in recorders] == [1, 1, 1, 1]
    assert all(status_of(r.results[0]) is S.Status_ApplicationCanceled for r in recorders)
    contexts = [r.results[0].get_error().get_context() for r in recorders]
    assert all("shut down" in c for i, c in enumerate(contexts) if i != 1)
    assert all(r.threads[0] == threading.get_ident() for i, r in enumerate(recorders) if i != 1)
    assert emu.pending_operations() == 0 and emu.worker_count() == 0
    for recorder in recorders:
        recorder.results.clear()


@pytest.mark.keeps_callback_records
def test_reset_drops_pending_and_waits_for_completions_in_progress(emu):
    m._startup_vessaruntime()
    finished = threading.Event()

    def slow(result):
        time.sleep(0.3)
        finished.set()

    start("DiscoverAccountsAsync", slow)
    time.sleep(0.05)  # let a worker take it
    emu.set_completion_mode("held")
    dropped = Recorder()
    start("DiscoverAccountsAsync", dropped)
    emu.reset(drop_pending=True)
    assert finished.is_set()  # the completion in progress ended before the reset went on
    assert dropped.results == [] and emu.pending_operations() == 0 and emu.worker_count() == 0


class Answers:
    """A py_callback that notes the status and context of each result's error and keeps no
    result: a reset drops the results it delivers once the callbacks are done."""

    def __init__(self):
        self.answers = []

    def __call__(self, result):
        error = result.get_error()
        self.answers.append(None if error is None else (error.get_status(), error.get_context()))


@pytest.mark.parametrize("mode,delay", [("held", 0), ("delay", 10_000)])
def test_reset_completes_pending_operations_with_an_error(emu, mode, delay):
    m._startup_vessaruntime()
    key = emu.add_account()
    emu.set_completion_mode(mode, delay_ms=delay)
    answers = [Answers() for _ in emulator.names().start_operations]
    for operation, callback in zip(emulator.names().start_operations, answers):
        start(operation, callback, account_id=key)
    emu.reset()
    assert [len(a.answers) for a in answers] == [1] * len(answers)
    for a in answers:
        status, context = a.answers[0]
        assert status is S.Status_ApplicationCanceled
        assert "the emulator was reset before the operation completed" in context
    assert emu.pending_operations() == 0 and not emu.is_started()


def test_reset_answers_a_caller_waiting_for_its_operation(emu):
    from pyvessaruntime import Client, OperationCanceled

    emu.set_completion_mode("held")  # the client's call starts the runtime
    client = Client(CLIENT, "https://authority.example/tenant", timeout=5)
    outcome = []

    def wait_for_accounts():
        try:
            outcome.append(client.discover_accounts())
        except Exception as exc:
            outcome.append((type(exc), str(exc)))

    waiter = threading.Thread(target=wait_for_accounts)
    waiter.start()
    deadline = time.monotonic() + 10
    while emu.held_operations() == 0 and time.monotonic() < deadline:
        time.sleep(0.001)
    emu.reset()
    waiter.join(10)
    assert len(outcome) == 1 and outcome[0][0] is OperationCanceled, outcome
    assert "reset" in outcome[0][1]
    # The client's objects outlive the reset that dropped their handles: releasing them is late.
    gc.collect()
    assert all("dropped by a reset" in text for text in emu.take_contract_violations())


@pytest.mark.parametrize("stop", ["reset", "shutdown"])
@pytest.mark.parametrize("where", ["inline on another thread", "worker left by a shut-down"])
def test_stops_wait_for_every_completion_in_progress(emu, stop, where):
    # The routine holds its completion open until released; a stop that does not wait for it
    # returns meanwhile, and the routine then releases its result into a reset registry.
    lib = runtime
    assert lib.VESSARUNTIME_Startup() is None
    entered, release, stopped = threading.Event(), threading.Event(), threading.Event()
    seen = []

    @COMPLETION
    def routine(result, context):
        if where == "worker left by a shut-down":
            lib.VESSARUNTIME_Shutdown()
        entered.set()
        release.wait(10)
        seen.append((stopped.is_set(), lib.VESSARUNTIME_ReleaseDiscoverAccountsResult(result)))

    handle = ctypes.c_void_p()

    def begin():
        lib.VESSARUNTIME_DiscoverAccountsAsync(UTF16_CLIENT, UTF16_CLIENT, routine, None,
                                               ctypes.byref(handle))

    starter = threading.Thread(target=begin)
    if where == "inline on another thread":
        emu.set_completion_mode("inline")
    starter.start()
    assert entered.wait(10)
    if not emu.is_started():
        assert lib.VESSARUNTIME_Startup() is None  # a later start's stop still waits for it

    def stop_it():
        if stop == "reset":
            emu.reset()
        else:
            lib.VESSARUNTIME_Shutdown()
        stopped.set()

    stopper = threading.Thread(target=stop_it)
    stopper.start()
    stopper.join(0.2)
    release.set()
    stopper.join(10)
    starter.join(10)
    assert seen == [(False, None)]
    assert emu.worker_count() == 0 and emu.pending_operations() == 0
    if stop == "shutdown":
        assert lib.VESSARUNTIME_ReleaseAsyncHandle(handle) is None


@pytest.mark.parametrize("mode, stored", [("inline", True), ("early", False)])
def test_handle_is_stored_before_the_completion_runs_but_in_early_mode(started, mode, stored):
    # The routine reads the handle through its context, as a host keeping it beside its
    # callback would.
    lib = runtime
    started.set_completion_mode(mode)
    handle = ctypes.c_void_p()
    seen = []
    done = threading.Event()

    @COMPLETION
    def routine(result, context):
        seen.append(ctypes.c_void_p.from_address(context).value)
        lib.VESSARUNTIME_ReleaseDiscoverAccountsResult(result)
        done.set()

    assert lib.VESSARUNTIME_DiscoverAccountsAsync(UTF16_CLIENT, UTF16_CLIENT, routine,
                                                  ctypes.addressof(handle),
                                                  ctypes.byref(handle)) is None
    assert done.wait(10) and started.wait_idle()
    assert handle.value and seen == [handle.value if stored else None]
    assert lib.VESSARUNTIME_ReleaseAsyncHandle(handle) is None


# -- identity flows -------------------------------------------------------------------------


def signed_in_user(result):
    assert result.get_error() is None, result.get_error().get_context()
    return result.get_account().get_user_name()


def test_silent_sign_in_needs_a_known_account(started):
    result = run("SignInSilentlyAsync")
    assert status_of(result) is S.Status_InteractionRequired
    assert result.get_account() is None and result.get_access_token() is None
    started.add_account(user_name="first@example.com")
    started.add_account(user_name="second@example.com")
    assert signed_in_user(run("SignInSilentlyAsync")) == "first@example.com"


@pytest.mark.parametrize("hint,expected", [
    ("", "first@example.com"),                     # no hint: the first account
    ("SECOND@example.com", "second@example.com"),  # user names compare case-insensitively
    ("id-2", "second@example.com"),                # or the account id
    ("stranger@example.com", "stranger@example.com"),  # unknown: the prompt signs the hint in
])
def test_sign_in_uses_a_known_account_or_asks_the_user(started, hint, expected):
    started.add_account(account_id="id-1", user_name="first@example.com")
    started.add_account(account_id="id-2", user_name="second@example.com")
    assert signed_in_user(run("SignInAsync", hint=hint)) == expected
    assert len(started.accounts()) == (3 if expected.startswith("stranger") else 2)


# The prompt signs in the account it is given, else the account or interactive user its hint
# names, else a new user of the hint's name; only with neither the interactive user.
@pytest.mark.parametrize("operation, hint, expected", [
    ("AcquireTokenInteractivelyAsync", "", "someone@example.com"),
    ("SignInInteractivelyAsync", "SOMEONE@example.com", "someone@example.com"),
    ("SignInInteractivelyAsync", "prompted", "prompted@example.com"),
    ("SignInInteractivelyAsync", "new@example.com", "new@example.com"),
    ("SignInInteractivelyAsync", "", "prompted@example.com"),
    ("SignInAsync", "", "someone@example.com"),  # it cannot be signed in silently
    ("SignInAsync", "new@example.com", "new@example.com"),
])
def test_the_prompt_signs_in_whom_it_is_asked_for(started, operation, hint, expected):
    started.set_interactive_user(account_id="prompted", user_name="prompted@example.com")
    key = started.add_account(user_name="someone@example.com", state="interaction_required")
    for _ in range(2):  # signing the same user in again updates, not duplicates
        assert signed_in_user(run(operation, account_id=key, hint=hint)) == expected
    assert [a["user_name"] for a in started.accounts()].count(expected) == 1
    prompted_for_someone = expected == "someone@example.com"
    assert started.account_state(key) == ("ready" if prompted_for_someone
                                          else "interaction_required")


@pytest.mark.parametrize("status", [None, S.Status_NoNetwork.value])
def test_scripted_cancel_of_an_interactive_sign_in(started, status):
    if status is None:
        started.cancel_next_interactive()
    else:
        started.cancel_next_interactive(status)
    result = run("SignInInteractivelyAsync")
    assert status_of(result).value == (status if status is not None else S.Status_UserCanceled.value)
    assert result.get_account() is None and started.accounts() == []
    assert signed_in_user(run("SignInInteractivelyAsync")) == "interactive.user@example.com"


def test_silent_token_for_stored_and_signed_out_accounts(started):
    key = started.add_account(user_name="someone@example.com")
    assert signed_in_user(run("AcquireTokenSilentlyAsync", account_id=key)) == "someone@example.com"
    still_held = account(key)
    assert status_of(run("SignOutSilentlyAsync", account_id=key)) is None
    assert started.accounts() == []
    recorder = Recorder()
    m.acquire_token_silently(params(), "corr", still_held, recorder)
    assert status_of(recorder.wait()) is S.Status_InteractionRequired
    recorder.results.clear()


def test_sign_out_of_an_absent_account_fails(started):
    key = started.add_account()
    held = account(key)
    started.remove_account(key)
    recorder = Recorder()
    m.signout_silently(CLIENT, "corr", held, recorder)
    assert status_of(recorder.wait()) is S.Status_AccountNotFound
    recorder.results.clear()


def test_read_and_discover_act_on_the_store(started):
    keys = [started.add_account(user_name=f"user{i}@example.com") for i in range(3)]
    found = run("ReadAccountByIdAsync", account_id=keys[1])
    assert found.get_error() is None and found.get_account().get_account_id() == keys[1]
    missing = run("ReadAccountByIdAsync", account_id="no-such-id")
    assert missing.get_account() is None and status_of(missing) is S.Status_AccountNotFound
    discovered = run("DiscoverAccountsAsync")
    assert [a.get_account_id() for a in discovered.get_accounts()] == keys
    started.remove_account(keys[0])
    rediscovered = run("DiscoverAccountsAsync")  # kept: its list empties when it goes
    assert [a.get_account_id() for a in rediscovered.get_accounts()] == keys[1:]


# -- tokens ---------------------------------------------------------------------------------


def test_bearer_token_shape_and_claims(started):
    key = started.add_account(user_name="someone@example.com")
    stored = started.accounts()[0]
    before = int(time.time())
    result = run("AcquireTokenSilentlyAsync", account_id=key, scopes=["read", "write"])
    header, payload = claims(result.get_access_token())
    assert header["typ"] == "JWT"
    assert payload["iss"] == f"https://authority.example/{stored['realm']}/v2.0"
    assert payload["aud"] == CLIENT and payload["scp"] == "read write"
    assert payload["preferred_username"] == "someone@example.com"
    assert payload["tid"] == stored["realm"] and payload["sub"] == stored["local_account_id"]
    assert before <= payload["iat"] <= before + 5 and payload["exp"] == payload["iat"] + 3600
    assert result.get_access_token_expiry_time() == payload["exp"]
    _, id_claims = claims(result.get_id_token())
    assert id_claims["aud"] == CLIENT and id_claims["preferred_username"] == "someone@example.com"
    assert result.get_raw_id_token() == result.get_id_token()
    assert result.get_granted_scopes() == ["read", "write"]
    assert result.get_authorization_header() == "Bearer " + result.get_access_token()
    assert result.is_pop_authorization() == 0
    telemetry = result.get_telemetry_data()
    assert telemetry["operation"] == "AcquireTokenSilentlyAsync"
    assert telemetry["correlation_id"] == "corr" and telemetry["result"] == "success"
    assert isinstance(telemetry["duration_ms"], int)


def test_pop_authorization_header(started):
    started.add_account()
    p = params(["read"])
    p.set_pop_params("POST", "api.example.com", "/items", "nonce-1")
    recorder = Recorder()
    m.signin_silently(p, "corr", recorder)
    result = recorder.wait()
    scheme, token = result.get_authorization_header().split(" ")
    assert scheme == "PoP" and result.is_pop_authorization() == 1
    header, request = claims(token)
    assert header["typ"] == "pop"
    assert request["at"] == result.get_access_token()
    assert (request["m"], request["u"], request["p"], request["nonce"]) == (
        "POST", "api.example.com", "/items", "nonce-1")
    recorder.results.clear()


def test_error_results_carry_telemetry(started):
    telemetry = run("SignInSilentlyAsync").get_telemetry_data()
    assert telemetry["result"] == "error" and telemetry["status"] == S.Status_InteractionRequired.value


# -- scripted completions -------------------------------------------------------------------


def test_fail_completion_replaces_one_outcome(started):
    started.add_account()
    started.fail_completion("SignInInteractivelyAsync", started.Error(5, -7, 99, "scripted"))
    accounts_before = started.accounts()
    assert status_of(run("SignInSilentlyAsync")) is None  # another operation is not affected
    error = run("SignInInteractivelyAsync").get_error()
    assert (error.get_status(), error.get_error_code(), error.get_tag(), error.get_context()) == (
        S.Status_ServerTemporarilyUnavailable, -7, 99, "scripted")
    assert started.accounts() == accounts_before  # the sign-in did not happen
    assert status_of(run("SignInInteractivelyAsync")) is None  # only the next one


def test_scripted_completion_applies_to_a_held_operation_when_it_completes(started):
    started.set_completion_mode("held")
    recorder = Recorder()
    start("DiscoverAccountsAsync", recorder)
    started.fail_completion("VESSARUNTIME_DiscoverAccountsAsync", 3)
    started.release_held()
    assert status_of(recorder.wait()) is S.Status_NoNetwork
    recorder.results.clear()


def test_null_completion_passes_a_null_handle_and_the_context(started):
    lib = runtime
    received = []
    done = threading.Event()

    @COMPLETION
    def routine(result, context):
        received.append((result, context))
        done.set()

    started.null_completion("DiscoverAccountsAsync")
    handle = ctypes.c_void_p()
    client = "c\0".encode("utf-16-le")
    assert lib.VESSARUNTIME_DiscoverAccountsAsync(client, client, routine, 0xC0FFEE,
                                                  ctypes.byref(handle)) is None
    assert done.wait(10) and started.wait_idle()
    assert received == [(None, 0xC0FFEE)]
    assert lib.VESSARUNTIME_ReleaseAsyncHandle(handle) is None


# -- log lines ------------------------------------------------------------------------------


LOG_ROUTINE = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_int32, ctypes.c_void_p)


def units_at(address):
    units = []
    while (unit := ctypes.c_uint16.from_address(address + 2 * len(units)).value) != 0:
        units.append(unit)
    return units


class LogSink:
    """A raw log routine registered with the emulator; records (units, level, context, thread)."""

    def __init__(self, lib, context=None):
        self.lines = []
        self.lock = threading.Lock()
        self.routine = LOG_ROUTINE(self.receive)
        self.lib = lib
        self.handle = ctypes.c_void_p()
        assert lib.VESSARUNTIME_RegisterLogCallback(self.routine, context,
                                                    ctypes.byref(self.handle)) is None

    def receive(self, message, level, context):
        with self.lock:
            self.lines.append((units_at(message), level, context, threading.get_ident()))

    def text(self):
        return [(bytes(b for u in units for b in u.to_bytes(2, "little")).decode(
            "utf-16-le", "surrogatepass"), level) for units, level, _, _ in self.lines]

    def release(self):
        assert self.lib.VESSARUNTIME_ReleaseLogCallbackHandle(self.handle) is None


@pytest.mark.parametrize("thread,threads", [("caller", 1), ("native", 1), ("native", 8)])
def test_emitted_lines_reach_every_registration(emu, thread, threads):
    sinks = [LogSink(runtime, context=n) for n in (1, 2)]
    assert emu.log_registrations() == 2
    raw = [0x41, 0xD800, 0x42]  # a lone surrogate is passed on as it is
    for level in (0, 3, 7, -5):
        emu.emit_log(raw, level, thread=thread, threads=threads)
    for n, sink in zip((1, 2), sinks):
        assert [(u, lvl, ctx) for u, lvl, ctx, _ in sink.lines] == [
            (raw, level, n) for level in (0, 3, 7, -5) for _ in range(threads)]
        on_caller = {t == threading.get_ident() for *_, t in sink.lines}
        assert on_caller == {thread == "caller"}
        if threads > 1:
            assert len({t for *_, t in sink.lines}) > 1
        sink.release()
    assert emu.log_registrations() == 0
    emu.emit_log("after release", 3)
    assert all(len(s.lines) == 4 * threads for s in sinks)


@pytest.mark.parametrize("pii", [0, 1])
def test_operation_log_lines_and_personal_data(started, pii):
    sink = LogSink(runtime)
    runtime.VESSARUNTIME_SetIsPiiEnabled(pii)
    # The hint names the interactive user by its account id, so line and hint differ.
    started.set_interactive_user(account_id="private.hint@example.com",
                                 user_name="private.person@example.com")
    run("SignInInteractivelyAsync", hint="private.hint@example.com")
    m._shutdown_vessaruntime()
    m._startup_vessaruntime()
    sink.release()
    lines = sink.text()
    assert all(1 <= level <= 6 for _, level in lines)
    text = "\n".join(line for line, _ in lines)
    for expected in ("SignInInteractivelyAsync starting (correlation id corr)",
                     "SignInInteractivelyAsync (correlation id corr) completed: signed in",
                     "runtime shutting down", "runtime shut down", "runtime started"):
        assert expected in text
    assert ("private.person@example.com" in text) == bool(pii)
    assert ("private.hint@example.com" in text) == bool(pii)


@pytest.mark.parametrize("status, level", [
    (None, 3),  # the silent sign-in's own InteractionRequired: met on every first sign-in
    (S.Status_UserCanceled, 3), (S.Status_ApplicationCanceled, 3), (S.Status_AccountSwitch, 3),
    (S.Status_NoNetwork, 4), (S.Status_Unexpected, 4), (S.Status_IncorrectConfiguration, 4),
    (S.Status_AuthorityUntrusted, 4), (S.Status_ApiContractViolation, 4)])
def test_error_completions_are_logged_by_what_they_mean(started, status, level):
    sink = LogSink(runtime)
    if status is not None:
        started.fail_completion("sign_in_silently", status)
    run("SignInSilentlyAsync")
    sink.release()
    ((text, logged),) = [(line, lvl) for line, lvl in sink.text() if "with an error" in line]
    assert logged == level and ("interactive sign-in is required" in text) == (status is None)


def test_release_waits_for_a_call_in_progress_on_another_thread(emu):
    lib = runtime
    entered, finished = threading.Event(), threading.Event()
    calls = []

    @LOG_ROUTINE
    def slow(message, level, context):
        calls.append(level)
        entered.set()
        time.sleep(0.3)
        finished.set()

    handle = ctypes.c_void_p()
    assert lib.VESSARUNTIME_RegisterLogCallback(slow, None, ctypes.byref(handle)) is None
    writer = threading.Thread(target=emu.emit_log, args=("slow line", 3), kwargs={"thread": "native"})
    writer.start()
    assert entered.wait(10)
    assert lib.VESSARUNTIME_ReleaseLogCallbackHandle(handle) is None
    assert finished.is_set()  # the release returned only after the call ended
    writer.join()
    emu.emit_log("too late", 3, thread="native")
    assert calls == [3]


# -- threads the host ends, deadlock-prone calls, exit --------------------------------------


@pytest.mark.skipif(sys.platform == "win32", reason="threads end by a forced unwind only on POSIX "
                    "systems; Windows ends them without unwinding their stacks")
def test_threads_ended_inside_routines_leave_the_emulator_consistent():
    # pthread_exit as the routine ends the calling thread with a forced unwind, as the
    # interpreter does to a native thread that asks for its lock while it finalizes.
    result = run_script("""
        import ctypes
        import pyvessaruntime.pyvessaruntime as m
        from pyvessaruntime import emulator_internals as emu
        from runtime_abi import lib
        exit_thread = ctypes.cast(ctypes.CDLL(None).pthread_exit, ctypes.c_void_p).value
        client = "c\\0".encode("utf-16-le")
        m._startup_vessaruntime()
        for _ in range(2):  # both workers end, one after the other
            handle = ctypes.c_void_p()
            assert lib.VESSARUNTIME_DiscoverAccountsAsync(client, client, exit_thread, None,
                                                          ctypes.byref(handle)) is None
            assert emu.wait_idle() and emu.pending_operations() == 0
            lib.VESSARUNTIME_ReleaseAsyncHandle(handle)
        registration = ctypes.c_void_p()
        assert lib.VESSARUNTIME_RegisterLogCallback(exit_thread, None,
                                                    ctypes.byref(registration)) is None
        emu.emit_log("ends its thread", 3, thread="native", threads=4)
        assert lib.VESSARUNTIME_ReleaseLogCallbackHandle(registration) is None
        # No worker is left to run it, but the shut-down still delivers it and joins the ended ones.
        emu.set_completion_mode("held")
        done = []
        m.discover_accounts("client", "corr", done.append)
        m._shutdown_vessaruntime()
        assert len(done) == 1 and done[0].get_error() is not None
        m._startup_vessaruntime()
        done.clear()
        emu.set_completion_mode("worker")
        m.discover_accounts("client", "corr", done.append)
        assert emu.wait_idle() and len(done) == 1 and done[0].get_error() is None
        done.clear()
        m._shutdown_vessaruntime()
        print("consistent")
    """, timeout=30)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "consistent"


def test_routines_may_call_back_into_the_runtime():
    # From a routine on a worker: shut the runtime down (which must not join its own thread),
    # and release the routine's own log registration (which must not wait for itself).
    result = run_script("""
        import threading
        import pyvessaruntime.pyvessaruntime as m
        from pyvessaruntime import emulator_internals as emu
        m._startup_vessaruntime()
        done = threading.Event()
        def callback(result):
            m._shutdown_vessaruntime()
            done.set()
        m.discover_accounts("client", "corr", callback)
        assert done.wait(10) and not emu.is_started()
        lines = []
        def log(message, level):
            lines.append(message)
            handle.release_logging_callback()
        handle = m.register_logging_callback(log)
        emu.emit_log("first", 3, thread="native")
        emu.emit_log("second", 3, thread="native")
        assert lines == ["first"] and emu.log_registrations() == 0
        m._startup_vessaruntime()
        m._shutdown_vessaruntime()
        print("no deadlock")
    """, timeout=30)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "no deadlock"


# With every exit hook cleared, the module lets go only as the interpreter is cleared, when
# CPython has ended or parked the threads still delivering.
@pytest.mark.parametrize("exit_hooks", [
    "",
    "atexit._clear()\nthreading._threading_atexits.clear()\n",
], ids=["kept", "cleared"])
def test_exit_with_pending_operations_and_native_log_lines(exit_hooks):
    # Operations wait on the workers (delayed around the moment of exit), a daemon thread keeps
    # writing lines from native threads, and the script ends without a shut-down.
    result = run_script(textwrap.dedent("""
        import atexit, threading
        import pyvessaruntime.pyvessaruntime as m
        from pyvessaruntime import emulator_internals as emu
        m._startup_vessaruntime()
        emu.add_account()
        m.register_logging_callback(lambda message, level: None)
        emu.set_completion_mode("delay", delay_ms=30)
        params = m.VESSARuntimeAuthParameters("client", "authority")
        for i in range(300):
            m.signin_silently(params, f"corr-{i}", lambda result: None)
            m.discover_accounts("client", "corr", lambda result: None)
        emu.set_completion_mode("held")
        for i in range(50):
            m.discover_accounts("client", "held", lambda result: None)
        def keep_logging():
            while True:
                emu.emit_log("line at exit", 3, thread="native", threads=2)
        threading.Thread(target=keep_logging, daemon=True).start()
        atexit.register(lambda: emu.emit_log("from atexit", 3, thread="native"))
        print("exiting", emu.pending_operations() > 0)
    """) + exit_hooks, timeout=60)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "exiting True"


# -- the clock, token renewal and the history of raw requests --------------------------------


def test_renewal_is_asked_for_by_the_token_to_renew(started):
    key = started.add_account()
    first = run("AcquireTokenSilentlyAsync", account_id=key).get_access_token()
    assert run("AcquireTokenSilentlyAsync", account_id=key).get_access_token() == first
    p = params()
    p.set_access_token_to_renew(first)
    recorder = Recorder()
    m.acquire_token_silently(p, "corr", account(key), recorder)
    renewed = recorder.wait().get_access_token()
    assert renewed != first
    assert run("AcquireTokenSilentlyAsync", account_id=key).get_access_token() == renewed
    recorder.results.clear()


def test_advancing_a_running_clock_puts_it_ahead_of_the_system(started):
    started.advance(86400)
    key = started.add_account()
    _, payload = claims(run("AcquireTokenSilentlyAsync", account_id=key).get_access_token())
    assert abs(payload["iat"] - (time.time() + 86400)) < 5
    started.reset()
    assert abs(started.now().timestamp() - time.time()) < 5


def test_history_keeps_raw_texts_and_forgets_refused_starts(emu):
    def units(text):
        return ctypes.create_string_buffer(text.encode("utf-16-le", "surrogatepass") + b"\0\0")

    @COMPLETION
    def release(result, context):
        runtime.VESSARUNTIME_ReleaseAuthResult(result)

    parameters, handle = ctypes.c_void_p(), ctypes.c_void_p()
    assert runtime.VESSARUNTIME_CreateAuthParameters(units("c"), units("https://a.example/t"),
                                                     ctypes.byref(parameters)) is None
    assert runtime.VESSARUNTIME_SetRequestedScopes(parameters, units("x\ud800 y")) is None
    assert runtime.VESSARUNTIME_SetAdditionalParameter(parameters, units("k"),
                                                       units("\U0001F511")) is None

    def start():
        return runtime.VESSARUNTIME_SignInSilentlyAsync(parameters, units("c\udc00"), release,
                                                        None, ctypes.byref(handle))
    refused = start()  # the runtime is not started
    assert refused is not None and runtime.VESSARUNTIME_ReleaseError(refused) is None
    assert runtime.VESSARUNTIME_Startup() is None
    emu.set_completion_mode("inline")
    assert start() is None
    assert runtime.VESSARUNTIME_ReleaseAsyncHandle(handle) is None
    assert runtime.VESSARUNTIME_ReleaseAuthParameters(parameters) is None
    (entry,) = emu.requests()
    assert (entry.correlation_id, entry.scopes, entry.additional_parameters, entry.status) == (
        "c\udc00", ("x\ud800", "y"), (("k", "\U0001F511"),), S.Status_InteractionRequired.value)
    runtime.VESSARUNTIME_Shutdown()

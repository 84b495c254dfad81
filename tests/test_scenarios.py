"""The emulator as a test double for applications, as an application's own tests use it: the
plugin's `emulator` fixture and the typed client. The standard sign-in path, token expiry,
account states, aimed outcomes, the request history, latency, completion blocks, scenarios (also
in a subprocess), and what tells the emulator from a real runtime."""

import asyncio
import base64
import contextlib
import ctypes
import datetime
import gc
import json
import logging
import os
import re
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import pyvessaruntime as vrt
from pyvessaruntime import emulator_internals

CLIENT_ID = "app-client"
AUTHORITY = "https://login.example.test/common"
SCOPES = ["user.read"]


@pytest.fixture
def client(emulator):
    with vrt.running():
        yield vrt.Client(CLIENT_ID, AUTHORITY, timeout=10)


def run_app(code, env=None):
    return subprocess.run([sys.executable, "-P", "-c", textwrap.dedent(code)],
                          capture_output=True, text=True, timeout=60,
                          env={**os.environ, **(env or {})})


# -- the paths an application takes ----------------------------------------------------------


@pytest.mark.parametrize("prompt", ["sign_in_interactively", "acquire_token_interactively"])
def test_interaction_required_then_a_prompt_then_silent_tokens(emulator, client, prompt):
    emulator.add_account(user_name="ada@example.test", state="interaction_required")
    with pytest.raises(vrt.InteractionRequired):
        client.sign_in_silently(SCOPES)
    (account,) = client.discover_accounts()
    if prompt == "sign_in_interactively":
        client.sign_in_interactively(SCOPES, login_hint="ada@example.test")
    else:
        client.acquire_token_interactively(account, SCOPES)
    token = client.acquire_token_silently(account, SCOPES)
    assert token.account == account and client.discover_accounts() == (account,)


# -- the scenario model, one behaviour a test -------------------------------------------------


def test_tokens_are_issued_by_the_emulators_clock(emulator, client):
    emulator.freeze(1_700_000_000)
    emulator.advance(datetime.timedelta(minutes=1))
    assert emulator.now() == datetime.datetime.fromtimestamp(1_700_000_060, datetime.UTC)
    token = client.sign_in_interactively(SCOPES)
    assert payload(token.access_token)["iat"] == 1_700_000_060


def test_an_access_token_is_reused_until_its_lifetime_ends(emulator, client):
    emulator.freeze()
    emulator.configure(access_token_lifetime=600)
    first = client.sign_in_interactively(SCOPES)
    assert first.expires_at == emulator.now() + datetime.timedelta(seconds=600)
    assert client.acquire_token_silently(first.account, SCOPES).access_token == first.access_token
    emulator.advance(600)
    renewed = client.acquire_token_silently(first.account, SCOPES)
    assert renewed.access_token != first.access_token
    assert renewed.expires_at == emulator.now() + datetime.timedelta(seconds=600)


def test_silent_tokens_end_with_the_refresh_credential(emulator, client):
    emulator.freeze()
    emulator.configure(access_token_lifetime=60, refresh_credential_lifetime=3600)
    account = client.sign_in_interactively(SCOPES).account
    emulator.advance(3599)
    client.acquire_token_silently(account, SCOPES)  # a renewal, the refresh credential valid
    emulator.advance(1)
    with pytest.raises(vrt.InteractionRequired, match="refresh credential expired"):
        client.acquire_token_silently(account, SCOPES)


def test_claims_ask_for_a_new_token_that_carries_them(emulator, client):
    first = client.sign_in_interactively(SCOPES)
    challenged = client.acquire_token_silently(first.account, SCOPES, claims={"acr": "2"})
    assert challenged.access_token != first.access_token
    assert payload(challenged.access_token)["claims"] == '{"acr": "2"}'
    assert "claims" not in payload(first.access_token)


@pytest.mark.parametrize("state, silent_error, a_prompt_clears_it", [
    ("interaction_required", vrt.InteractionRequired, True),
    ("account_switch", vrt.AccountSwitch, True),
    ("removed", vrt.InteractionRequired, True),
    ("unusable", vrt.AccountUnusable, False),
])
def test_account_states(emulator, client, state, silent_error, a_prompt_clears_it):
    emulator.add_account(user_name="bob@example.test")
    (account,) = client.discover_accounts()
    emulator.set_account_state(account, state)
    with pytest.raises(silent_error):
        client.acquire_token_silently(account, SCOPES)
    assert client.discover_accounts() == (() if state == "removed" else (account,))
    if a_prompt_clears_it:
        client.acquire_token_interactively(account, SCOPES)
        client.acquire_token_silently(account, SCOPES)
        assert emulator.account_state(account) == "ready"
    else:
        with pytest.raises(vrt.AccountUnusable):
            client.acquire_token_interactively(account, SCOPES)
    assert client.discover_accounts() == (account,)


# -- scripted outcomes -----------------------------------------------------------------------


def test_a_network_failure_aimed_at_one_account_of_concurrent_requests(emulator):
    for user in ("ann@example.test", "bob@example.test"):
        emulator.add_account(user_name=user)
    emulator.fail_completion("acquire_token_silently", vrt.Status.Status_NoNetwork,
                             account="bob@example.test", every_time=True)

    async def tokens():
        client = vrt.AsyncClient(CLIENT_ID, AUTHORITY, timeout=10)
        accounts = await client.discover_accounts()
        return await asyncio.gather(*(client.acquire_token_silently(account, SCOPES)
                                      for account in accounts * 4), return_exceptions=True)
    with vrt.running():
        outcomes = asyncio.run(tokens())
    assert [type(outcome) for outcome in outcomes] == [vrt.Token, vrt.NetworkError] * 4


@pytest.mark.parametrize("target, asked, hit", [
    ({"scopes": ["mail.send"]}, {"scopes": ["user.read", "mail.send"]}, True),
    ({"scopes": "mail.send user.read"}, {"scopes": ["mail.send"]}, False),
    ({"claims": "acr"}, {"claims": {"acr": "2"}}, True),
    ({"claims": ""}, {}, False),
    ({"correlation_id": "c-7"}, {"correlation_id": "c-7"}, True),
    ({"correlation_id": "c-7"}, {"correlation_id": "c-8"}, False),
], ids=["scopes", "scopes-missing", "claims", "no-claims", "correlation", "other-correlation"])
def test_outcomes_aimed_at_scopes_claims_and_correlation_ids(emulator, client, target, asked, hit):
    account = client.sign_in_interactively(SCOPES).account
    emulator.fail_completion("acquire_token_silently", 17, **target)

    def acquire():
        return client.acquire_token_silently(account, asked.get("scopes", SCOPES),
                                             claims=asked.get("claims"),
                                             correlation_id=asked.get("correlation_id"))
    if hit:
        with pytest.raises(vrt.TransientError):
            acquire()
    assert isinstance(acquire(), vrt.Token)  # once only, and the store was left alone
    # A miss is listed as such (and would fail the test under the plugin).
    assert (emulator.pending_outcomes() == []) is hit
    emulator.reset()


ANN, BOB = "ann@example.test", "bob@example.test"


def sign_in(client, user, aimed_at):
    """`user`'s sign-in by hint (a silent token for claims, which a sign-in cannot ask for);
    bob's alone carries the thing a failure is `aimed_at`."""
    bob = user == BOB
    if aimed_at == "claims":
        (account,) = (a for a in client.discover_accounts() if a.user_name == user)
        return client.acquire_token_silently(account, SCOPES, claims={"acr": "2"} if bob else None)
    prompt = bob and aimed_at == "operation"
    return (client.sign_in_interactively if prompt else client.sign_in)(
        ["mail.read"] if bob and aimed_at == "scopes" else SCOPES, login_hint=user,
        correlation_id="c-bob" if bob and aimed_at == "correlation_id" else None)


@pytest.mark.parametrize("aimed_at", ["operation", "account", "scopes", "claims",
                                      "correlation_id"])
def test_an_outcome_aimed_at_one_user_spares_the_other(emulator, client, aimed_at):
    emulator.add_account(user_name=ANN)
    bob = emulator.add_account(user_name=BOB)
    # The account by its key while the sign-in names it by user name, so the request's account
    # must be found from its hint.
    target = {"operation": {}, "account": {"account": bob}, "scopes": {"scopes": ["mail.read"]},
              "claims": {"claims": "acr"}, "correlation_id": {"correlation_id": "c-bob"}}
    emulator.fail_completion("sign_in_interactively" if aimed_at == "operation" else None,
                             vrt.Status.Status_NoNetwork, **target[aimed_at])
    assert isinstance(sign_in(client, ANN, aimed_at), vrt.Token)
    with pytest.raises(vrt.NetworkError):
        sign_in(client, BOB, aimed_at)


@pytest.mark.parametrize("status", [3, vrt.Status.Status_NoNetwork,
                                    vrt.Response_Status.Status_NoNetwork])
def test_outcomes_queue_up_and_the_first_that_matches_is_taken(emulator, client, status):
    emulator.fail_completion("discover_accounts", status)
    emulator.fail_completion(None, 17, correlation_id="flaky", every_time=True)
    emulator.fail_completion(None, vrt.Status.Status_UserCanceled)
    with pytest.raises(vrt.NetworkError):
        client.discover_accounts()
    for _ in range(2):
        with pytest.raises(vrt.TransientError):
            client.discover_accounts(correlation_id="flaky")
    with pytest.raises(vrt.UserCanceled):
        client.discover_accounts()
    assert client.discover_accounts() == ()


ROUTES = {
    "fail_completion": (lambda e, bob: e.fail_completion(
        "acquire_token_silently", 3, account=bob, every_time=True), vrt.NetworkError),
    "grant_scopes": (lambda e, bob: e.grant_scopes(
        "acquire_token_silently", ["x"], account=bob, every_time=True), None),
    "allow": (lambda e, bob: e.allow("acquire_token_silently", account=bob, every_time=True), None),
}


@pytest.mark.parametrize("kind", ROUTES)
def test_a_route_tells_which_requests_took_it(emulator, client, kind):
    script, error = ROUTES[kind]
    emulator.add_account(user_name=ANN)
    bob = emulator.add_account(user_name=BOB)
    route = script(emulator, bob)
    assert not route.called and repr(route).startswith(
        f"<Route {kind}: acquire_token_silently, account={bob!r}")
    ann_account, bob_account = client.discover_accounts()
    client.acquire_token_silently(ann_account, SCOPES)
    for scopes in (["a"], ["b", "c"]):
        with pytest.raises(error) if error else contextlib.nullcontext():
            client.acquire_token_silently(bob_account, scopes)
    assert route.called and route.call_count == 2
    assert [(call.scopes, call.account) for call in route.calls] == [(("a",), bob),
                                                                     (("b", "c"), bob)]
    emulator.reset()
    assert (route.called, route.calls) == (False, [])


def test_assert_all_called_lists_the_routes_no_completion_took(emulator, client):
    cancel = emulator.cancel_next_interactive()
    emulator.null_completion("discover_accounts", optional=True)  # asked for: listed all the same
    emulator.allow("sign_in_silently", correlation_id="c-1")
    with pytest.raises(vrt.UserCanceled):
        client.sign_in_interactively(SCOPES, correlation_id="c-9")
    assert [call.correlation_id for call in cancel.calls] == ["c-9"]
    with pytest.raises(AssertionError) as raised:
        emulator.assert_all_called()
    assert str(raised.value).splitlines()[1:] == [
        "  <Route null_completion: discover_accounts, optional=True>",
        "  <Route allow: sign_in_silently, correlation_id='c-1'>"]
    emulator.reset()
    emulator.assert_all_called()


NEAREST = [{"operation": "sign_in_silently", "correlation_id": "c-1", "status": 3},
           {"operation": "acquire_token_silently", "account": ANN, "pass": True}]


@pytest.mark.parametrize("outcomes, nearest", [
    ([], "no outcome is scripted"),
    (NEAREST, f"the nearest scripted outcome: allow: acquire_token_silently, account '{ANN}'"),
    ([NEAREST[0], {**NEAREST[1], "description": "as recorded"}],
     "the nearest scripted outcome: 'as recorded'"),
], ids=["none", "by-target", "by-description"])
def test_strict_mode_refuses_what_no_outcome_scripts(emulator, client, outcomes, nearest):
    emulator.add_account(user_name=BOB)
    (account,) = client.discover_accounts()
    emulator.load_scenario({"strict": True, "outcomes": outcomes})
    with pytest.raises(vrt.ConfigurationError) as raised:
        client.acquire_token_silently(account, SCOPES, claims={"acr": "2"}, correlation_id="c-1")
    expected = (f"no scripted outcome matches acquire_token_silently, scopes 'user.read', account "
                f"'{BOB}', claims '{{\"acr\": \"2\"}}', correlation id 'c-1'; {nearest}")
    assert raised.value.context == expected and emulator.unmatched_requests() == [expected]
    emulator.reset()


@pytest.mark.parametrize("operation, outcome, user, lifetime", [
    ("sign_in_silently", {"signs_in": BOB, "expires_in": 900}, BOB, 900),
    ("acquire_token_interactively", {"signs_in": BOB, "granted_scopes": ["x"]}, BOB, 3600),
    ("acquire_token_silently", {"pass": True, "expires_in": 900}, ANN, 900),
])
def test_a_replayed_success_signs_in_whom_and_lasts_as_scripted(emulator, client, operation,
                                                                 outcome, user, lifetime):
    emulator.freeze(T0)
    emulator.add_account(user_name=ANN)
    emulator.add_account(user_name=BOB, state="removed")
    (ann,) = client.discover_accounts()
    client.acquire_token_silently(ann, SCOPES)  # cached: replayed lifetimes issue anew
    emulator.load_scenario({"outcomes": [{"operation": operation, **outcome}]})
    token = (client.sign_in_silently(SCOPES) if operation == "sign_in_silently"
             else getattr(client, operation)(ann, SCOPES))
    assert (token.account.user_name, token.expires_at.timestamp()) == (user, T0 + lifetime)
    assert emulator.account_state(token.account) == "ready"
    again = client.acquire_token_silently(token.account, token.granted_scopes)
    assert (again.access_token, again.expires_at) == (token.access_token, token.expires_at)


# -- what the application asked for, how long it took, when it completed ---------------------


def test_the_request_history_outlives_the_handles(emulator, client):
    with pytest.raises(vrt.InteractionRequired):
        client.sign_in_silently(SCOPES, correlation_id="c-0")
    token = client.sign_in_interactively(["a", "b"], login_hint="x@example.test",
                                         correlation_id="c-1")
    client.acquire_token_silently(token.account, ["a"], claims={"acr": "1"})
    gc.collect()
    assert emulator.live_handles()["auth_parameters"] == 0
    failed, prompted, silent = emulator.requests()
    assert (failed.operation, failed.correlation_id, failed.status) == (
        "sign_in_silently", "c-0", vrt.Status.Status_InteractionRequired)
    assert (prompted.scopes, prompted.account_hint, prompted.client_id, prompted.completed,
            prompted.status) == (("a", "b"), "x@example.test", CLIENT_ID, True, None)
    assert (silent.account, silent.claims) == (token.account.account_id, '{"acr": "1"}')
    assert silent.parameters["authority"] == AUTHORITY
    assert emulator.requests("AcquireTokenSilentlyAsync") == [silent]
    assert emulator.requests("signin_interactively") == [prompted]  # the native module's name
    emulator.clear_requests()
    assert emulator.requests() == []


def test_latency_holds_back_its_operation_only(emulator, client):
    emulator.set_latency("discover_accounts", 60_000)
    client.sign_in_interactively(SCOPES)
    with pytest.raises(TimeoutError):  # the timeout cancels it, so nobody waits the minute
        vrt.Client(CLIENT_ID, AUTHORITY, timeout=0.05).discover_accounts()
    assert emulator.wait_idle() and emulator.pending_operations() == 0


def test_held_and_delayed_blocks_restore_the_mode(emulator):
    async def held_discovery():
        client = vrt.AsyncClient(CLIENT_ID, AUTHORITY, timeout=10)
        with emulator.held():
            task = asyncio.ensure_future(client.discover_accounts())
            await asyncio.sleep(0)  # the task starts its operation
            assert emulator_internals.held_operations() == 1 and not task.done()
        return await task
    with vrt.running():
        assert asyncio.run(held_discovery()) == ()
        with emulator.delayed(25):
            assert emulator_internals.completion_mode() == ("delay", 25)
    assert emulator_internals.completion_mode() == ("worker", 0)


# -- scenarios -------------------------------------------------------------------------------


SCENARIO = {
    "now": 1_700_000_000,
    "settings": {"access_token_lifetime": 60},
    "accounts": [{"user_name": "ann@example.test"},
                 {"user_name": "bob@example.test", "state": "interaction_required"},
                 {"user_name": "cy@example.test"}],
    "outcomes": [{"operation": "acquire_token_silently", "account": "cy@example.test",
                  "status": "NoNetwork"}],
}

APP = """
    import pyvessaruntime as vrt
    with vrt.running():
        client = vrt.Client("app", "https://login.example.test/common", timeout=10)
        for account in client.discover_accounts():
            try:
                token = client.acquire_token_silently(account, ["user.read"])
                print(account.user_name, "until", token.expires_at.isoformat())
            except vrt.AuthError as error:
                print(account.user_name, type(error).__name__)
"""
EXPECTED = ["ann@example.test until 2023-11-14T22:14:20+00:00",
            "bob@example.test InteractionRequired", "cy@example.test NetworkError"]


@pytest.mark.emulator_unused_outcomes  # the in-process load's outcomes are never used
def test_a_subprocess_runs_against_a_scenario_file(emulator, tmp_path):
    scenario = tmp_path / "scenario.json"
    scenario.write_text(json.dumps(SCENARIO))
    done = run_app(APP, env={emulator.SCENARIO_ENV: str(scenario)})
    assert done.stdout.splitlines() == EXPECTED, done.stderr
    emulator.load_scenario(scenario)  # the same file, loaded by a call
    assert [account["user_name"] for account in emulator.accounts()] == [
        "ann@example.test", "bob@example.test", "cy@example.test"]
    assert emulator.now().timestamp() == 1_700_000_000


def raises(error, call):
    with pytest.raises(error):
        call()
    return True


T0 = 1_700_000_000
# Each part a scenario can have, and what shows that it took effect.
SCENARIO_PARTS = {
    "now": ({"now": T0}, lambda e, c: e.now().timestamp() == T0),
    "access_token_lifetime": (
        {"now": T0, "settings": {"access_token_lifetime": 60}},
        lambda e, c: c.sign_in_interactively(SCOPES).expires_at.timestamp() == T0 + 60),
    "refresh_credential_lifetime": (
        {"now": T0, "settings": {"refresh_credential_lifetime": 60}, "accounts": [{}]},
        lambda e, c: e.advance(3600) or raises(vrt.InteractionRequired, lambda: (
            c.acquire_token_silently(c.discover_accounts()[0], SCOPES)))),
    "sso_policy": ({"settings": {"sso_policy": 3}},
                   lambda e, c: vrt.get_sso_policy() is vrt.SsoPolicyType.Error),
    "latency_ms": ({"settings": {"latency_ms": {"discover_accounts": 60_000}}},
                   lambda e, c: raises(TimeoutError, vrt.Client(CLIENT_ID, AUTHORITY,
                                                                timeout=0.05).discover_accounts)),
    "interactive_user": (
        {"interactive_user": {"user_name": "ivy@example.test"}},
        lambda e, c: c.sign_in_interactively(SCOPES).account.user_name == "ivy@example.test"),
    "accounts": ({"accounts": [{"user_name": ANN}]},
                 lambda e, c: [a.user_name for a in c.discover_accounts()] == [ANN]),
    "accounts.state": ({"accounts": [{"state": "unusable"}]}, lambda e, c: raises(
        vrt.AccountUnusable, lambda: c.acquire_token_silently(c.discover_accounts()[0], SCOPES))),
    "outcomes": ({"outcomes": [{"operation": "discover_accounts", "status": "NoNetwork"}]},
                 lambda e, c: raises(vrt.NetworkError, c.discover_accounts)),
}


@pytest.mark.parametrize("part", SCENARIO_PARTS)
def test_each_part_of_a_scenario_takes_effect(emulator, client, part):
    scenario, took_effect = SCENARIO_PARTS[part]
    emulator.load_scenario(scenario)
    assert took_effect(emulator, client)


def test_a_faulty_scenario_file_stops_the_start(tmp_path):
    scenario = tmp_path / "scenario.json"
    scenario.write_text('{"accounts": [\n  {"user": "x"}]}')
    done = run_app("""
        import pyvessaruntime as vrt
        try:
            vrt.start()
        except vrt.ConfigurationError as error:
            print(error.context)
    """, env={"VESSAEMU_SCENARIO": str(scenario)})
    assert f"the scenario file {scenario}" in done.stdout, done.stderr
    assert "accounts[0]: unknown member 'user'; expected one of: account_id" in done.stdout


@pytest.mark.parametrize("scenario, message", [
    ({"acounts": []}, "scenario: unknown member 'acounts'; expected one of: now, settings"),
    ({"accounts": [{"state": "gone"}]},
     "accounts[0].state: unknown state 'gone'; expected one of: ready, interaction_required"),
    ({"outcomes": [{"operation": "acquire_token", "status": 3}]},
     "unknown start operation 'acquire_token'; expected one of: sign_in, sign_in_silently"),
    ({"outcomes": [{"status": "Offline"}]}, "unknown status 'Offline'"),
    ({"outcomes": [{"operation": "discover_accounts"}]}, "needs one of a status"),
    ({"outcomes": [{"operation": "discover_accounts", "granted_scopes": ["a"]}]},
     "only the five sign-in and token operations grant scopes"),
    ({"settings": {"latency_ms": {"get_account_id": 5}}}, "expected one of: sign_in"),
    ({"settings": {"access_token_lifetime": -1}}, "access_token_lifetime: -1 is out of range"),
    ({"accounts": [{"account_id": "a"}, {"account_id": "a"}]}, "exists already"),
    ({"strict": 1}, "strict: expected true or false"),
    ({"accounts": [{"refresh_credential_expires_in": -5}]}, "expires_in: -5 is out of range"),
    ({"outcomes": [{"expires_in": 315_576_001}]}, "outcomes[0].expires_in: 315576001 is out"),
    ({"outcomes": [{"status": 3, "expires_in": 5}]}, "and only one"),
    ({"outcomes": [{"pass": True, "description": 5}]}, "description: expected a text or null"),
    ({"outcomes": [{"signs_in": "first@example.test"}, {"signs_in": "nobody@example.test"}]},
     "outcomes[1]: no account has the key, account id or user name 'nobody@example.test'"),
    ({"outcomes": [{"operation": "acquire_token_silently", "signs_in": "first@example.test"}]},
     "only the sign-ins and the interactive token acquisition sign an account in"),
    ({"tokens": [{"account": "first@example.test"}]}, 'tokens[0]: needs "account" and "expires'),
    ({"tokens": [{"account": "nobody", "expires_in": 5}]}, "tokens[0]: no account has"),
])
def test_a_faulty_scenario_says_where_and_applies_nothing(emulator, scenario, message):
    with pytest.raises(ValueError, match=re.escape(message)):
        emulator.load_scenario({"accounts": [{"user_name": "first@example.test"}], **scenario})
    assert emulator.accounts() == []


def test_an_exported_state_loads_back_as_the_application_saw_it(emulator):
    client = vrt.Client(CLIENT_ID, AUTHORITY, timeout=10)
    emulator.freeze(T0)
    emulator.configure(access_token_lifetime=600, refresh_credential_lifetime=1000)
    ann = emulator.add_account(user_name=ANN, given_name=None)
    states = [emulator.add_account(state=state) for state in ("account_switch", "removed")]
    emulator.set_interactive_user(user_name="ivy@example.test", middle_name="M")

    def seen():
        # Accounts by their ids: the runtime's own account objects go with the reset.
        tokens = [client.acquire_token_silently(vrt.Account(key), scopes)
                  for key, scopes in ((ivy, ["b", "a"]), (ann, ["c"]))]
        return (client.discover_accounts(), emulator.accounts(), emulator.interactive_user(),
                [emulator.account_state(key) for key in states],
                [(token.access_token, token.expires_at, token.granted_scopes) for token in tokens])
    with vrt.running():
        ivy = client.sign_in_interactively(["a", "b"]).account.account_id
        client.acquire_token_silently(vrt.Account(ann), ["c"])
        emulator.advance(100)
        before = seen()
    document = emulator.export_state()
    emulator.reset()
    emulator.load_scenario(document)
    with vrt.running():
        assert seen() == before
        emulator.advance(900)  # the refresh credential's time left came along
        with pytest.raises(vrt.InteractionRequired, match="refresh credential expired"):
            client.acquire_token_silently(vrt.Account(ivy), ["a", "b"])


# -- it says what it is ----------------------------------------------------------------------


def payload(token):
    header, body, signature = token.split(".")
    assert json.loads(base64.urlsafe_b64decode(header + "==")) == {"alg": "none", "typ": "JWT"}
    assert signature == ""
    return json.loads(base64.urlsafe_b64decode(body + "=" * (-len(body) % 4)))


def test_tokens_are_unsigned_unique_and_issued_for_the_authority(emulator, client):
    emulator.freeze()
    first = client.sign_in_interactively(["a"])
    second = client.acquire_token_silently(first.account, ["b"])
    claims = [payload(token) for token in (first.access_token, second.access_token,
                                           first.raw_id_token)]
    assert all(c["iss"] == f"https://login.example.test/{c['tid']}/v2.0" for c in claims)
    assert len({c["jti"] for c in claims}) == 3 and claims[0]["iat"] == claims[1]["iat"]


def test_start_up_warns_that_this_is_the_emulator(emulator, caplog):
    with caplog.at_level(logging.DEBUG, "app.runtime"), vrt.log_to("app.runtime"):
        with vrt.running():
            pass
    first = caplog.records[0]
    assert first.levelno == logging.WARNING and "emulator" in first.getMessage()


# -- bad or large documents: a clear error, fast ---------------------------------------------


@pytest.mark.parametrize("document, message", [
    (b'{"now": 5}\0garbage', "line 1, column 11: unexpected text after the document"),
    (b'{"interactive_user": {"user_name": "\xc0\x80"}}', "line 1, column 37: invalid UTF-8"),
    (b'{"interactive_user": {"user_name": "\xed\xa0\x80"}}', "line 1, column 37: invalid UTF-8"),
    (b'{"interactive_user": {"user_name": "\xf4\x90\x80\x80"}}', "column 37: invalid UTF-8"),
    (b'{"interactive_user": {"user_name": "ab\xe2\x82"}}', "column 39: invalid UTF-8"),
    (b'{"now": true}', "now: expected a whole number"),
    (b'{"settings": {"grow_by": false}}', "settings.grow_by: expected a whole number"),
    (b'{"settings": {"negative_size": 1}}', "settings.negative_size: expected true or false"),
    (b'{"now": 1,\n "now": 2}', 'line 2, column 2: the member "now" appears twice'),
    (b'{"accounts": [], "accounts": [{}]}', 'column 18: the member "accounts" appears twice'),
    (b'{"now": 017}', "line 1, column 9: a number with a leading zero"),
    (b'{"now": -01}', "a number with a leading zero"),
])
def test_the_reader_refuses_what_json_does_not_allow(emulator, tmp_path, document, message):
    path = tmp_path / "scenario.json"
    path.write_bytes(document)
    with pytest.raises(ValueError, match=re.escape(message)):
        emulator.load_scenario(path)
    assert emulator.now().year >= 2024 and emulator.interactive_user()["user_name"] == \
        "interactive.user@example.com"


def test_the_reader_still_takes_what_json_allows(emulator):
    emulator.load_scenario({"now": 0, "interactive_user": {"user_name": "\u00e9\u4e2d\U0001f600"},
                            "settings": {"negative_size": False, "grow_by": -0}})
    assert emulator.interactive_user()["user_name"] == "\u00e9\u4e2d\U0001f600"
    assert emulator.now().timestamp() == 0


def test_a_document_too_big_is_refused_before_it_is_read(emulator, tmp_path):
    path = tmp_path / "big.json"
    path.write_bytes(b'{"interactive_user": {"user_name": "' + b"x" * (20 << 20) + b'"}}')
    with pytest.raises(ValueError, match="bytes long; at most 16777216 are read"):
        emulator.load_scenario(path)
    done = run_app("""
        import pyvessaruntime as vrt
        try:
            vrt.start()
        except vrt.ConfigurationError as error:
            print(error.status.value, error.context)
    """, env={"VESSAEMU_SCENARIO": str(path)})
    assert done.stdout.startswith("9 ") and "at most 16777216" in done.stdout, done.stderr


def test_many_accounts_load_in_bounded_time(emulator):
    # Adding was linear in the accounts present: 80,000 took more than five minutes.
    document = {"accounts": [{"account_id": f"id-{i}", "user_name": f"user{i}@example.test"}
                             for i in range(80_000)]}
    started = time.monotonic()
    emulator.load_scenario(document)
    assert time.monotonic() - started < 60
    assert emulator_internals.library().VESSAEMU_AccountCount() == 80_000


def test_a_directory_as_the_scenario_file_stops_the_start(tmp_path):
    done = run_app("""
        import pyvessaruntime as vrt
        try:
            vrt.start()
        except vrt.ConfigurationError as error:
            print(error.status.value, error.context)
    """, env={"VESSAEMU_SCENARIO": str(tmp_path)})
    assert done.stdout.startswith("9 "), done.stdout + done.stderr
    assert f"cannot read the scenario file {tmp_path} (named by VESSAEMU_SCENARIO): it is a " \
           "directory" in done.stdout


@pytest.mark.skipif(sys.platform == "win32", reason="the emulator reads its C runtime's own "
                    "copy of the environment there, which os.environ does not change in-process")
def test_concurrent_start_ups_apply_the_scenario_once(emulator, lib, tmp_path, monkeypatch):
    path = tmp_path / "scenario.json"
    path.write_text(json.dumps({"accounts": [{"account_id": "only-one"}]}))
    monkeypatch.setenv(emulator.SCENARIO_ENV, str(path))
    status = ctypes.c_int32()
    for _ in range(60):
        emulator.reset()
        barrier = threading.Barrier(4)
        errors = []

        def start():
            barrier.wait()
            errors.append(lib.VESSARUNTIME_Startup())

        threads = [threading.Thread(target=start) for _ in range(4)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        statuses = []
        for error in filter(None, errors):
            lib.VESSARUNTIME_GetStatus(error, ctypes.byref(status))
            statuses.append(status.value)
            lib.VESSARUNTIME_ReleaseError(error)
        lib.VESSARUNTIME_Shutdown()
        # One start-up wins; the others find the runtime started (status 0), never a fault of
        # the document (status 9) from applying it a second time.
        assert sorted(statuses) == [0, 0, 0]
        assert [account["account_id"] for account in emulator.accounts()] == ["only-one"]


@pytest.mark.parametrize("call, message", [
    (lambda e: e.freeze(2**63 - 100), "outside the emulator's clock range"),
    (lambda e: e.freeze(-1), "outside the emulator's clock range"),
    (lambda e: e.freeze(e.LATEST_TIME + 1), "outside the emulator's clock range"),
    (lambda e: (e.freeze(e.LATEST_TIME - 10), e.advance(11)), "advancing by 11 seconds"),
    (lambda e: e.advance(-(2**62)), "advancing by"),
    (lambda e: e.load_scenario({"now": 2**61 - 1}), "now: 2305843009213693951 is out of range"),
    (lambda e: e.configure(access_token_lifetime=315_576_001), "access_token_lifetime: 315576001 is"),
])
def test_times_outside_what_tokens_carry_are_refused(emulator, call, message):
    emulator.freeze(1_800_000_000)
    with pytest.raises(ValueError, match=re.escape(message)):
        call(emulator)
    assert emulator.now().timestamp() in (1_800_000_000, emulator.LATEST_TIME - 10)
    assert emulator_internals.library().VESSAEMU_FreezeClock(2**63 - 100) == -2


def test_the_latest_time_still_issues_tokens(emulator, client):
    emulator.freeze(emulator.LATEST_TIME)
    emulator.configure(access_token_lifetime=315_576_000, refresh_credential_lifetime=315_576_000)
    emulator.add_account(user_name="ada@example.test")
    (account,) = client.discover_accounts()
    token = client.acquire_token_silently(account, SCOPES)
    assert token.expires_at.timestamp() == 2**32 - 1


@pytest.mark.parametrize("status", ["Status_NoNetwork", "3", True, 3.0])
def test_an_outcome_names_its_status_by_member_or_number(emulator, status):
    with pytest.raises(TypeError, match="a status is a Response_Status member or its number"):
        emulator.fail_completion("signin_silently", status)
    assert emulator.pending_outcomes() == []

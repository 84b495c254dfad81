"""What passes against the emulator must not fail against a real runtime: one account per user,
requests checked as a runtime checks them, tokens as a service issues and a runtime caches them,
aimed outcomes that must be reached, accounts shared across applications (or not), and log lines
in the order things happen."""

import base64
import json
import logging
import threading

import pytest

import pyvessaruntime as vrt
import pyvessaruntime.pyvessaruntime as m

CLIENT_ID = "app-client"
AUTHORITY = "https://login.example.test/contoso"
SCOPES = ["user.read"]


@pytest.fixture
def client(emulator):
    with vrt.running():
        yield vrt.Client(CLIENT_ID, AUTHORITY, timeout=10)


def payload(token):
    body = token.access_token.split(".")[1]
    return json.loads(base64.urlsafe_b64decode(body + "=" * (-len(body) % 4)))


# -- one identity per user -------------------------------------------------------------------


@pytest.mark.parametrize("how", ["signed out", "set removed"])
def test_a_user_keeps_one_account_across_sign_out_and_removal(emulator, client, how):
    if how == "signed out":
        first = client.sign_in_interactively(SCOPES, login_hint="ada@example.test").account
        client.sign_out(first)
        assert client.discover_accounts() == ()
        account_id = first.account_id
    else:
        account_id = emulator.add_account(user_name="ada@example.test", state="removed")
    again = client.sign_in_interactively(SCOPES, login_hint="ADA@example.test").account
    assert again.account_id == account_id
    assert [a.account_id for a in client.discover_accounts()] == [account_id]
    assert emulator.account_state(account_id) == "ready"


def test_a_signed_out_account_gives_no_silent_token(emulator, client):
    account = client.sign_in_interactively(SCOPES, login_hint="ada@example.test").account
    client.sign_out(account)
    with pytest.raises(vrt.InteractionRequired):
        client.acquire_token_silently(account, SCOPES)
    with pytest.raises(vrt.AccountNotFound):
        client.read_account(account.account_id)


# -- starts are checked ----------------------------------------------------------------------


@pytest.mark.parametrize("client_id, authority, redirect_uri, call, why", [
    (CLIENT_ID, "http://login.example.test/t", None, "sign_in", "not an absolute https URL"),
    (CLIENT_ID, "login.example.test/t", None, "silent", "not an absolute https URL"),
    (CLIENT_ID, "https:///t", None, "sign_in", "not an absolute https URL"),
    (CLIENT_ID, "https://someone@login.example.test/t", None, "silent", "not an absolute https"),
    (CLIENT_ID, AUTHORITY, "/callback", "sign_in", "the redirect URI is not an absolute URI"),
    (CLIENT_ID, AUTHORITY, "http://local host/", "sign_in", "not an absolute URI"),
    (CLIENT_ID, AUTHORITY, None, "no scopes", "no scopes were requested for the token"),
    (CLIENT_ID, AUTHORITY, None, "claims", "the claims are not a JSON object"),
])
def test_malformed_requests_are_refused_with_a_reason(emulator, client_id, authority,
                                                      redirect_uri, call, why):
    account = emulator.add_account(user_name="ada@example.test")
    with vrt.running():
        client = vrt.Client(client_id, authority, redirect_uri=redirect_uri, timeout=10)
        (known,) = vrt.Client(CLIENT_ID, AUTHORITY, timeout=10).discover_accounts()
        assert known.account_id == account
        calls = {
            "sign_in": lambda: client.sign_in_interactively(SCOPES),
            "silent": lambda: client.acquire_token_silently(known, SCOPES),
            "no scopes": lambda: client.acquire_token_silently(known, []),
            "claims": lambda: client.acquire_token_silently(known, SCOPES, claims="[1]"),
        }
        with pytest.raises(vrt.ConfigurationError) as raised:
            calls[call]()
    assert raised.value.status == vrt.Status.Status_IncorrectConfiguration
    assert why in raised.value.context


def auth_parameters(client_id):
    params = m.VESSARuntimeAuthParameters(client_id, AUTHORITY)
    params.set_requested_scopes(SCOPES)
    return params


# Empty texts the typed layer refuses before they reach the runtime; other bindings send them.
@pytest.mark.parametrize("start, why", [
    (lambda done: m.signin_interactively(0, auth_parameters(""), "corr", None, done),
     "VESSARUNTIME_SignInInteractivelyAsync: the client id is empty"),
    (lambda done: m.signin_silently(auth_parameters(CLIENT_ID), "", done),
     "VESSARUNTIME_SignInSilentlyAsync: the correlation id is empty"),
    (lambda done: m.discover_accounts("", "corr", done),
     "VESSARUNTIME_DiscoverAccountsAsync: the client id is empty"),
])
def test_empty_texts_are_refused_by_the_runtime_too(started, start, why):
    results, arrived = [], threading.Event()
    start(lambda result: (results.append(result), arrived.set()))
    assert arrived.wait(10)
    error = results.pop().get_error()
    assert error.get_status() == m.Response_Status.Status_IncorrectConfiguration
    assert error.get_context() == why


def test_well_formed_requests_pass_the_checks(emulator):
    with vrt.running():
        client = vrt.Client(CLIENT_ID, "HTTPS://Login.Example.Test:8443/t?x=1",
                            redirect_uri="myapp://auth", timeout=10)
        token = client.sign_in_interactively([])
        client.acquire_token_silently(token.account, SCOPES, claims='{"a": 1}')


# -- tokens ----------------------------------------------------------------------------------


def test_the_issuer_is_the_authority_with_the_tenant(emulator, client):
    token = client.sign_in_interactively(SCOPES)
    claims = payload(token)
    assert claims["iss"] == f"https://login.example.test/{claims['tid']}/v2.0"
    assert claims["aud"] == CLIENT_ID


@pytest.mark.parametrize("margin, advance, renewed", [
    (None, 299, False), (None, 301, True), (60, 539, False), (60, 541, True)])
def test_a_token_close_to_expiry_is_renewed(emulator, client, margin, advance, renewed):
    emulator.freeze(1_800_000_000)
    emulator.configure(access_token_lifetime=600)
    if margin is not None:
        emulator.configure(refresh_margin=margin)
    account = client.sign_in_interactively(SCOPES).account
    first = client.acquire_token_silently(account, SCOPES)
    emulator.advance(advance)
    second = client.acquire_token_silently(account, SCOPES)
    assert (second.access_token != first.access_token) is renewed
    assert (second.expires_at != first.expires_at) is renewed


def test_scopes_are_a_set_for_the_cache(emulator, client):
    account = client.sign_in_interactively(["a"]).account
    first = client.acquire_token_silently(account, ["a", "b"])
    assert client.acquire_token_silently(account, ["b", "a", "b"]).access_token == \
        first.access_token
    assert client.acquire_token_silently(account, ["a"]).access_token != first.access_token


def test_the_token_cache_drops_the_least_recently_used(emulator, client):
    emulator.configure(token_cache_size=2)
    account = client.sign_in_interactively(["x"]).account
    a = client.acquire_token_silently(account, ["a"]).access_token
    b = client.acquire_token_silently(account, ["b"]).access_token
    assert client.acquire_token_silently(account, ["a"]).access_token == a  # a is recent again
    client.acquire_token_silently(account, ["c"])  # drops b
    assert client.acquire_token_silently(account, ["a"]).access_token == a
    assert client.acquire_token_silently(account, ["b"]).access_token != b


def test_a_partial_grant(emulator, client):
    account = client.sign_in_interactively(SCOPES).account
    emulator.grant_scopes("acquire_token_silently", ["mail.read"], scopes=["mail.send"])
    token = client.acquire_token_silently(account, ["mail.read", "mail.send"])
    assert token.granted_scopes == ("mail.read",) and payload(token)["scp"] == "mail.read"
    # Cached under what was granted: asking for both again asks the service again.
    again = client.acquire_token_silently(account, ["mail.read", "mail.send"])
    assert again.access_token != token.access_token
    assert again.granted_scopes == ("mail.read", "mail.send")


@pytest.mark.parametrize("how", ["control", "scenario"])
def test_an_untrusted_authority(emulator, client, how):
    if how == "control":
        emulator.set_authority_trusted(AUTHORITY.upper() + "/", False)
    else:
        emulator.load_scenario({"untrusted_authorities": [AUTHORITY]})
    with pytest.raises(vrt.ConfigurationError) as raised:
        client.sign_in_interactively(SCOPES)
    assert raised.value.status == vrt.Status.Status_AuthorityUntrusted
    assert AUTHORITY in raised.value.context
    emulator.set_authority_trusted(AUTHORITY, True)
    client.sign_in_interactively(SCOPES)
    with pytest.raises(ValueError, match="not an absolute https URL"):
        emulator.set_authority_trusted("login.example.test")


# -- outcomes that never happen --------------------------------------------------------------


def test_pending_outcomes_list_what_never_happened(emulator, client):
    emulator.fail_completion("acquire_token_silently", 3, account="nobody@example.test")
    emulator.fail_completion("discover_accounts", 3, every_time=True)
    emulator.fail_completion("read_account", 3, optional=True)
    emulator.cancel_next_interactive()
    emulator.cancel_next_interactive(optional=True)
    emulator.set_latency("sign_out", 5)
    emulator.grant_scopes(None, ["a"], correlation_id="never")
    pending = emulator.pending_outcomes()
    assert pending == [
        "fail_completion: acquire_token_silently, account 'nobody@example.test' (status 3): "
        "never taken",
        "fail_completion: discover_accounts (status 3): never matched",
        "grant_scopes: any start operation, correlation id 'never': never taken",
        "cancel_next_interactive: the next interactive sign-in fails with status 7",
        "set_latency: sign_out_silently takes 5 ms, but it was never started",
    ]
    with pytest.raises(vrt.UserCanceled):
        client.sign_in_interactively(SCOPES)
    with pytest.raises(vrt.NetworkError):
        client.discover_accounts()
    assert len(emulator.pending_outcomes()) == 3
    emulator.reset()
    assert emulator.pending_outcomes() == []


# -- accounts by application -----------------------------------------------------------------


@pytest.mark.parametrize("per_application", [False, True])
def test_accounts_by_application(emulator, per_application):
    emulator.configure(accounts_per_application=per_application)
    seeded = emulator.add_account(user_name="seed@example.test")
    with vrt.running():
        mine = vrt.Client("mine", AUTHORITY, timeout=10)
        other = vrt.Client("other", AUTHORITY, timeout=10)
        account = mine.sign_in_interactively(SCOPES, login_hint="ada@example.test").account
        seen = {a.user_name for a in other.discover_accounts()}
        if per_application:
            assert seen == {"seed@example.test"}
            with pytest.raises(vrt.AccountNotFound):
                other.sign_out(account)
            with pytest.raises(vrt.InteractionRequired):
                other.acquire_token_silently(account, SCOPES)
            # The seeded account, signed out by one application, stays with the other.
            (seed,) = [a for a in mine.discover_accounts() if a.account_id == seeded]
            other.sign_out(seed)
            assert {a.user_name for a in mine.discover_accounts()} == {
                "seed@example.test", "ada@example.test"}
            assert other.discover_accounts() == ()
        else:
            # Shared, as a broker shares them: another application finds and signs it out.
            assert seen == {"seed@example.test", "ada@example.test"}
            other.sign_out(account)
            assert [a.user_name for a in mine.discover_accounts()] == ["seed@example.test"]


# -- log lines -------------------------------------------------------------------------------


def test_log_lines_come_in_the_order_things_happen(emulator, client, caplog):
    emulator.add_account(user_name="ada@example.test")
    with caplog.at_level(logging.DEBUG, "app.runtime"), vrt.log_to("app.runtime"):
        for _ in range(40):
            client.discover_accounts()
        (account,) = client.discover_accounts()
        client.acquire_token_silently(account, SCOPES)
        client.sign_in_silently(SCOPES)
    lines = [record.getMessage() for record in caplog.records]
    queued = [i for i, line in enumerate(lines) if "queued for a worker" in line]
    completed = [i for i, line in enumerate(lines) if "completed" in line]
    assert len(queued) == len(completed) == 43
    assert all(q < c for q, c in zip(queued, completed)), lines
    assert sum("completed: 1 account discovered" in line for line in lines) == 41
    assert any("completed: token acquired for" in line for line in lines[-6:])
    assert "completed: signed in" in lines[completed[-1]]

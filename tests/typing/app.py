"""A small application written the way the README shows, using every public name of the
package; type checkers must accept it as it is, in their strict modes, without narrowing."""

import asyncio
import datetime
import logging
import warnings
from collections.abc import Mapping
from typing import Literal

import pyvessaruntime as vrt

CLIENT_ID = "my-client-id"
AUTHORITY = "https://login.example.test/common"
SCOPES: vrt.Scopes = ["user.read"]
CLAIMS: vrt.Claims = {"access_token": {"acr": {"essential": True}}}
RETRY = vrt.RetryPolicy(attempts=4, initial_delay=0.2, max_delay=5.0)


def token_for(client: vrt.Client, account: vrt.Account | None) -> vrt.Token:
    if account is not None:
        try:
            return client.acquire_token_silently(account, SCOPES, claims=CLAIMS)
        except vrt.InteractionRequired:
            return client.acquire_token_interactively(account, SCOPES)
        except (vrt.AccountUnusable, vrt.AccountSwitch, vrt.AccountNotFound):
            pass
    return client.sign_in(SCOPES, login_hint="someone@example.test")


def describe(error: vrt.AuthError) -> str:
    status: vrt.Status = error.status
    raw: int = error.raw_status
    kinds: tuple[type[vrt.AuthError], ...] = (
        vrt.NetworkError, vrt.TransientError, vrt.UserCanceled, vrt.OperationCanceled,
        vrt.OperationTimedOut, vrt.ConfigurationError, vrt.ContractViolation)
    kind = next((k.__name__ for k in kinds if isinstance(error, k)), "AuthError")
    return f"{kind}: {status.name} ({raw}) {error.error_code} {error.tag} {error.context}"


def blocking() -> None:
    routing: vrt.LogRouting = vrt.log_to("vessaruntime", pii=False)
    with routing, vrt.running(), vrt.recording("sign-in.json", pii=False):
        client = vrt.Client(CLIENT_ID, AUTHORITY, redirect_uri="http://localhost", timeout=30.0,
                            retry=RETRY)
        accounts: tuple[vrt.Account, ...] = client.discover_accounts()
        token = token_for(client, accounts[0] if accounts else None)
        if token.is_expired(leeway=datetime.timedelta(minutes=5)):
            token = client.acquire_token_silently(token.account, SCOPES)
        expires_in: datetime.timedelta = token.expires_in
        checked_at: datetime.datetime = vrt.now()
        scopes: tuple[str, ...] = token.granted_scopes
        header: str = token.authorization_header
        claims: Mapping[str, object] | None = token.id_token
        print(header[:10], scopes, expires_in, checked_at, claims and claims.get("name"),
              vrt.is_running())
        account_id: str = token.account.account_id
        name: str | None = client.read_account(account_id).user_name
        print(name, token.account.additional_fields.get("tenant"))
        client.sign_out(token.account)


async def concurrently() -> list[vrt.Token]:
    client = vrt.AsyncClient(CLIENT_ID, AUTHORITY, retry=RETRY)
    options: vrt.RequestOptions = {"extra_parameters": {"prompt": "select_account"}}
    try:
        first = await client.sign_in_interactively(SCOPES, window=vrt.get_desktop_window(),
                                                   **options)
    except (vrt.UserCanceled, vrt.OperationCanceled):
        return []
    except vrt.NetworkError as error:
        print(describe(error))
        raise
    proof = vrt.PopParams("GET", "api.example.test", "/v1/me", nonce=None)
    renewed = await client.acquire_token_silently(first.account, SCOPES, pop=proof,
                                                  access_token_to_renew=first.access_token)
    return [renewed, *await asyncio.gather(
        *(client.acquire_token_silently(first.account, [scope]) for scope in SCOPES))]


def typed_errors() -> list[vrt.AuthError]:
    needed: vrt.InteractionRequired = vrt.InteractionRequired(context="consent")
    gone: vrt.AccountNotFound = vrt.AccountNotFound()
    late: vrt.OperationTimedOut = vrt.OperationTimedOut()
    timeout: TimeoutError = late
    print(timeout)
    return [needed, gone, late, vrt.AuthError(vrt.Status.Status_Unexpected)]


def native_callbacks() -> None:
    vrt.start()
    try:
        params = vrt.VESSARuntimeAuthParameters(CLIENT_ID, AUTHORITY)
        params.set_requested_scopes(list(SCOPES))
        data = vrt.CallbackData()
        handle: vrt.VESSARuntimeAsyncHandle = vrt.signin_interactively(
            vrt.get_console_window() or vrt.get_desktop_window(), params, "correlation-id", None,
            data.complete)
        data.signal.wait()
        result: vrt.VESSARuntimeAuthResult = data.result
        error: vrt.VESSARuntimeError | None = result.get_error()
        account: vrt.VESSARuntimeAccount | None = result.get_account()
        print(handle, error and error.get_status() is vrt.Response_Status.Status_UserCanceled)
        if account is not None:
            def done(found: vrt.VESSARuntimeReadAccountResult) -> None:
                print(found.get_account())
            vrt.read_account_by_id(account.get_account_id() or "", "c", done)

            def signed_out(outcome: vrt.VESSARuntimeSignOutResult) -> None:
                print(outcome.get_error())
            vrt.signout_silently(CLIENT_ID, "c", account, signed_out)
            vrt.acquire_token_silently(params, "c", account, print)
            vrt.acquire_token_interactively(0, params, "c", account, print)

        def listed(found: vrt.VESSARuntimeDiscoverAccountsResult) -> None:
            print(found.get_accounts())
        vrt.discover_accounts(CLIENT_ID, "c", listed)
        vrt.signin(0, params, "c", None, print)
        vrt.signin_silently(params, "c", print)

        def line(text: str, level: vrt.LogLevel) -> None:
            print(level.name, text)
        registration: vrt.VESSARuntimeLogCallbackHandle = vrt.register_logging_callback(line)
        vrt.set_is_pii_enabled(False)
        print(vrt.get_sso_policy() is vrt.SsoPolicyType.AlwaysAllowed, vrt.NativeString())
        registration.release_logging_callback()
    finally:
        vrt.shutdown()


def credentials() -> list[vrt.Token]:
    choices: list[vrt.AccountChoice] = [vrt.ONLY_ACCOUNT, vrt.LoginHint("ada@example.test"),
                                        vrt.AccountId("account-id"),
                                        lambda accounts: accounts[0] if accounts else None]
    prompt: Literal["never", "when_needed"] = "when_needed"
    only: vrt.OnlyAccount = vrt.ONLY_ACCOUNT
    tokens: list[vrt.Token] = []
    for choice in choices:
        credential = vrt.Credential(CLIENT_ID, AUTHORITY, SCOPES, account=choice, prompt=prompt,
                                    refresh_margin=60.0, timeout=30.0, retry=RETRY)
        credential.invalidate(credential.get_token("mail.send", claims=CLAIMS))
        account: vrt.Account | None = credential.account
        print(credential.valid, credential.expired, account, only, credential.client.timeout)
        tokens.append(credential.get_token())
        credential.sign_out()
    return tokens


async def async_credential() -> vrt.Token:
    credential = vrt.AsyncCredential(CLIENT_ID, AUTHORITY, SCOPES, window=0)
    await credential.sign_out()
    return await credential.get_token()


def refuse_the_emulator() -> str:
    """A deployed application: a test double in place of the runtime is an error."""
    warnings.simplefilter("error", vrt.EmulatorWarning)
    path: str = vrt.runtime_path()
    return path


if __name__ == "__main__":
    logging.basicConfig(level=logging.INFO)
    print("runtime:", refuse_the_emulator())
    vrt.start()
    try:
        asyncio.run(concurrently())
    except vrt.AuthError as failure:
        print(f"sign-in failed: {failure}")
    finally:
        vrt.shutdown()
    blocking()
    native_callbacks()
    print(credentials(), asyncio.run(async_credential()))
    print(typed_errors(), vrt.__version__)

"""A small application written the way the README shows; type checkers must accept it as it is."""

import asyncio
import datetime
import logging

import pyvessaruntime as vrt

CLIENT_ID = "my-client-id"
AUTHORITY = "https://login.example.test/common"
SCOPES = ["user.read"]


def token_for(client: vrt.Client, account: vrt.Account | None) -> vrt.Token:
    if account is not None:
        try:
            return client.acquire_token_silently(account, SCOPES)
        except vrt.InteractionRequired:
            return client.acquire_token_interactively(account, SCOPES)
    return client.sign_in(SCOPES, login_hint="someone@example.test")


def blocking() -> None:
    with vrt.log_to("vessaruntime", pii=False), vrt.running():
        client = vrt.Client(CLIENT_ID, AUTHORITY, redirect_uri="http://localhost", timeout=30.0)
        accounts: tuple[vrt.Account, ...] = client.discover_accounts()
        token = token_for(client, accounts[0] if accounts else None)
        expires_in: datetime.timedelta = token.expires_at - datetime.datetime.now(datetime.UTC)
        scopes: tuple[str, ...] = token.granted_scopes
        header: str = token.authorization_header
        print(header[:10], scopes, expires_in, token.id_token and token.id_token.get("name"))
        if token.account is not None:
            name: str | None = client.read_account(token.account.account_id or "").user_name
            print(name, token.account.additional_fields.get("tenant"))
            client.sign_out(token.account)


async def concurrently() -> list[vrt.Token]:
    client = vrt.AsyncClient(CLIENT_ID, AUTHORITY)
    try:
        first = await client.sign_in_interactively(SCOPES, window=vrt.get_desktop_window())
    except (vrt.UserCanceled, vrt.OperationCanceled):
        return []
    except vrt.NetworkError as error:
        status: vrt.Status = error.status
        code: int = error.error_code
        print(status.name, code, error.tag, error.context)
        raise
    assert first.account is not None
    return list(await asyncio.gather(
        *(client.acquire_token_silently(first.account, [scope]) for scope in SCOPES)))


def native_callbacks() -> None:
    params = vrt.VESSARuntimeAuthParameters(CLIENT_ID, AUTHORITY)
    params.set_requested_scopes(SCOPES)
    data = vrt.CallbackData()
    vrt.signin_interactively(vrt.get_desktop_window(), params, "correlation-id", None, data.complete)
    data.signal.wait()
    print(data.result)


if __name__ == "__main__":
    logging.basicConfig(level=logging.INFO)
    vrt.start()
    try:
        asyncio.run(concurrently())
    except vrt.AuthError as failure:
        print(f"sign-in failed: {failure}")
    finally:
        vrt.shutdown()
    blocking()
    print(vrt.__version__)

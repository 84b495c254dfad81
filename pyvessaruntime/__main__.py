"""The demo: a whole sign-in cycle with the typed client, printing what each step returns and the
runtime's own log lines. It runs against the emulator unless PYVESSARUNTIME_RUNTIME chooses
another runtime (the package reads the variable as it is imported, before this module runs)."""

from __future__ import annotations

import logging
import sys
import warnings

import pyvessaruntime as vrt

CLIENT_ID = "4b0db8c2-9f26-4417-8bde-3f0e3656f8e0"
AUTHORITY = "https://login.example.test/common"
SCOPES = ["user.read", "offline_access"]


def show_token(title: str, token: vrt.Token) -> None:
    print(title)
    print(f"    account: {token.account.user_name} ({token.account.account_id})")
    print(f"    granted scopes: {', '.join(token.granted_scopes)}")
    print(f"    authorization header: {token.authorization_header[:48]}...")
    print(f"    expires at: {token.expires_at:%Y-%m-%d %H:%M:%S %Z}")
    print(f"    telemetry: {dict(token.telemetry)}")


def run_cycle(client: vrt.Client) -> None:
    print("SSO policy:", vrt.get_sso_policy())
    print("1. silent sign-in (no account yet):")
    try:
        client.sign_in_silently(SCOPES)
    except vrt.InteractionRequired as error:
        print(f"    {type(error).__name__}: {error}")

    token = client.sign_in_interactively(SCOPES)
    show_token("2. interactive sign-in:", token)
    account = token.account
    show_token("3. silent token for the account:", client.acquire_token_silently(account, SCOPES))

    print("4. read the account by its id:")
    found = client.read_account(account.account_id)
    print(f"    found: {found.display_name} <{found.user_name}>")

    print("5. discover accounts:")
    for known in client.discover_accounts():
        print(f"    {known.user_name} ({known.account_id})")

    print("6. sign out:")
    client.sign_out(account)
    print("    signed out")


def parse_arguments() -> None:
    """Answer ``--help`` with the usage and refuse any argument: the demo takes none."""
    import argparse

    argparse.ArgumentParser(
        prog="python -m pyvessaruntime",
        description="The demo: a whole sign-in cycle with the typed client, printing what each "
                    "step returns and the runtime's own log lines; against the emulator unless "
                    "PYVESSARUNTIME_RUNTIME chooses another runtime.").parse_args()


def main() -> None:
    parse_arguments()
    print("runtime:", vrt.runtime_path())
    # The emulator says what it is in its first log line, shown below.
    warnings.simplefilter("ignore", vrt.EmulatorWarning)
    handler = logging.StreamHandler(sys.stdout)
    handler.setFormatter(logging.Formatter("    [runtime %(levelname)s] %(message)s"))
    logger = logging.getLogger("vessaruntime")
    logger.addHandler(handler)
    logger.setLevel(logging.DEBUG)
    logger.propagate = False
    # Routed before start-up, so that the runtime's first lines show (the emulator says there
    # what it is); the routing ends with its block, after the shut-down's lines.
    with vrt.log_to(logger), vrt.running():
        run_cycle(vrt.Client(CLIENT_ID, AUTHORITY, redirect_uri="http://localhost/redirect",
                             timeout=30))
    print("runtime shut down")


if __name__ == "__main__":
    main()

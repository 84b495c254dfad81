"""The demo: a whole sign-in cycle against the runtime (the emulator outside Windows), printing
what each step returns and the runtime's own log lines."""

from __future__ import annotations

import uuid
from collections.abc import Callable
from typing import Any

from . import helpers
from . import pyvessaruntime as native

CLIENT_ID = "4b0db8c2-9f26-4417-8bde-3f0e3656f8e0"
AUTHORITY = "https://login.example.test/common"
SCOPES = ["user.read", "offline_access"]


def wait_for(operation: Callable[..., Any], *args: Any) -> Any:
    """Starts an operation and waits for the result object its callback receives."""
    data = native.CallbackData()
    operation(*args, data.complete)
    if not data.signal.wait(30):
        raise TimeoutError(f"{operation.__name__} did not complete")
    return data.result


def show_error(result: Any) -> bool:
    error = result.get_error()
    if error is None:
        return False
    print(f"    error: {error.get_status()} (code {error.get_error_code()}, tag {error.get_tag()}):"
          f" {error.get_context()}")
    return True


def show_auth(title: str, result: Any) -> Any:
    print(title)
    if show_error(result):
        return None
    account = result.get_account()
    print(f"    account: {account.get_user_name()} ({account.get_account_id()})")
    print(f"    granted scopes: {result.get_granted_scopes()}")
    print(f"    authorization header: {result.get_authorization_header()[:48]}...")
    print(f"    expires at (Unix seconds): {result.get_access_token_expiry_time()}")
    print(f"    telemetry: {result.get_telemetry_data()}")
    return account


def log_line(message: str, level: native.LogLevel) -> None:
    print(f"    [runtime {level.name}] {message}")


def run_cycle(correlation: str) -> None:
    print("SSO policy:", native.get_sso_policy())
    params = native.VESSARuntimeAuthParameters(CLIENT_ID, AUTHORITY)
    params.set_requested_scopes(SCOPES)
    params.set_redirect_uri("http://localhost/redirect")

    show_auth("1. silent sign-in (no account yet):",
              wait_for(native.signin_silently, params, correlation))
    window = native.get_console_window() or native.get_desktop_window()
    account = show_auth("2. interactive sign-in:",
                        wait_for(native.signin_interactively, window, params, correlation, None))
    if account is None:
        return
    show_auth("3. silent token for the account:",
              wait_for(native.acquire_token_silently, params, correlation, account))

    print("4. read the account by its id:")
    read = wait_for(native.read_account_by_id, account.get_account_id(), correlation)
    if not show_error(read):
        found = read.get_account()
        print(f"    found: {found.get_display_name()} <{found.get_user_name()}>")

    print("5. discover accounts:")
    discovered = wait_for(native.discover_accounts, CLIENT_ID, correlation)
    for known in discovered.get_accounts():
        print(f"    {known.get_user_name()} ({known.get_account_id()})")

    print("6. sign out:")
    signed_out = wait_for(native.signout_silently, CLIENT_ID, correlation, account)
    if not show_error(signed_out):
        print("    signed out")


def main() -> None:
    with helpers.running():
        # Shut-down releases the log registration.
        native.register_logging_callback(log_line)
        run_cycle(str(uuid.uuid4()))
    print("runtime shut down")


if __name__ == "__main__":
    main()

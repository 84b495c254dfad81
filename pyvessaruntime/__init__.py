"""Python access to the vessaruntime authentication runtime.

The native module ``pyvessaruntime.pyvessaruntime`` does the work; this package re-exports its
public names. Importing it starts nothing: call ``_startup_vessaruntime()`` (or use
``pyvessaruntime.running()``) before the first operation.
"""

from . import pyvessaruntime as _native

_PUBLIC_NAMES = (
    # classes
    "VESSARuntimeLogCallbackHandle",
    "VESSARuntimeAsyncHandle",
    "VESSARuntimeAccount",
    "VESSARuntimeAuthParameters",
    "VESSARuntimeAuthResult",
    "VESSARuntimeSignOutResult",
    "VESSARuntimeReadAccountResult",
    "VESSARuntimeDiscoverAccountsResult",
    "VESSARuntimeError",
    "NativeString",
    "CallbackData",
    # enumerations
    "Response_Status",
    "LogLevel",
    "SsoPolicyType",
    # functions
    "get_console_window",
    "get_desktop_window",
    "read_account_by_id",
    "signin",
    "signin_silently",
    "signin_interactively",
    "signout_silently",
    "discover_accounts",
    "acquire_token_silently",
    "acquire_token_interactively",
    "register_logging_callback",
    "set_is_pii_enabled",
    "get_sso_policy",
)

__all__ = [name for name in _PUBLIC_NAMES if hasattr(_native, name)]
globals().update({name: getattr(_native, name) for name in __all__})

"""Python access to the vessaruntime authentication runtime.

Start with `Client` (blocking) or `AsyncClient` (asyncio) inside `running()`::

    import pyvessaruntime as vrt

    with vrt.running():
        client = vrt.Client("my-client-id", "https://login.example.test/common")
        token = client.sign_in(["user.read"])

They return `Token` and `Account` values and raise `AuthError` subclasses. `log_to()` routes the
runtime's log lines into the `logging` module. The native module ``pyvessaruntime.pyvessaruntime``
underneath, whose public names are re-exported here, offers the same operations with callbacks;
`start()` and `shutdown()` run the runtime for either (a client's first call starts it when the
application has not, until exit); `now()` is the time by the runtime's clock (the emulator's,
while it is the runtime). Importing starts nothing.

The runtime is the one installed on the system unless the environment variable
``PYVESSARUNTIME_RUNTIME`` says ``emulator`` (the test double shipped in this package) or names a
runtime library by its path; `runtime_path()` tells which library is in use.
"""

import os as _os
import sys as _sys

# Read by the build as well. Here rather than in a module of its own, which every import would
# load for this line.
__version__ = "0.1.0"

# `typing` is not imported for this alone: it would be most of the package's import time. Type
# checkers treat any name TYPE_CHECKING as true.
TYPE_CHECKING = False


def _choose_runtime() -> bool:
    """Has `_runtime` choose the runtime and load it before the extension, when anything could
    ask for another than the system's: the variable ``PYVESSARUNTIME_RUNTIME`` (`_runtime.ENV`)
    or the demo, which runs as ``python -m``. Returns whether it did; a program on the system's
    runtime loads no module for the choice (a quarter of a millisecond of its start here)."""
    if "PYVESSARUNTIME_RUNTIME" not in _os.environ and _sys.argv[:1] != ["-m"]:
        return False
    from . import _runtime

    _runtime.preload()
    return True


try:
    _chosen = _choose_runtime()
    from .pyvessaruntime import (
        CallbackData,
        LogLevel,
        NativeString,
        Response_Status,
        SsoPolicyType,
        VESSARuntimeAccount,
        VESSARuntimeAsyncHandle,
        VESSARuntimeAuthParameters,
        VESSARuntimeAuthResult,
        VESSARuntimeDiscoverAccountsResult,
        VESSARuntimeError,
        VESSARuntimeLogCallbackHandle,
        VESSARuntimeReadAccountResult,
        VESSARuntimeSignOutResult,
        acquire_token_interactively,
        acquire_token_silently,
        discover_accounts,
        get_console_window,
        get_desktop_window,
        get_sso_policy,
        read_account_by_id,
        register_logging_callback,
        set_is_pii_enabled,
        signin,
        signin_interactively,
        signin_silently,
        signout_silently,
    )
except ImportError as _error:
    import pathlib as _pathlib

    _here = _pathlib.Path(__file__).parent
    if not (any(_here.glob("pyvessaruntime.*.so")) or any(_here.glob("pyvessaruntime*.pyd"))):
        raise ImportError(
            f"pyvessaruntime's native extension is not built in {_here}: this is the source "
            "folder, which Python imported instead of the installed package. Install the package "
            "(`make install`, or `pip install .`) and run from another folder, or with `python -P` "
            "so that the current folder is not on sys.path."
        ) from _error
    from . import _runtime

    _missing = _runtime.not_found(_error)
    if _missing is None:
        raise
    raise _missing from None
if _chosen:
    from . import _runtime

    _runtime.check_bound()


def runtime_path() -> str:
    """The file of the runtime library in use: the system's, the emulator's (when
    ``PYVESSARUNTIME_RUNTIME=emulator``) or the one that variable names."""
    from . import _runtime

    return _runtime.path()


# The typed layer is imported on first use: it needs asyncio and logging, which would
# multiply the import time of programs that use only the native module. So is the warning class
# of `_runtime`, which a program using the system's runtime does not otherwise load. Type
# checkers read the imports below.
if TYPE_CHECKING:
    from .client import (
        AsyncClient,
        Claims,
        Client,
        PopParams,
        RequestOptions,
        RetryPolicy,
        Scopes,
        is_running,
        running,
        shutdown,
        start,
    )
    from .credential import (
        ONLY_ACCOUNT,
        AccountChoice,
        AccountId,
        AsyncCredential,
        Credential,
        LoginHint,
        OnlyAccount,
    )
    from .errors import (
        AccountNotFound,
        AccountSwitch,
        AccountUnusable,
        AuthError,
        ConfigurationError,
        ContractViolation,
        InteractionRequired,
        NetworkError,
        OperationCanceled,
        OperationTimedOut,
        Status,
        TransientError,
        UserCanceled,
    )
    from ._recording import recording
    from ._clock import now
    from ._runtime import EmulatorWarning
    from .log_bridge import LogRouting, log_to
    from .models import Account, Token

_LAYER = {
    "client": ("AsyncClient", "Claims", "Client", "PopParams", "RequestOptions", "RetryPolicy",
               "Scopes", "is_running", "running", "shutdown", "start"),
    "credential": ("ONLY_ACCOUNT", "AccountChoice", "AccountId", "AsyncCredential", "Credential",
                   "LoginHint", "OnlyAccount"),
    "errors": ("AccountNotFound", "AccountSwitch", "AccountUnusable", "AuthError",
               "ConfigurationError", "ContractViolation", "InteractionRequired", "NetworkError",
               "OperationCanceled", "OperationTimedOut", "Status", "TransientError",
               "UserCanceled"),
    "log_bridge": ("LogRouting", "log_to"),
    "models": ("Account", "Token"),
    "_runtime": ("EmulatorWarning",),
    "_recording": ("recording",),
    "_clock": ("now",),
}
_HOME = {name: module for module, names in _LAYER.items() for name in names}


def __getattr__(name: str) -> object:
    module = _HOME.get(name)
    if module is None:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    # __import__ rather than importlib, whose import would add to every program's start-up.
    value = getattr(__import__(f"{__name__}.{module}", fromlist=(name,)), name)
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(_HOME))


__all__ = [
    "ONLY_ACCOUNT",
    "Account",
    "AccountChoice",
    "AccountId",
    "AccountNotFound",
    "AccountSwitch",
    "AccountUnusable",
    "AsyncClient",
    "AsyncCredential",
    "AuthError",
    "CallbackData",
    "Claims",
    "Client",
    "ConfigurationError",
    "ContractViolation",
    "Credential",
    "EmulatorWarning",
    "InteractionRequired",
    "LogLevel",
    "LogRouting",
    "LoginHint",
    "NativeString",
    "NetworkError",
    "OperationCanceled",
    "OnlyAccount",
    "OperationTimedOut",
    "PopParams",
    "RequestOptions",
    "Response_Status",
    "RetryPolicy",
    "Scopes",
    "SsoPolicyType",
    "Status",
    "Token",
    "TransientError",
    "UserCanceled",
    "VESSARuntimeAccount",
    "VESSARuntimeAsyncHandle",
    "VESSARuntimeAuthParameters",
    "VESSARuntimeAuthResult",
    "VESSARuntimeDiscoverAccountsResult",
    "VESSARuntimeError",
    "VESSARuntimeLogCallbackHandle",
    "VESSARuntimeReadAccountResult",
    "VESSARuntimeSignOutResult",
    "__version__",
    "acquire_token_interactively",
    "acquire_token_silently",
    "discover_accounts",
    "get_console_window",
    "get_desktop_window",
    "get_sso_policy",
    "is_running",
    "log_to",
    "now",
    "read_account_by_id",
    "recording",
    "register_logging_callback",
    "running",
    "runtime_path",
    "set_is_pii_enabled",
    "shutdown",
    "signin",
    "signin_interactively",
    "signin_silently",
    "signout_silently",
    "start",
]

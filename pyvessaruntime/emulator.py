"""Control interface of the emulated runtime ``libvessaruntime.so``.

The emulator stands in for the native authentication runtime: it is the runtime the extension
module ``pyvessaruntime.pyvessaruntime`` is linked against outside Windows. This module scripts
and inspects it from Python (through ``ctypes`` and the library's ``VESSAEMU_*`` functions):
reset it, seed accounts, create handles for tests, make operations fail, steer how asynchronous
operations complete, script the interactive user, write log lines, and read counters of live
handles, calls and contract violations.

It drives the very library instance the extension module loaded: the extension is imported first
and the already-loaded library is found by its name. Only when the extension cannot be imported
(standalone use, for instance while the library is built on its own) is the library loaded from
the path in the environment variable ``PYVESSARUNTIME_EMULATOR_LIBRARY``.

Nothing is loaded when this module is imported; the library is loaded on first use.

Texts: wherever a text value is accepted, ``None`` means "no value" (a runtime getter then reports
size 0), a ``str`` is sent as UTF-16 (lone surrogates are kept, so a ``str`` can carry invalid
UTF-16), and a list of ints is sent as raw UTF-16 units. Texts read back are decoded with
``surrogatepass``, so invalid UTF-16 comes back as a ``str`` holding lone surrogates.

Handles are plain ``int`` values, as the extension module's wrapper classes take them.

No control call lets an exception out of the library: one that fails inside it (out of memory,
say) raises `EmulatorFailure` here.
"""

from __future__ import annotations

import ctypes
import os
import threading
from collections.abc import Sequence
from typing import Any

__all__ = [
    "ACCOUNT_FIELDS",
    "FAILURE_KINDS",
    "EmulatorFailure",
    "AUTH_PARAMETERS_FIELDS",
    "COMPLETION_MODES",
    "KINDS",
    "START_OPERATIONS",
    "accounts",
    "add_account",
    "async_state",
    "auth_parameters",
    "calls",
    "cancel_next_interactive",
    "completion_mode",
    "contract_violations",
    "emit_log",
    "fail_inside",
    "fail_next",
    "fail_next_completion",
    "handle_kind",
    "held_operations",
    "interactive_user",
    "is_started",
    "last_contract_violation",
    "library",
    "live_handle_count",
    "live_handle_values",
    "live_handles",
    "log_registrations",
    "make_error",
    "new_account_handle",
    "new_async_handle",
    "new_auth_result",
    "new_discover_accounts_result",
    "new_read_account_result",
    "new_signout_result",
    "null_next_completion",
    "operations",
    "pending_operations",
    "pii_enabled",
    "release_held",
    "remove_account",
    "reset",
    "set_account_property",
    "set_completion_mode",
    "set_interactive_user",
    "set_sso_policy",
    "set_string_protocol",
    "take_contract_violations",
    "wait_idle",
    "worker_count",
]

LIBRARY_ENV = "PYVESSARUNTIME_EMULATOR_LIBRARY"
_SONAME = "libvessaruntime.so"

#: Handle kinds, in the emulator's numbering.
KINDS = (
    "auth_parameters",
    "account",
    "auth_result",
    "signout_result",
    "read_account_result",
    "discover_accounts_result",
    "error",
    "async_operation",
    "log_callback",
)

#: The thirteen account properties, in the emulator's numbering.
ACCOUNT_FIELDS = (
    "account_id",
    "home_account_id",
    "environment",
    "realm",
    "local_account_id",
    "user_name",
    "given_name",
    "family_name",
    "middle_name",
    "display_name",
    "additional_fields_json",
    "home_environment",
    "client_info",
)

#: What auth parameters record, in the emulator's numbering.
AUTH_PARAMETERS_FIELDS = (
    "client_id",
    "authority",
    "scopes",
    "redirect_uri",
    "claims",
    "access_token_to_renew",
    "pop_http_method",
    "pop_uri_host",
    "pop_uri_path",
    "pop_nonce",
)

_ASYNC_STATES = ("pending", "cancelled", "completed")

#: How asynchronous operations complete, in the emulator's numbering (see `set_completion_mode`).
COMPLETION_MODES = ("worker", "inline", "held", "delay", "early")

#: How a call fails inside the emulator, in its numbering (see `fail_inside`).
FAILURE_KINDS = ("no_memory", "exception", "foreign")

_FAILED = -1000  # VESSAEMU_FAILED
_FAILED_HANDLE = 0xFFFFFFFFFFFFFFFF  # VESSAEMU_FAILED_HANDLE
_RESET_DROP_PENDING = 1


class EmulatorFailure(RuntimeError):
    """A control call failed inside the emulator (out of memory, or an injected failure)."""

#: The eight operations that start an asynchronous operation and complete it later.
START_OPERATIONS = (
    "SignInAsync",
    "SignInSilentlyAsync",
    "SignInInteractivelyAsync",
    "AcquireTokenSilentlyAsync",
    "AcquireTokenInteractivelyAsync",
    "ReadAccountByIdAsync",
    "SignOutSilentlyAsync",
    "DiscoverAccountsAsync",
)

TextValue = str | Sequence[int] | None


class _Text(ctypes.Structure):
    _fields_ = [("units", ctypes.c_void_p), ("length", ctypes.c_int32)]


class _ErrorSpec(ctypes.Structure):
    _fields_ = [
        ("present", ctypes.c_int32),
        ("status", ctypes.c_int32),
        ("code", ctypes.c_int64),
        ("tag", ctypes.c_int32),
        ("context", _Text),
    ]


class _AuthResultSpec(ctypes.Structure):
    _fields_ = [
        ("account_key", _Text),
        ("id_token", _Text),
        ("raw_id_token", _Text),
        ("access_token", _Text),
        ("granted_scopes", _Text),
        ("authorization_header", _Text),
        ("is_pop", ctypes.c_int32),
        ("expiry", ctypes.c_int64),
        ("error", _ErrorSpec),
        ("telemetry", _Text),
    ]


class _ResultSpec(ctypes.Structure):
    _fields_ = [
        ("account_key", _Text),
        ("account_keys", ctypes.POINTER(_Text)),
        ("account_count", ctypes.c_int32),
        ("error", _ErrorSpec),
        ("telemetry", _Text),
    ]


_p = ctypes.c_void_p
_i32 = ctypes.c_int32
_i64 = ctypes.c_int64
_u64 = ctypes.c_uint64
_pi32 = ctypes.POINTER(ctypes.c_int32)
_pi64 = ctypes.POINTER(ctypes.c_int64)
_pp = ctypes.POINTER(ctypes.c_void_p)
_str = ctypes.c_char_p

# The runtime's own operations, declared so tests and scripts can call them through `lib`:
# handles, buffers and texts are void pointers (pass ints, None or ctypes buffers), sizes and out
# values pointers to the integer type. Every operation but two returns an error handle.
_STRING_GETTER = [_p, _p, _pi32]
_RUNTIME_SIGNATURES: dict[str, tuple[Any, list[Any]]] = {
    "Startup": (_p, []),
    "Shutdown": (None, []),
    "GetSsoPolicy": (_p, [_pi32]),
    "SetIsPiiEnabled": (None, [_i32]),
    "GetStatus": (_p, [_p, _pi32]),
    "GetErrorCode": (_p, [_p, _pi64]),
    "GetTag": (_p, [_p, _pi32]),
    "GetContext": (_p, _STRING_GETTER),
    "ReleaseError": (_p, [_p]),
    **{
        f"Get{name}": (_p, _STRING_GETTER)
        for name in (
            "AccountId",
            "HomeAccountId",
            "Environment",
            "Realm",
            "LocalAccountId",
            "UserName",
            "GivenName",
            "FamilyName",
            "MiddleName",
            "DisplayName",
            "AdditionalFieldsJson",
            "HomeEnvironment",
            "ClientInfo",
        )
    },
    "ReleaseAccount": (_p, [_p]),
    "CreateAuthParameters": (_p, [_p, _p, _pp]),
    "SetRequestedScopes": (_p, [_p, _p]),
    "SetRedirectUri": (_p, [_p, _p]),
    "SetDecodedClaims": (_p, [_p, _p]),
    "SetAccessTokenToRenew": (_p, [_p, _p]),
    "SetPopParams": (_p, [_p, _p, _p, _p, _p]),
    "SetAdditionalParameter": (_p, [_p, _p, _p]),
    "ReleaseAuthParameters": (_p, [_p]),
    "GetAccount": (_p, [_p, _pp]),
    "GetIdToken": (_p, _STRING_GETTER),
    "GetRawIdToken": (_p, _STRING_GETTER),
    "GetAccessToken": (_p, _STRING_GETTER),
    "GetGrantedScopes": (_p, _STRING_GETTER),
    "GetAuthorizationHeader": (_p, _STRING_GETTER),
    "IsPopAuthorization": (_p, [_p, _pi32]),
    "GetAccessTokenExpiryTime": (_p, [_p, _pi64]),
    "GetError": (_p, [_p, _pp]),
    "GetTelemetryData": (_p, _STRING_GETTER),
    "ReleaseAuthResult": (_p, [_p]),
    "SignOutResult_GetError": (_p, [_p, _pp]),
    "SignOutResult_GetTelemetryData": (_p, _STRING_GETTER),
    "ReleaseSignOutResult": (_p, [_p]),
    "ReadAccountResult_GetAccount": (_p, [_p, _pp]),
    "ReadAccountResult_GetError": (_p, [_p, _pp]),
    "ReadAccountResult_GetTelemetryData": (_p, _STRING_GETTER),
    "ReleaseReadAccountResult": (_p, [_p]),
    "DiscoverAccountsResult_GetAccount": (_p, [_p, _i32, _pp]),
    "DiscoverAccountsResult_GetError": (_p, [_p, _pp]),
    "DiscoverAccountsResult_GetTelemetryData": (_p, _STRING_GETTER),
    "ReleaseDiscoverAccountsResult": (_p, [_p]),
    "SignInAsync": (_p, [_p, _p, _p, _p, _p, _p, _pp]),
    "SignInSilentlyAsync": (_p, [_p, _p, _p, _p, _pp]),
    "SignInInteractivelyAsync": (_p, [_p, _p, _p, _p, _p, _p, _pp]),
    "AcquireTokenSilentlyAsync": (_p, [_p, _p, _p, _p, _p, _pp]),
    "AcquireTokenInteractivelyAsync": (_p, [_p, _p, _p, _p, _p, _p, _pp]),
    "ReadAccountByIdAsync": (_p, [_p, _p, _p, _p, _pp]),
    "SignOutSilentlyAsync": (_p, [_p, _p, _p, _p, _p, _pp]),
    "DiscoverAccountsAsync": (_p, [_p, _p, _p, _p, _pp]),
    "CancelAsyncOperation": (_p, [_p]),
    "ReleaseAsyncHandle": (_p, [_p]),
    "RegisterLogCallback": (_p, [_p, _p, _pp]),
    "ReleaseLogCallbackHandle": (_p, [_p]),
}

_CONTROL_SIGNATURES: dict[str, tuple[Any, list[Any]]] = {
    "Reset": (_i32, [_i32]),
    "Free": (None, [_p]),
    "FailInside": (_i32, [_str, _i32, _i32]),
    "KindCount": (_i32, []),
    "KindName": (_str, [_i32]),
    "LiveHandles": (_i64, [_i32]),
    "HandleKind": (_i32, [_u64]),
    "LiveHandleValues": (_i64, [_i32, ctypes.POINTER(ctypes.c_uint64), _i64]),
    "OperationCount": (_i32, []),
    "OperationName": (_str, [_i32]),
    "Calls": (_i64, [_str]),
    "FailNext": (_i32, [_str, _i32, _i64, _i32, _Text, _i32, _i32]),
    "ContractViolations": (_i64, []),
    "LastContractViolation": (_i32, [_pp]),
    "TakeContractViolations": (_i32, [_pp]),
    "SetSsoPolicy": (_i32, [_i32]),
    "IsStarted": (_i32, []),
    "PiiEnabled": (_i32, []),
    "SetStringProtocol": (_i32, [_i32, _i32, _i32]),
    "MakeError": (_u64, [_i32, _i64, _i32, _Text]),
    "AccountFieldCount": (_i32, []),
    "AccountFieldName": (_str, [_i32]),
    "AddAccount": (_i32, [_Text, _pp]),
    "SetAccountField": (_i32, [_Text, _i32, _Text]),
    "RemoveAccount": (_i32, [_Text]),
    "AccountCount": (_i32, []),
    "AccountFieldAt": (_i32, [_i32, _i32, _pp]),
    "NewAccountHandle": (_u64, [_Text]),
    "AuthParametersFieldCount": (_i32, []),
    "AuthParametersFieldName": (_str, [_i32]),
    "AuthParametersField": (_i32, [_u64, _i32, _pp]),
    "AuthParametersAdditionalCount": (_i32, [_u64]),
    "AuthParametersAdditional": (_i32, [_u64, _i32, _i32, _pp]),
    "NewAuthResult": (_u64, [ctypes.POINTER(_AuthResultSpec)]),
    "NewSignOutResult": (_u64, [ctypes.POINTER(_ResultSpec)]),
    "NewReadAccountResult": (_u64, [ctypes.POINTER(_ResultSpec)]),
    "NewDiscoverAccountsResult": (_u64, [ctypes.POINTER(_ResultSpec)]),
    "NewAsyncHandle": (_u64, []),
    "AsyncState": (_i32, [_u64]),
    "SetCompletionMode": (_i32, [_i32, _i32]),
    "CompletionMode": (_i32, [_pi32]),
    "ReleaseHeld": (_i32, [_i32]),
    "PendingOperations": (_i64, []),
    "HeldOperations": (_i64, []),
    "WorkerCount": (_i32, []),
    "WaitIdle": (_i32, [_i64]),
    "FailNextCompletion": (_i32, [_str, _i32, _i64, _i32, _Text]),
    "NullNextCompletion": (_i32, [_str]),
    "ResetInteractiveUser": (_i32, []),
    "SetInteractiveUserField": (_i32, [_i32, _Text]),
    "InteractiveUserField": (_i32, [_i32, _pp]),
    "CancelNextInteractive": (_i32, [_i32]),
    "EmitLog": (_i32, [_Text, _i32, _i32]),
    "LogRegistrations": (_i32, []),
}

_lock = threading.Lock()
_lib: ctypes.CDLL | None = None


def _open() -> ctypes.CDLL:
    try:
        import pyvessaruntime.pyvessaruntime as extension
    except ImportError:
        path = os.environ.get(LIBRARY_ENV)
        if not path:
            raise ImportError(
                "the emulator is reached through the extension module pyvessaruntime.pyvessaruntime, "
                f"which cannot be imported; for standalone use set {LIBRARY_ENV} to the library's path"
            ) from None
        return ctypes.CDLL(path)
    # The extension loaded the library as a dependency; RTLD_NOLOAD hands back that very instance
    # (glibc matches the name against the loaded library's soname) instead of loading a second
    # copy with a state of its own.
    try:
        return ctypes.CDLL(_SONAME, mode=os.RTLD_NOLOAD)
    except OSError:
        beside = os.path.join(os.path.dirname(os.path.abspath(extension.__file__)), _SONAME)
        return ctypes.CDLL(beside)


def _check_failure(result: Any, function: Any, args: tuple[Any, ...]) -> Any:
    failed = _FAILED_HANDLE if function.restype is _u64 else _FAILED
    if result == failed:
        raise EmulatorFailure(f"{function.__name__} failed inside the emulator")
    return result


def _declare(lib: ctypes.CDLL) -> None:
    for name, (restype, argtypes) in _RUNTIME_SIGNATURES.items():
        function = getattr(lib, "VESSARUNTIME_" + name)
        function.restype = restype
        function.argtypes = argtypes
    for name, (restype, argtypes) in _CONTROL_SIGNATURES.items():
        function = getattr(lib, "VESSAEMU_" + name)
        function.restype = restype
        function.argtypes = argtypes
        if restype in (_i32, _i64, _u64):
            function.errcheck = _check_failure


def library() -> ctypes.CDLL:
    """Return the loaded emulator library, loading it on first use.

    Every ``VESSARUNTIME_*`` operation has its ``argtypes`` and ``restype`` declared: handles,
    buffers and texts are ``c_void_p`` (pass an ``int``, ``None`` or a ctypes buffer), sizes and
    out values are pointers (pass ``ctypes.byref(...)``), and error handles come back as ``int``
    or ``None``. The same object is available as the module attribute ``lib``.
    """
    global _lib
    if _lib is None:
        with _lock:
            if _lib is None:
                lib = _open()
                _declare(lib)
                _lib = lib
    return _lib


def __getattr__(name: str) -> Any:
    if name == "lib":
        return library()
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


# -- text helpers ---------------------------------------------------------------------------


def _text(value: TextValue, keep: list[Any]) -> _Text:
    """A text argument; `keep` holds the buffer alive for the duration of the call."""
    if value is None:
        return _Text(None, -1)
    if isinstance(value, str):
        units = value.encode("utf-16-le", "surrogatepass")
        buffer = ctypes.create_string_buffer(units, len(units) + 2)
        keep.append(buffer)
        return _Text(ctypes.cast(buffer, ctypes.c_void_p), len(units) // 2)
    raw = list(value)
    array = (ctypes.c_uint16 * (len(raw) + 1))(*[unit & 0xFFFF for unit in raw])
    keep.append(array)
    return _Text(ctypes.cast(array, ctypes.c_void_p), len(raw))


def _units(pointer: int | None, length: int) -> list[int]:
    if length <= 0 or not pointer:
        return []
    return list((ctypes.c_uint16 * length).from_address(pointer))


def _decode(units: list[int]) -> str:
    return b"".join(unit.to_bytes(2, "little") for unit in units).decode("utf-16-le", "surrogatepass")


def _take_units(call: Any, *args: Any) -> list[int] | None:
    """Runs a control call that hands out a text; returns its units, or None for no value."""
    out = ctypes.c_void_p()
    length = call(*args, ctypes.byref(out))
    try:
        if length == -1:
            return None
        if length < 0:
            raise LookupError(length)
        return _units(out.value, length)
    finally:
        if out.value:
            library().VESSAEMU_Free(out)


def _take_text(call: Any) -> tuple[int, str | None]:
    """Runs a control call that hands out an ASCII text; returns its answer and the text."""
    out = ctypes.c_void_p()
    answer = call(ctypes.byref(out))
    if not out.value:
        return answer, None
    try:
        return answer, ctypes.string_at(out.value).decode("ascii", "replace")
    finally:
        library().VESSAEMU_Free(out)


def _error_spec(error: Any, keep: list[Any]) -> _ErrorSpec:
    if error is None:
        return _ErrorSpec(0, 0, 0, 0, _Text(None, -1))
    if isinstance(error, dict):
        status = error["status"]
        code = error.get("code", 0)
        tag = error.get("tag", 0)
        context = error.get("context")
    else:
        given = tuple(error)
        status, code, tag, context = given + (None, 0, 0, None)[len(given):]
    return _ErrorSpec(1, status, code, tag, _text(context, keep))


def _operation(name: str) -> bytes:
    return name.encode("ascii")


# -- state ----------------------------------------------------------------------------------


def reset(*, drop_pending: bool = False) -> None:
    """Return the emulator to its fresh state.

    If the runtime is started it is stopped first: operations still pending (queued, held or
    delayed) complete on this thread with an error result of status 8
    (Status_ApplicationCanceled, context "... the emulator was reset ..."), so every callback
    runs and every caller waiting for one gets its answer. With ``drop_pending=True`` they are
    dropped instead, without a call of their completion routine, as a runtime that lost them
    would. Then, started or not, every completion still in progress is waited for: on the worker
    threads, inline on other threads, and on workers that a shut-down called from inside a
    routine left running. Log registrations end: their routines are not called again.

    Then drops every handle (their values stay unusable: using one later is a contract
    violation), call counters, contract violations, scripted failures and completions, injected
    failures, accounts, the interactive user and scripted cancellations, and settings (completion
    mode back to "worker"); the runtime is not started afterwards. The interpreter lock is
    released meanwhile, so callbacks run.
    """
    library().VESSAEMU_Reset(_RESET_DROP_PENDING if drop_pending else 0)


def live_handles() -> dict[str, int]:
    """Return the number of live handles of each kind, keyed by the names in `KINDS`."""
    lib = library()
    return {name: lib.VESSAEMU_LiveHandles(index) for index, name in enumerate(KINDS)}


def live_handle_count() -> int:
    """Return the number of live handles of all kinds together."""
    return int(library().VESSAEMU_LiveHandles(-1))


def live_handle_values(kind: str | None = None) -> list[int]:
    """Return the values of the live handles of a kind (a name from `KINDS`), or of all kinds
    when `kind` is None, in creation order. An unknown kind raises ValueError."""
    if kind is None:
        index = -1
    elif kind in KINDS:
        index = KINDS.index(kind)
    else:
        raise ValueError(f"unknown handle kind {kind!r}")
    lib = library()
    while True:
        capacity = max(lib.VESSAEMU_LiveHandleValues(index, None, 0), 1)
        values = (ctypes.c_uint64 * capacity)()
        total = lib.VESSAEMU_LiveHandleValues(index, values, capacity)
        if total <= capacity:  # otherwise handles were created meanwhile: ask again
            return list(values[:total])


def handle_kind(handle: int) -> str | None:
    """Return the kind (a name from `KINDS`) of a live handle, or None if it is not live."""
    kind = library().VESSAEMU_HandleKind(handle & 0xFFFFFFFFFFFFFFFF)
    return KINDS[kind] if kind >= 0 else None


def operations() -> list[str]:
    """Return the names of the runtime operations, without the ``VESSARUNTIME_`` prefix."""
    lib = library()
    return [lib.VESSAEMU_OperationName(i).decode() for i in range(lib.VESSAEMU_OperationCount())]


def calls(operation: str) -> int:
    """Return how many times the operation was called since the last reset.

    The operation is named without the ``VESSARUNTIME_`` prefix (e.g. ``"GetSsoPolicy"``); the
    prefixed name is accepted too. An unknown name raises ValueError.
    """
    count = library().VESSAEMU_Calls(_operation(operation))
    if count < 0:
        raise ValueError(f"unknown runtime operation {operation!r}")
    return int(count)


def contract_violations() -> int:
    """Return how many contract violations happened since the last reset or take."""
    return int(library().VESSAEMU_ContractViolations())


def last_contract_violation() -> str | None:
    """Return the text of the latest contract violation, or None if there was none."""
    return _take_text(library().VESSAEMU_LastContractViolation)[1]


def take_contract_violations() -> list[str]:
    """Return the texts of the contract violations so far, oldest first, and forget them.

    The count and the latest text are cleared as well; for tests that provoke violations on
    purpose. Each text names the operation and the fault, e.g.
    ``"VESSARUNTIME_GetAccountId: handle 0x... is not a live account handle (it was released)"``.
    """
    _, text = _take_text(library().VESSAEMU_TakeContractViolations)
    return text.splitlines() if text else []


def set_sso_policy(value: int) -> None:
    """Set the policy that ``VESSARUNTIME_GetSsoPolicy`` reports (any int32; default 1)."""
    library().VESSAEMU_SetSsoPolicy(value)


def is_started() -> bool:
    """Return whether the runtime is started (``Startup`` without a later ``Shutdown``)."""
    return bool(library().VESSAEMU_IsStarted())


def pii_enabled() -> int:
    """Return the value last given to ``VESSARUNTIME_SetIsPiiEnabled`` (0 after a reset)."""
    return int(library().VESSAEMU_PiiEnabled())


def fail_next(
    operation: str,
    status: int,
    code: int = 0,
    tag: int = 0,
    context: TextValue = None,
    count: int = 1,
    after: int = 0,
) -> None:
    """Make the next `count` calls of an operation fail at once, after `after` further calls
    that go through normally (``after=1`` fails the second call of a two-call string read).

    Each failing call does nothing but return a new error handle with the given status, code,
    tag and context (a getter writes nothing; a release operation releases nothing, so its handle
    stays live). Scripted failures queue up behind each other. Works for every operation that
    returns an error handle; ``Shutdown`` and ``SetIsPiiEnabled`` raise ValueError, as do
    unknown names.
    """
    keep: list[Any] = []
    result = library().VESSAEMU_FailNext(
        _operation(operation), status, code, tag, _text(context, keep), count, after
    )
    if result == -1:
        raise ValueError(f"unknown runtime operation {operation!r}")
    if result == -2:
        raise ValueError(f"{operation} returns no error handle and cannot fail")


def fail_inside(function: str, kind: str = "no_memory", count: int = 1) -> None:
    """Make the next `count` calls of an exported function fail inside the emulator, to show
    that no failure escapes it and none reads as success.

    `function` is a runtime operation (with or without the ``VESSARUNTIME_`` prefix) or a
    control function by its full name (``"VESSAEMU_AddAccount"``). `kind` is one of
    `FAILURE_KINDS`:

    - ``"no_memory"``: every handle the call tries to make fails with ``std::bad_alloc``. A
      runtime operation then answers an error of status 0 (Status_Unexpected) with the context
      ``"VESSARUNTIME_<operation>: out of memory"``, made in advance: it is not counted as live
      and releasing it does nothing. A call that makes no handle is not affected.
    - ``"exception"``, ``"foreign"``: the call throws, as it begins, a ``std::exception`` or
      something of no standard type. A runtime operation answers a new error of status 0 (the
      caller releases it), ``Shutdown`` and ``SetIsPiiEnabled`` do nothing.

    A control function that fails raises `EmulatorFailure` here (``VESSAEMU_MakeError`` answers
    the reserved out-of-memory error instead). Cleared by `reset`. Unknown names raise
    ValueError.
    """
    if kind not in FAILURE_KINDS:
        raise ValueError(f"unknown failure kind {kind!r}; expected one of {FAILURE_KINDS}")
    if function.startswith("VESSAEMU_") and function[len("VESSAEMU_"):] not in _CONTROL_SIGNATURES:
        raise ValueError(f"unknown control function {function!r}")
    if library().VESSAEMU_FailInside(_operation(function), FAILURE_KINDS.index(kind), count) != 0:
        raise ValueError(f"unknown runtime operation {function!r}")


def set_string_protocol(
    *, first_call_error: bool = True, negative_size: bool = False, grow_by: int = 0
) -> None:
    """Choose how every string getter answers (until the next reset).

    - `first_call_error`: the size-finding call (null buffer) for a present value answers an
      error of status 10 (Status_InsufficientBuffer) as well as the size; False answers no error.
      An absent value always answers size 0 and no error.
    - `negative_size`: misbehaviour, the size-finding call reports minus the needed size.
    - `grow_by`: misbehaviour, the filling call reports this many units more than it wrote. It
      never writes past the caller's buffer, whose capacity is the size the caller passed in.
    """
    library().VESSAEMU_SetStringProtocol(int(first_call_error), int(negative_size), grow_by)


def make_error(status: int, code: int = 0, tag: int = 0, context: TextValue = None) -> int:
    """Return a new live error handle with those values (the caller releases it)."""
    keep: list[Any] = []
    return int(library().VESSAEMU_MakeError(status, code, tag, _text(context, keep)))


# -- accounts -------------------------------------------------------------------------------


def _field_index(name: str) -> int:
    try:
        return ACCOUNT_FIELDS.index(name)
    except ValueError:
        raise ValueError(f"unknown account property {name!r}") from None


def add_account(**props: TextValue) -> str:
    """Add an account to the identity store and return its account id.

    Keyword arguments are account properties (names in `ACCOUNT_FIELDS`): None makes the
    property absent, a str or a list of raw UTF-16 units sets it. Unspecified properties get
    consistent defaults (every property present except middle_name). The returned id is the
    account's key for this module's other functions, even if its account_id property is set to
    something else (or to nothing) later. A duplicate id raises ValueError.
    """
    for name in props:
        _field_index(name)
    lib = library()
    keep: list[Any] = []
    given = props.get("account_id")
    key_units = _take_units(lib.VESSAEMU_AddAccount, _text(given, keep))
    if key_units is None:
        raise ValueError(f"an account with id {given!r} exists already")
    key = _decode(key_units)
    for name, value in props.items():
        if name == "account_id" and value is not None:
            continue
        set_account_property(key, name, value)
    return key


def set_account_property(account_id: str, name: str, value: TextValue) -> None:
    """Set one property of a stored account: None makes it absent (size 0), "" empty (size 1),
    a str any text (characters outside the BMP included), a list of ints raw UTF-16 units.

    Handles already given out for the account see the change. Unknown accounts raise KeyError.
    """
    keep: list[Any] = []
    result = library().VESSAEMU_SetAccountField(
        _text(account_id, keep), _field_index(name), _text(value, keep)
    )
    if result == -1:
        raise KeyError(account_id)


def remove_account(account_id: str) -> None:
    """Remove an account from the store; handles already given out stay readable."""
    keep: list[Any] = []
    if library().VESSAEMU_RemoveAccount(_text(account_id, keep)) != 0:
        raise KeyError(account_id)


def accounts() -> list[dict[str, str | None]]:
    """Return the stored accounts in the order they were added, each as a dict of its thirteen
    properties (None for an absent one; invalid UTF-16 decoded with surrogatepass)."""
    lib = library()
    listed = []
    for index in range(lib.VESSAEMU_AccountCount()):
        entry: dict[str, str | None] = {}
        for field, name in enumerate(ACCOUNT_FIELDS):
            try:
                units = _take_units(lib.VESSAEMU_AccountFieldAt, index, field)
            except LookupError:
                break  # removed meanwhile
            entry[name] = None if units is None else _decode(units)
        else:
            listed.append(entry)
    return listed


def new_account_handle(account_id: str) -> int:
    """Return a new live account handle for a stored account (the caller releases it)."""
    keep: list[Any] = []
    handle = library().VESSAEMU_NewAccountHandle(_text(account_id, keep))
    if not handle:
        raise KeyError(account_id)
    return int(handle)


# -- auth parameters ------------------------------------------------------------------------


def auth_parameters(handle: int) -> dict[str, Any]:
    """Return what the runtime recorded for a live auth-parameters handle.

    Keys: the names in `AUTH_PARAMETERS_FIELDS` (each a str, or None if never set),
    ``"additional_parameters"`` (a list of (key, value) pairs in order of arrival; a key set twice
    appears twice) and ``"raw"``, a dict with the same keys holding the exact UTF-16 units (lists
    of ints) as they arrived. A handle that is not a live auth-parameters handle raises KeyError.
    """
    lib = library()
    handle &= 0xFFFFFFFFFFFFFFFF
    result: dict[str, Any] = {}
    raw: dict[str, Any] = {}
    try:
        for field, name in enumerate(AUTH_PARAMETERS_FIELDS):
            units = _take_units(lib.VESSAEMU_AuthParametersField, handle, field)
            raw[name] = units
            result[name] = None if units is None else _decode(units)
        pairs = []
        raw_pairs = []
        for index in range(lib.VESSAEMU_AuthParametersAdditionalCount(handle)):
            key = _take_units(lib.VESSAEMU_AuthParametersAdditional, handle, index, 0) or []
            value = _take_units(lib.VESSAEMU_AuthParametersAdditional, handle, index, 1) or []
            pairs.append((_decode(key), _decode(value)))
            raw_pairs.append((key, value))
    except LookupError:
        raise KeyError(f"{handle:#x} is not a live auth_parameters handle") from None
    result["additional_parameters"] = pairs
    raw["additional_parameters"] = raw_pairs
    result["raw"] = raw
    return result


# -- results --------------------------------------------------------------------------------


def _new_result(create: Any, spec: Any, what: str) -> int:
    handle = create(ctypes.byref(spec))
    if not handle:
        raise KeyError(f"{what}: unknown account")
    return int(handle)


def new_auth_result(
    *,
    account_id: str | None = None,
    id_token: TextValue = None,
    raw_id_token: TextValue = None,
    access_token: TextValue = None,
    granted_scopes: TextValue = None,
    authorization_header: TextValue = None,
    is_pop: int = 0,
    expiry: int = 0,
    error: Any = None,
    telemetry: TextValue = None,
) -> int:
    """Return a new live auth-result handle with these contents (the caller releases it).

    `account_id` names a stored account (None: the result has no account); `error` is None, a
    tuple ``(status, code, tag, context)`` (trailing items optional) or a dict with those keys;
    text values follow the module's text rules (None is "no value"). `expiry` is a signed 64-bit
    value, `is_pop` a signed 32-bit one.
    """
    keep: list[Any] = []
    spec = _AuthResultSpec(
        _text(account_id, keep),
        _text(id_token, keep),
        _text(raw_id_token, keep),
        _text(access_token, keep),
        _text(granted_scopes, keep),
        _text(authorization_header, keep),
        is_pop,
        expiry,
        _error_spec(error, keep),
        _text(telemetry, keep),
    )
    return _new_result(library().VESSAEMU_NewAuthResult, spec, "new_auth_result")


def _result_spec(
    keep: list[Any], account_id: Any = None, account_ids: Sequence[str] = (), error: Any = None,
    telemetry: TextValue = None,
) -> _ResultSpec:
    keys = (_Text * max(len(account_ids), 1))(*[_text(a, keep) for a in account_ids])
    keep.append(keys)
    return _ResultSpec(
        _text(account_id, keep),
        ctypes.cast(keys, ctypes.POINTER(_Text)),
        len(account_ids),
        _error_spec(error, keep),
        _text(telemetry, keep),
    )


def new_signout_result(*, error: Any = None, telemetry: TextValue = None) -> int:
    """Return a new live sign-out-result handle (the caller releases it); `error` as for
    `new_auth_result`."""
    keep: list[Any] = []
    spec = _result_spec(keep, error=error, telemetry=telemetry)
    return _new_result(library().VESSAEMU_NewSignOutResult, spec, "new_signout_result")


def new_read_account_result(
    *, account_id: str | None = None, error: Any = None, telemetry: TextValue = None
) -> int:
    """Return a new live read-account-result handle (the caller releases it); `account_id` names
    a stored account or is None for "no account found"."""
    keep: list[Any] = []
    spec = _result_spec(keep, account_id=account_id, error=error, telemetry=telemetry)
    return _new_result(library().VESSAEMU_NewReadAccountResult, spec, "new_read_account_result")


def new_discover_accounts_result(
    *, account_ids: Sequence[str] = (), error: Any = None, telemetry: TextValue = None
) -> int:
    """Return a new live discover-accounts-result handle (the caller releases it) listing the
    stored accounts `account_ids` in that index order."""
    keep: list[Any] = []
    spec = _result_spec(keep, account_ids=list(account_ids), error=error, telemetry=telemetry)
    return _new_result(
        library().VESSAEMU_NewDiscoverAccountsResult, spec, "new_discover_accounts_result"
    )


# -- async operations -----------------------------------------------------------------------


def new_async_handle() -> int:
    """Return a new live async-operation handle of a pending operation (the caller releases it)."""
    return int(library().VESSAEMU_NewAsyncHandle())


def async_state(handle: int) -> str | None:
    """Return "pending", "cancelled" or "completed" for a live async-operation handle, else None."""
    state = library().VESSAEMU_AsyncState(handle & 0xFFFFFFFFFFFFFFFF)
    return _ASYNC_STATES[state] if state >= 0 else None


# -- the asynchronous engine ----------------------------------------------------------------


def _start_operation(name: str, result: int) -> None:
    if result == -1:
        raise ValueError(f"unknown runtime operation {name!r}")
    if result == -2:
        raise ValueError(f"{name} is not one of the asynchronous start operations {START_OPERATIONS}")


def set_completion_mode(mode: str, delay_ms: int = 0) -> None:
    """Choose how the asynchronous operations started from now on complete (until the next reset).

    - ``"worker"`` (the default): on one of the emulator's two worker threads, native threads
      Python has never seen, soon after the start call.
    - ``"inline"``: inside the start call, on the caller's thread, before the start call returns.
    - ``"held"``: not until `release_held` hands them to the workers (or a cancel, or a shut-down,
      completes them with an error).
    - ``"delay"`` (also ``"delayed"``): on a worker, `delay_ms` milliseconds after the start call.
    - ``"early"``: inline like ``"inline"``, but before the start call stores the operation's
      handle, as a runtime that calls back before it hands the handle out would. In every other
      mode the handle is stored before the completion can run.

    Operations already started keep the way they were scheduled. An unknown mode raises
    ValueError.
    """
    index = COMPLETION_MODES.index("delay") if mode == "delayed" else (
        COMPLETION_MODES.index(mode) if mode in COMPLETION_MODES else -1)
    if index < 0:
        raise ValueError(f"unknown completion mode {mode!r}; expected one of {COMPLETION_MODES}")
    library().VESSAEMU_SetCompletionMode(index, delay_ms)


def completion_mode() -> tuple[str, int]:
    """Return the current completion mode and delay in milliseconds, e.g. ``("worker", 0)``."""
    delay = ctypes.c_int32()
    mode = library().VESSAEMU_CompletionMode(ctypes.byref(delay))
    return COMPLETION_MODES[mode], delay.value


def release_held(count: int | None = None) -> int:
    """Hand held operations to the workers, oldest first: `count` of them, or all for None.

    Returns how many were released; they complete on the workers afterwards (see `wait_idle`).
    """
    return int(library().VESSAEMU_ReleaseHeld(-1 if count is None else count))


def pending_operations() -> int:
    """Return how many started operations have not completed yet: queued for a worker, held,
    delayed, or being delivered right now."""
    return int(library().VESSAEMU_PendingOperations())


def held_operations() -> int:
    """Return how many operations are held (waiting for `release_held`)."""
    return int(library().VESSAEMU_HeldOperations())


def worker_count() -> int:
    """Return the number of worker threads (2 while the runtime is started, else 0)."""
    return int(library().VESSAEMU_WorkerCount())


def wait_idle(timeout: float = 5.0) -> bool:
    """Wait until no operation is queued, delayed or being delivered, at most `timeout` seconds.

    Held operations do not count: they wait for `release_held`. Returns True once idle, False if
    the timeout passed first. The interpreter lock is released while waiting, so completions that
    call Python callbacks proceed.
    """
    return bool(library().VESSAEMU_WaitIdle(max(0, int(timeout * 1000))))


def fail_next_completion(
    operation: str, status: int, code: int = 0, tag: int = 0, context: TextValue = None
) -> None:
    """Make the next completion of a start operation deliver an error result with these values.

    `operation` is one of `START_OPERATIONS` (with or without the ``VESSARUNTIME_`` prefix). The
    scripted outcome is taken when an operation of that name completes, whatever made it complete
    (its normal end, a cancel, a shut-down), and replaces what it would have delivered: the
    identity store is left untouched. Scripted completions queue up, in order, together with
    those of `null_next_completion`. Other names raise ValueError.
    """
    keep: list[Any] = []
    result = library().VESSAEMU_FailNextCompletion(
        _operation(operation), status, code, tag, _text(context, keep)
    )
    _start_operation(operation, result)


def null_next_completion(operation: str) -> None:
    """Make the next completion of a start operation call its routine with a null result handle.

    Taken and queued like `fail_next_completion`.
    """
    _start_operation(operation, library().VESSAEMU_NullNextCompletion(_operation(operation)))


# -- identity flows -------------------------------------------------------------------------


def set_interactive_user(**props: TextValue) -> None:
    """Set the user who signs in whenever an interactive sign-in "shows a prompt".

    Interactive sign-in (``SignInInteractivelyAsync``, ``AcquireTokenInteractivelyAsync``, and
    ``SignInAsync`` when no known account matches) signs this user in and stores the account (the
    stored account with the same account_id is updated, else one is added). Keyword arguments are
    account properties (names in `ACCOUNT_FIELDS`, values as for `add_account`); properties not
    given keep the default interactive user's values (user name
    ``interactive.user@example.com``). `reset` restores the default user.
    """
    indices = {name: _field_index(name) for name in props}
    lib = library()
    lib.VESSAEMU_ResetInteractiveUser()
    for name, value in props.items():
        keep: list[Any] = []
        lib.VESSAEMU_SetInteractiveUserField(indices[name], _text(value, keep))


def interactive_user() -> dict[str, str | None]:
    """Return the interactive user's thirteen properties (None for an absent one)."""
    lib = library()
    user: dict[str, str | None] = {}
    for field, name in enumerate(ACCOUNT_FIELDS):
        units = _take_units(lib.VESSAEMU_InteractiveUserField, field)
        user[name] = None if units is None else _decode(units)
    return user


def cancel_next_interactive(status: int = 7) -> None:
    """Make the next interactive sign-in fail as if the user closed the prompt.

    It completes with an error result of `status` (7, Status_UserCanceled, by default) and stores
    no account. Calls queue up: each one cancels one further interactive sign-in.
    """
    library().VESSAEMU_CancelNextInteractive(status)


# -- logging --------------------------------------------------------------------------------


def emit_log(message: TextValue, level: int, thread: str = "caller", threads: int = 1) -> None:
    """Write a log line to every registered log routine and wait until it is delivered.

    `message` is a str or a list of raw UTF-16 units (the routines receive it zero-terminated, so
    an embedded zero unit cuts it short); `level` is any 32-bit value, 0 and 7 included, passed
    on unchanged. With ``thread="caller"`` the routines run on the calling thread; with
    ``thread="native"`` on `threads` new native threads (unknown to Python) that write the line at
    once, each once. The interpreter lock is released meanwhile.
    """
    if thread not in ("caller", "native"):
        raise ValueError(f"thread must be 'caller' or 'native', not {thread!r}")
    if thread == "native" and threads < 1:
        raise ValueError("threads must be at least 1")
    keep: list[Any] = []
    count = threads if thread == "native" else 0
    if library().VESSAEMU_EmitLog(_text(message if message is not None else "", keep), level, count):
        raise OSError("no native thread could be started")


def log_registrations() -> int:
    """Return how many log routines are registered (and not released)."""
    return int(library().VESSAEMU_LogRegistrations())

"""The emulator library as both control modules reach it (`pyvessaruntime.emulator` for
application tests, `pyvessaruntime.emulator_internals` for the project's own): the library with its
control functions declared, its enumerations, and the conversions of texts, statuses and errors
to and from its calls. Nothing is loaded when this module is imported.
"""

from __future__ import annotations

import ctypes
import datetime
import enum
import json
import math
import threading
from collections.abc import Mapping, Sequence
from dataclasses import dataclass, fields
from typing import Any

from . import _runtime
from .models import Account
from .pyvessaruntime import Response_Status

TextValue = str | Sequence[int] | None
StatusLike = int | Response_Status


class EmulatorFailure(RuntimeError):
    """A control call failed inside the emulator (out of memory, or an injected failure)."""


@dataclass(frozen=True)
class Error:
    """The values of an error the emulator is to report: a status and, optionally, the runtime's
    error code, tag and context text."""

    status: StatusLike
    code: int = 0
    tag: int = 0
    context: TextValue = None


@dataclass(frozen=True)
class Names:
    """The emulator's enumerations, read from the library; positions are the library's numbers.
    `python_operations` spells `operations` as Python does (``"acquire_token_silently"``)."""

    kinds: tuple[str, ...]
    operations: tuple[str, ...]
    python_operations: tuple[str, ...]
    start_operations: tuple[str, ...]
    account_fields: tuple[str, ...]
    auth_parameters_fields: tuple[str, ...]
    completion_modes: tuple[str, ...]
    failure_kinds: tuple[str, ...]
    account_states: tuple[str, ...]
    async_states: tuple[str, ...]



_FAILED = -1000  # VESSAEMU_FAILED
_FAILED_HANDLE = 0xFFFFFFFFFFFFFFFF  # VESSAEMU_FAILED_HANDLE
_U64 = 0xFFFFFFFFFFFFFFFF


class _Text(ctypes.Structure):
    _fields_ = [("units", ctypes.c_void_p), ("length", ctypes.c_int32)]


class _ErrorSpec(ctypes.Structure):
    _fields_ = [("present", ctypes.c_int32), ("status", ctypes.c_int32), ("code", ctypes.c_int64),
                ("tag", ctypes.c_int32), ("context", _Text)]


class _AuthResultSpec(ctypes.Structure):
    _fields_ = [("account_key", _Text), ("id_token", _Text), ("raw_id_token", _Text),
                ("access_token", _Text), ("granted_scopes", _Text),
                ("authorization_header", _Text), ("is_pop", ctypes.c_int32),
                ("expiry", ctypes.c_int64), ("error", _ErrorSpec), ("telemetry", _Text)]


class _ResultSpec(ctypes.Structure):
    _fields_ = [("account_key", _Text), ("account_keys", ctypes.POINTER(_Text)),
                ("account_count", ctypes.c_int32), ("error", _ErrorSpec), ("telemetry", _Text)]


_p = ctypes.c_void_p
_i32 = ctypes.c_int32
_i64 = ctypes.c_int64
_u64 = ctypes.c_uint64
_str = ctypes.c_char_p
_pp = ctypes.POINTER(ctypes.c_void_p)
_pi32 = ctypes.POINTER(ctypes.c_int32)

# The control functions (vessaemu.h): result type and argument types.
_SIGNATURES: dict[str, tuple[Any, tuple[Any, ...]]] = {
    "Reset": (_i32, (_i32,)), "Free": (None, (_p,)), "FailInside": (_i32, (_str, _i32, _i32)),
    "Name": (_str, (_i32, _i32)), "LiveHandles": (_i64, (_i32,)), "HandleKind": (_i32, (_u64,)),
    "LiveHandleValues": (_i64, (_i32, ctypes.POINTER(ctypes.c_uint64), _i64)),
    "OperationIndex": (_i32, (_str,)), "Calls": (_i64, (_str,)), "FailNext": (_i32, (_str, _i32, _i64, _i32, _Text, _i32, _i32)),
    "ContractViolations": (_i64, ()), "LastContractViolation": (_i32, (_pp,)),
    "TakeContractViolations": (_i32, (_pp,)), "LoadScenario": (_i32, (_str, _i64, _pp)),
    "PendingOutcomes": (_i32, (_pp,)), "SetAuthorityTrusted": (_i32, (_Text, _i32)),
    "IsStarted": (_i32, ()), "PiiEnabled": (_i32, ()), "Now": (_i64, ()),
    "NowMicroseconds": (_i64, ()),
    "FreezeClock": (_i32, (_i64,)), "AdvanceClock": (_i32, (_i64,)), "History": (_i32, (_pp,)),
    "ClearHistory": (_i32, ()), "MakeError": (_u64, (_i32, _i64, _i32, _Text)),
    "AddAccount": (_i32, (_Text, _pp)), "SetAccountField": (_i32, (_Text, _i32, _Text)),
    "RemoveAccount": (_i32, (_Text,)), "SetAccountState": (_i32, (_Text, _i32)),
    "AccountState": (_i32, (_Text,)), "AccountCount": (_i32, ()),
    "AccountFieldAt": (_i32, (_i32, _i32, _pp)), "NewAccountHandle": (_u64, (_Text,)),
    "AuthParametersField": (_i32, (_u64, _i32, _pp)),
    "AuthParametersAdditionalCount": (_i32, (_u64,)),
    "AuthParametersAdditional": (_i32, (_u64, _i32, _i32, _pp)),
    "NewAuthResult": (_u64, (ctypes.POINTER(_AuthResultSpec),)),
    "NewSignOutResult": (_u64, (ctypes.POINTER(_ResultSpec),)),
    "NewReadAccountResult": (_u64, (ctypes.POINTER(_ResultSpec),)),
    "NewDiscoverAccountsResult": (_u64, (ctypes.POINTER(_ResultSpec),)),
    "NewAsyncHandle": (_u64, ()), "AsyncState": (_i32, (_u64,)),
    "SetCompletionMode": (_i32, (_i32, _i32)), "CompletionMode": (_i32, (_pi32,)),
    "ReleaseHeld": (_i32, (_i32,)), "PendingOperations": (_i64, ()),
    "HeldOperations": (_i64, ()), "WorkerCount": (_i32, ()), "WaitIdle": (_i32, (_i64,)),
    "ResetInteractiveUser": (_i32, ()), "SetInteractiveUserField": (_i32, (_i32, _Text)),
    "InteractiveUserField": (_i32, (_i32, _pp)), "CancelNextInteractive": (_i64, (_i32, _i32)),
    "EmitLog": (_i32, (_Text, _i32, _i32)), "LogRegistrations": (_i32, ()),
    "WaitForPending": (_i64, (_i64, _i64)), "HoldOperation": (_i32, (_str, _i32)),
    "SetHoldTimeout": (_i64, (_i64,)), "ExpiredHolds": (_i32, (_pp,)),
    "ScriptOutcome": (_i64, (_str, _i64, _pp)), "OutcomeUses": (_i64, (_u64,)),
    "UnmatchedRequests": (_i32, (_pp,)), "ExportState": (_i32, (_pp,)),
}

_lock = threading.Lock()
_lib: ctypes.CDLL | None = None
_names: Names | None = None


def _open() -> ctypes.CDLL:
    if not _runtime.is_emulator():
        raise RuntimeError(f"the runtime in use, {_runtime.path()}, is not the emulator: "
                           f"set {_runtime.ENV}={_runtime.EMULATOR} to run against it")
    lib: ctypes.CDLL = _runtime.library()
    return lib


def _check_failure(result: Any, function: Any, args: tuple[Any, ...]) -> Any:
    if result == (_FAILED_HANDLE if function.restype is _u64 else _FAILED):
        raise EmulatorFailure(f"{function.__name__} failed inside the emulator")
    return result


def library() -> ctypes.CDLL:
    """The emulator library the extension loaded (``ctypes``), with the control functions
    (``VESSAEMU_*``) declared; loaded on first use."""
    global _lib
    if _lib is None:
        with _lock:
            if _lib is None:
                lib = _open()
                for name, (restype, argtypes) in _SIGNATURES.items():
                    function = getattr(lib, "VESSAEMU_" + name)
                    function.restype, function.argtypes = restype, argtypes
                    if restype in (_i32, _i64, _u64):
                        function.errcheck = _check_failure
                _lib = lib
    return _lib


def names() -> Names:
    """The emulator's enumerations, as the library names them."""
    global _names
    # Unguarded: threads that ask at once each read the same tables and store equal values.
    if _names is None:
        read = library().VESSAEMU_Name

        def table(index: int) -> tuple[str, ...]:
            found: list[str] = []
            while (name := read(index, len(found))) is not None:
                found.append(name.decode())
            return tuple(found)
        # The fields of Names are the library's tables, in the order of their numbers.
        _names = Names(*(table(index) for index in range(len(fields(Names)))))
    return _names


# -- conversions ----------------------------------------------------------------------------


def _text(value: TextValue, keep: list[Any]) -> _Text:
    """A text argument; `keep` holds its buffer alive for the duration of the call."""
    if value is None:
        return _Text(None, -1)
    units = (value.encode("utf-16-le", "surrogatepass") if isinstance(value, str)
             else b"".join((unit & 0xFFFF).to_bytes(2, "little") for unit in value))
    buffer = ctypes.create_string_buffer(units, len(units) + 2)
    keep.append(buffer)
    return _Text(ctypes.cast(buffer, ctypes.c_void_p), len(units) // 2)


def _decode(units: Sequence[int]) -> str:
    return b"".join(unit.to_bytes(2, "little") for unit in units).decode("utf-16-le",
                                                                         "surrogatepass")


def _take_units(call: Any, *args: Any) -> list[int] | None:
    """Runs a control call that hands out a text; its units, or None for no value. A negative
    answer other than -1 raises LookupError."""
    out = ctypes.c_void_p()
    length = call(*args, ctypes.byref(out))
    try:
        if length < -1:
            raise LookupError(length)
        if length <= 0 or not out.value:
            return None if length == -1 else []
        return list((ctypes.c_uint16 * length).from_address(out.value))
    finally:
        if out.value:
            library().VESSAEMU_Free(out)


def _take_text(call: Any, *args: Any) -> tuple[int, str | None]:
    """Runs a control call that hands out an ASCII or UTF-8 text: its answer and the text."""
    out = ctypes.c_void_p()
    answer = call(*args, ctypes.byref(out))
    if not out.value:
        return answer, None
    try:
        return answer, ctypes.string_at(out.value).decode("utf-8", "replace")
    finally:
        library().VESSAEMU_Free(out)


def _optional(units: list[int] | None) -> str | None:
    return None if units is None else _decode(units)


def _status(status: StatusLike) -> int:
    if isinstance(status, enum.Enum):
        return int(status.value)
    # A bool is an int, and a text would be read as digits: neither names a status.
    if type(status) is bool or not isinstance(status, int):
        raise TypeError(f"a status is a Response_Status member or its number, not "
                        f"{type(status).__name__} {status!r}")
    return status


def _error(error: Error | StatusLike) -> Error:
    return error if isinstance(error, Error) else Error(error)


def _error_spec(error: Error | None, keep: list[Any]) -> _ErrorSpec:
    if error is None:
        return _ErrorSpec(0, 0, 0, 0, _Text(None, -1))
    return _ErrorSpec(1, _status(error.status), error.code, error.tag, _text(error.context, keep))


def _operation(name: str, answer: int) -> None:
    """Raises ValueError listing the valid names if the library answered that it does not know
    the operation `name` (-1)."""
    if answer == -1:
        raise ValueError(f"unknown runtime operation {name!r}; expected one of: "
                         + ", ".join(names().python_operations))


def _index(table: str, name: str) -> int:
    valid: tuple[str, ...] = getattr(names(), table)
    if name not in valid:
        what = table.rstrip("s").replace("_", " ")
        raise ValueError(f"unknown {what} {name!r}; expected one of: {', '.join(valid)}")
    return valid.index(name)


def _key(account: str | Account) -> str:
    if isinstance(account, Account):
        if account.account_id is None:
            raise ValueError("this Account has no account id to name it by")
        return account.account_id
    return account


def _apply(document: Mapping[str, Any] | bytes) -> None:
    text = document if isinstance(document, bytes) else json.dumps(document).encode()
    answer, fault = _take_text(library().VESSAEMU_LoadScenario, text, len(text))
    if answer != 0:
        raise ValueError(fault)


def _seconds(value: float | datetime.timedelta) -> int:
    return int(value.total_seconds() if isinstance(value, datetime.timedelta) else value)


def _milliseconds(value: float | datetime.timedelta, what: str) -> int:
    """A duration of seconds (a number or a timedelta, finite, not negative) in milliseconds."""
    if isinstance(value, datetime.timedelta):
        seconds = value.total_seconds()
    elif isinstance(value, (int, float)) and not isinstance(value, bool):
        seconds = float(value)
    else:
        raise TypeError(f"{what} is a number of seconds, not {type(value).__name__} {value!r}")
    if not (math.isfinite(seconds) and seconds >= 0):
        raise ValueError(f"{what} must be a finite number of seconds, not negative: {value!r}")
    return round(min(seconds, 1e9) * 1000)  # longer is for ever, and keeps to 64 bits



def _completion_mode() -> tuple[int, int]:
    """The completion mode (its number in `Names.completion_modes`) and delay in milliseconds."""
    delay = ctypes.c_int32()
    return int(library().VESSAEMU_CompletionMode(ctypes.byref(delay))), delay.value


def _set_completion_mode(mode: str | int, delay_ms: int = 0) -> None:
    index = mode if isinstance(mode, int) else _index("completion_modes", mode)
    library().VESSAEMU_SetCompletionMode(index, delay_ms)



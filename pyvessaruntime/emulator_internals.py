"""The emulator's controls for tests of the bindings themselves (this project's own tests), beside
everything `pyvessaruntime.emulator` has for application tests, which this module re-exports:
raw handles of every kind (`make_error`, `new_auth_result`, `new_account_handle`, ...), what the
runtime recorded for a parameters handle (`auth_parameters`), failures of single calls
(`fail_next`, `fail_inside`), string-protocol misbehaviour (`set_string_protocol`), completion
modes (`set_completion_mode`), log lines from native threads (`emit_log`), and counters of
calls, live handles, contract violations and log registrations. Applications have no use for
it; its names and their behaviour may change with the bindings.
"""

from __future__ import annotations

import ctypes
from collections.abc import Sequence
from typing import Any

from ._emulator_library import (
    _SIGNATURES, _U64, Error, StatusLike, TextValue, _apply, _AuthResultSpec, _completion_mode,
    _decode, _error_spec, _index, _operation, _ResultSpec, _set_completion_mode, _status,
    _take_text, _take_units, _Text, _text, library, names,
)
# Everything of the application tests' module too, so the project's tests need only this one
# (its own names alone are listed in __all__).
from .emulator import *  # noqa: F403
__all__ = [
    "async_state", "auth_parameters", "calls", "completion_mode", "contract_violations",
    "emit_log", "fail_inside", "fail_next", "held_operations", "last_contract_violation",
    "live_handle_count", "log_registrations", "make_error", "new_account_handle",
    "new_async_handle", "new_auth_result", "new_discover_accounts_result",
    "new_read_account_result", "new_signout_result", "pii_enabled", "set_completion_mode",
    "set_string_protocol", "worker_count",
]


def new_account_handle(account_id: str) -> int:
    """A new live account handle for a stored account (the caller releases it)."""
    keep: list[Any] = []
    handle = library().VESSAEMU_NewAccountHandle(_text(account_id, keep))
    if not handle:
        raise KeyError(account_id)
    return int(handle)


def fail_next(operation: str, status: StatusLike, code: int = 0, tag: int = 0,
              context: TextValue = None, *, count: int = 1, after: int = 0) -> None:
    """Make the next `count` calls of an operation fail at once, after `after` further calls go
    through (``after=1`` fails the filling call of a two-call string read).

    A failing call does nothing but return a new error handle with these values (a getter writes
    nothing, a release releases nothing). Scripted failures queue up. Every operation that
    returns an error handle can fail; ``Shutdown`` and ``SetIsPiiEnabled`` raise ValueError.
    """
    keep: list[Any] = []
    answer = library().VESSAEMU_FailNext(operation.encode(), _status(status), code, tag,
                                         _text(context, keep), count, after)
    _operation(operation, answer)
    if answer == -2:
        raise ValueError(f"{operation} returns no error handle and cannot fail")


def fail_inside(function: str, kind: str = "no_memory", count: int = 1) -> None:
    """Make the next `count` calls of an exported function fail inside the emulator, to show that
    no failure escapes it and none reads as success.

    `function` is a runtime operation or a control function by its full name
    (``"VESSAEMU_AddAccount"``); `kind` one of `Names.failure_kinds`: ``"no_memory"`` (every
    handle the call makes fails; a runtime operation answers an error of status 0 made in
    advance, never counted as live, ``"VESSARUNTIME_<op>: out of memory"``), ``"exception"`` or
    ``"foreign"`` (the call throws as it begins: a runtime operation answers a new error of
    status 0). A control function that fails raises `EmulatorFailure` (``VESSAEMU_MakeError``
    answers the reserved error instead). Cleared by `reset`.
    """
    index = _index("failure_kinds", kind)
    if function.startswith("VESSAEMU_") and function[9:] not in _SIGNATURES:
        raise ValueError(f"unknown control function {function!r}; expected one of: "
                         + ", ".join("VESSAEMU_" + name for name in _SIGNATURES))
    _operation(function, library().VESSAEMU_FailInside(function.encode(), index, count))


def set_string_protocol(*, first_call_error: bool = True, negative_size: bool = False,
                        grow_by: int = 0) -> None:
    """Choose how every string getter answers until the next reset: `first_call_error`, whether
    the size-finding call for a present value also answers status 10 (InsufficientBuffer);
    misbehaviour: `negative_size` reports minus the needed size, `grow_by` makes the filling
    call report that many units more than it wrote (it never writes past the buffer)."""
    _apply({"settings": {"first_call_error": first_call_error, "negative_size": negative_size,
                         "grow_by": grow_by}})


# -- handles ---------------------------------------------------------------------------------


def make_error(status: StatusLike, code: int = 0, tag: int = 0, context: TextValue = None) -> int:
    """A new live error handle with these values (the caller releases it)."""
    keep: list[Any] = []
    return int(library().VESSAEMU_MakeError(_status(status), code, tag, _text(context, keep)))


def _new_result(create: Any, spec: Any) -> int:
    handle = create(ctypes.byref(spec))
    if not handle:
        raise KeyError(f"{create.__name__}: unknown account")
    return int(handle)


def new_auth_result(*, account_id: str | None = None, id_token: TextValue = None,
                    raw_id_token: TextValue = None, access_token: TextValue = None,
                    granted_scopes: TextValue = None, authorization_header: TextValue = None,
                    is_pop: int = 0, expiry: int = 0, error: Error | None = None,
                    telemetry: TextValue = None) -> int:
    """A new live auth-result handle with these contents (the caller releases it); `account_id`
    names a stored account, or None for a result without one."""
    keep: list[Any] = []
    spec = _AuthResultSpec(*(_text(v, keep) for v in (account_id, id_token, raw_id_token,
                                                      access_token, granted_scopes,
                                                      authorization_header)),
                           is_pop, expiry, _error_spec(error, keep), _text(telemetry, keep))
    return _new_result(library().VESSAEMU_NewAuthResult, spec)


def _result_spec(keep: list[Any], account_id: str | None = None, account_ids: Sequence[str] = (),
                 error: Error | None = None, telemetry: TextValue = None) -> _ResultSpec:
    keys = (_Text * max(len(account_ids), 1))(*[_text(a, keep) for a in account_ids])
    keep.append(keys)
    return _ResultSpec(_text(account_id, keep), ctypes.cast(keys, ctypes.POINTER(_Text)),
                       len(account_ids), _error_spec(error, keep), _text(telemetry, keep))


def new_signout_result(*, error: Error | None = None, telemetry: TextValue = None) -> int:
    """A new live sign-out-result handle (the caller releases it)."""
    keep: list[Any] = []
    return _new_result(library().VESSAEMU_NewSignOutResult,
                       _result_spec(keep, error=error, telemetry=telemetry))


def new_read_account_result(*, account_id: str | None = None, error: Error | None = None,
                            telemetry: TextValue = None) -> int:
    """A new live read-account-result handle (the caller releases it); `account_id` names a
    stored account, or None for "no account found"."""
    keep: list[Any] = []
    return _new_result(library().VESSAEMU_NewReadAccountResult,
                       _result_spec(keep, account_id, error=error, telemetry=telemetry))


def new_discover_accounts_result(*, account_ids: Sequence[str] = (), error: Error | None = None,
                                 telemetry: TextValue = None) -> int:
    """A new live discover-accounts-result handle (the caller releases it) listing the stored
    accounts `account_ids` in that order."""
    keep: list[Any] = []
    return _new_result(library().VESSAEMU_NewDiscoverAccountsResult,
                       _result_spec(keep, account_ids=list(account_ids), error=error,
                                    telemetry=telemetry))


def new_async_handle() -> int:
    """A new live async-operation handle of a pending operation (the caller releases it)."""
    return int(library().VESSAEMU_NewAsyncHandle())


def async_state(handle: int) -> str | None:
    """The state (`Names.async_states`) of a live async-operation handle, else None."""
    state = library().VESSAEMU_AsyncState(handle & _U64)
    return names().async_states[int(state)] if state >= 0 else None


def auth_parameters(handle: int) -> dict[str, Any]:
    """What the runtime recorded for a live auth-parameters handle: each of
    `Names.auth_parameters_fields` (a str, or None if never set), ``"additional_parameters"``
    (the (key, value) pairs in order of arrival) and ``"raw"``, the same as UTF-16 units. A
    handle that is not a live auth-parameters handle raises KeyError."""
    lib, handle = library(), handle & _U64
    raw: dict[str, Any] = {}
    try:
        for field, name in enumerate(names().auth_parameters_fields):
            raw[name] = _take_units(lib.VESSAEMU_AuthParametersField, handle, field)
        raw["additional_parameters"] = [
            tuple(_take_units(lib.VESSAEMU_AuthParametersAdditional, handle, index, which) or []
                  for which in (0, 1))
            for index in range(lib.VESSAEMU_AuthParametersAdditionalCount(handle))]
    except LookupError:
        raise KeyError(f"{handle:#x} is not a live auth_parameters handle") from None
    result: dict[str, Any] = {name: None if units is None else _decode(units)
                              for name, units in raw.items() if name != "additional_parameters"}
    result["additional_parameters"] = [(_decode(k), _decode(v))
                                       for k, v in raw["additional_parameters"]]
    result["raw"] = raw
    return result


def set_completion_mode(mode: str, delay_ms: int = 0) -> None:
    """Choose how operations started from now on complete, until the next reset (`held` and
    `delayed` do it for a ``with`` block):

    - ``"worker"`` (the default): on one of the emulator's worker threads (native threads Python
      has never seen), soon after the start call, or after the operation's latency;
    - ``"inline"``: on the caller's thread, before the start call returns;
    - ``"held"``: not until `release_held` (or a cancel, or a stop, with an error);
    - ``"delay"`` (also ``"delayed"``): on a worker, `delay_ms` (or the operation's latency)
      after the start call;
    - ``"early"``: inline, before the start call stores the operation's handle, as a runtime
      that calls back before it hands the handle out would.
    """
    _set_completion_mode("delay" if mode == "delayed" else mode, delay_ms)


def completion_mode() -> tuple[str, int]:
    """The current completion mode and delay in milliseconds, e.g. ``("worker", 0)``."""
    mode, delay = _completion_mode()
    return names().completion_modes[mode], delay


def held_operations() -> int:
    """How many operations are held (waiting for `release_held`)."""
    return int(library().VESSAEMU_HeldOperations())


def worker_count() -> int:
    """The number of worker threads (2 while the runtime is started, else 0)."""
    return int(library().VESSAEMU_WorkerCount())


def calls(operation: str) -> int:
    """How many times the runtime operation (any spelling) was called since the last reset."""
    count = library().VESSAEMU_Calls(operation.encode())
    _operation(operation, -1 if count < 0 else 0)
    return int(count)


def live_handle_count() -> int:
    """The number of live handles of all kinds together."""
    return int(library().VESSAEMU_LiveHandles(-1))


def contract_violations() -> int:
    """How many contract violations happened since the last reset or take."""
    return int(library().VESSAEMU_ContractViolations())


def last_contract_violation() -> str | None:
    """The text of the latest contract violation, or None."""
    return _take_text(library().VESSAEMU_LastContractViolation)[1]


def pii_enabled() -> int:
    """The value last given to ``SetIsPiiEnabled`` (0 after a reset)."""
    return int(library().VESSAEMU_PiiEnabled())


def emit_log(message: TextValue, level: int, thread: str = "caller", threads: int = 1) -> None:
    """Write a log line to every registered log routine and wait until it is delivered: from the
    calling thread (``thread="caller"``) or from `threads` new native threads at once
    (``"native"``), each writing it once. `level` is passed on unchanged, whatever it is; the
    routines receive the text zero-terminated."""
    if thread not in ("caller", "native"):
        raise ValueError(f"thread must be 'caller' or 'native', not {thread!r}")
    if thread == "native" and threads < 1:
        raise ValueError("threads must be at least 1")
    keep: list[Any] = []
    if library().VESSAEMU_EmitLog(_text(message if message is not None else "", keep), level,
                                  threads if thread == "native" else 0):
        raise OSError("no native thread could be started")


def log_registrations() -> int:
    """How many log routines are registered (and not released)."""
    return int(library().VESSAEMU_LogRegistrations())

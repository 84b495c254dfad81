"""The one place where the clients start a native operation: it hands back a `Pending`, the
operation's async handle and, once the runtime completed it, its converted result.

The conversion runs in the completion callback, on the runtime's thread (or on the starting
thread, when the runtime completes inside the start call), so the native result object is read
and released there; the waiting side then gets a plain value or an `AuthError` (every failure of
the runtime becomes one, also while the result is read). A result for an operation whose wait
was given up (a timeout, a cancelled task) is dropped. In a forked child, every operation still
pending fails with RuntimeError (`FORKED`): it would never complete there.

It also knows which threads belong to the runtime: code the runtime runs (a completion, a log
line routed to `logging`) must not wait for the runtime, which would need that very thread to
finish the operation.

What runs at every call (the start, the hand-over, the thread's role) is `_results`' C code;
what it reports, and how, is decided here.
"""

from __future__ import annotations

import os
from collections.abc import Callable
from typing import Any

from . import _results
from . import pyvessaruntime as _native
from ._results import Delivery, Pending, on_runtime_thread, runtime_routine
from .errors import AuthError, Status, from_failure
from .pyvessaruntime import VESSARuntimeAsyncHandle

__all__ = ["FORKED", "NO_RESULT", "Delivery", "Pending", "forget_record", "on_runtime_thread",
           "owner_ended", "runtime_routine", "start", "start_native", "waiting_refused"]


def waiting_refused(client: object, method: str) -> RuntimeError:
    """The error of `client`'s `method` called where it would wait for the runtime on one of the
    runtime's own threads (`on_runtime_thread()`)."""
    call = f"{type(client).__name__}.{method}"
    return RuntimeError(
        f"{call} was called on a thread that delivers the runtime's completions or log lines "
        "(in a completion callback or a logging handler); waiting there for the runtime would "
        "never end, because the runtime needs this thread to finish the operation. Make the "
        "call from another thread (for example through a concurrent.futures executor).")


def owner_ended(call: str) -> RuntimeError | None:
    """The error of `call` made once the interpreter that owns the native module has begun to
    end (from an exit function, say), or None while it lives."""
    if not _results.owner_ended():
        return None
    return RuntimeError(
        f"{call} was called after this interpreter began to exit: the runtime binding has let "
        "go of it and accepts no operation or log routing any more. Make the call before the "
        "interpreter exits (an exit function registered after importing pyvessaruntime runs "
        "before it lets go).")


NO_RESULT = ("the runtime ended the operation without a result it could hand over (a null "
             "result handle, or a result object that could not be made; the native module "
             "reported which as an unraisable exception)")


# Operations started whose outcome is not in yet (taken out as it comes in).
_pending: set[Pending[Any]] = set()

FORKED = ("the process forked while this operation was pending: the runtime's threads do not "
          "follow a fork, so it never completes in the child; start the runtime and the "
          "operation again in the child")


def _fail_pending_after_fork() -> None:
    # Runs in the child: whoever waits there for an operation of the parent would wait for ever,
    # also for one whose result a thread of the parent was converting.
    failed = list(_pending)
    _pending.clear()
    for pending in failed:
        pending._fail(RuntimeError(FORKED))


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_fail_pending_after_fork)


def _no_result() -> AuthError:
    return AuthError(Status.Status_Unexpected, context=NO_RESULT)


def _handed_failure(exc: BaseException) -> BaseException:
    # What the waiting side gets when the conversion of a result failed: every failure of the
    # runtime as an `AuthError`.
    return from_failure(exc) or exc


def _refused(exc: BaseException, callback: Callable[..., object], typed: bool = True
             ) -> BaseException:
    """What a start that raised `exc` raises: with `typed`, a failure of the runtime as an
    `AuthError`. The callback's record is taken out of the native module's storage first."""
    try:
        forget_record(callback)
    except Exception:  # noqa: BLE001 - the refusal matters more than this tidying up
        pass
    # Once the owner has begun to end, the caller names its call in the error (`owner_ended`).
    failure = from_failure(exc) if typed and not _results.owner_ended() else None
    return exc if failure is None else failure


_results.configure(_pending, _handed_failure, _refused, _no_result)

#: ``start(operation, args, convert)``: starts ``operation(*args, callback)`` and returns its
#: `Pending`; the callback converts the result with `convert` on the completing thread. A
#: refusal to start raises its `AuthError` here; argument errors raise as the native module
#: raises them.
start: Callable[[Callable[..., VESSARuntimeAsyncHandle], tuple[Any, ...], Callable[[Any], Any]],
                Pending[Any]] = _results.start


def start_native(operation: Callable[..., VESSARuntimeAsyncHandle], args: tuple[Any, ...],
                 callback: Callable[..., object], *, typed: bool = True
                 ) -> VESSARuntimeAsyncHandle:
    """``operation(*args, callback)``, forgetting the callback's record when the start fails.
    With `typed`, a failure of the runtime raises as an `AuthError`; otherwise as the native
    module raised it."""
    try:
        return operation(*args, callback)
    except BaseException as exc:
        raised = _refused(exc, callback, typed)
        if raised is exc:
            raise
        raise raised from None


def forget_record(callback: Callable[..., object]) -> None:
    """Take the record of `callback` out of the native module's storage.

    The native module keeps the record of an operation that did not start; no completion will
    take it out, so an application retrying a refused call would fill the storage. The record
    was stored last, so the search starts from the newest; other threads may add or complete
    operations meanwhile, and the search then starts again.
    """
    storage = _native._callbackStorage
    while True:
        try:
            for key in reversed(storage):
                if storage[key].callback is callback:
                    storage.pop(key, None)
                    return
            return
        except (RuntimeError, KeyError):  # the storage changed under the search
            continue

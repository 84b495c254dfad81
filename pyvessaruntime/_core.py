"""The one place where the clients start a native operation: it hands back a
`concurrent.futures.Future` of the converted result and the operation's async handle.

The conversion runs in the completion callback, on the runtime's thread, so the native result
object is read and released there; the future then carries a plain value or an `AuthError`
(every failure of the runtime becomes one, also while the result is read). A result for a future
that was cancelled (a timeout, a cancelled task) is dropped. In a forked child, every operation
still pending fails with RuntimeError (`FORKED`): it would never complete there.

It also knows which threads belong to the runtime: code the runtime runs (a completion, a log
line routed to `logging`) must not wait for the runtime, which would need that very thread to
finish the operation.
"""

from __future__ import annotations

import concurrent.futures
import contextlib
import os
import threading
from collections.abc import Callable
from dataclasses import dataclass
from types import TracebackType
from typing import Any, Generic, TypeVar

from . import pyvessaruntime as _native
from .errors import from_failure
from .pyvessaruntime import VESSARuntimeAsyncHandle

T = TypeVar("T")


class _ThreadState(threading.local):
    depth = 0  # routines of the runtime running on this thread, nested
    runtime = False  # a thread Python did not start on which the runtime has called back


_here = _ThreadState()


class _RuntimeRoutine:
    """``with runtime_routine:`` around the Python code of a routine the runtime calls."""

    def __enter__(self) -> None:
        here = _here
        here.depth += 1
        # The runtime's own threads are ones Python did not start; once one has called back it
        # stays known, so a callback of the native module's own on it is caught as well.
        if not here.runtime and isinstance(threading.current_thread(), threading._DummyThread):
            here.runtime = True

    def __exit__(self, exc_type: type[BaseException] | None, exc: BaseException | None,
                 tb: TracebackType | None) -> None:
        _here.depth -= 1


runtime_routine = _RuntimeRoutine()


def refuse_on_runtime_thread(call: str) -> None:
    """Raise RuntimeError when `call` would wait for the runtime on one of its own threads."""
    here = _here
    if here.depth or here.runtime:
        raise RuntimeError(
            f"{call} was called on a thread that delivers the runtime's completions or log lines "
            "(in a completion callback or a logging handler); waiting there for the runtime would "
            "never end, because the runtime needs this thread to finish the operation. Make the "
            "call from another thread (for example through a concurrent.futures executor).")


@dataclass(frozen=True)
class Pending(Generic[T]):
    """A started operation: its future and its handle."""

    future: concurrent.futures.Future[T]
    handle: VESSARuntimeAsyncHandle

    def cancel(self) -> None:
        """Stop waiting and ask the runtime to cancel; the runtime may have finished already."""
        if self.future.cancel():
            # The runtime may already have completed it, or refuse for a reason of its own
            # (reported as the native module reports failures): either way nobody waits for the
            # operation any more.
            with contextlib.suppress(RuntimeError, ValueError):
                self.handle.cancel_async_operation()

    def outcome(self) -> T:
        """The result (or raises the failure) of an operation whose future is done."""
        return self.future.result(0)

    def has_outcome(self) -> bool:
        """Whether the runtime has delivered the outcome (and nobody cancelled the wait)."""
        return self.future.done() and not self.future.cancelled()


# Futures of operations started and not completed yet (their completion takes them out).
_pending: set[concurrent.futures.Future[Any]] = set()

FORKED = ("the process forked while this operation was pending: the runtime's threads do not "
          "follow a fork, so it never completes in the child; start the runtime and the "
          "operation again in the child")


def _fail_pending_after_fork() -> None:
    # Runs in the child: whoever waits there for an operation of the parent would wait for ever.
    failed = list(_pending)
    _pending.clear()
    for future in failed:
        with contextlib.suppress(concurrent.futures.InvalidStateError):
            future.set_exception(RuntimeError(FORKED))


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_fail_pending_after_fork)


def _settle(future: concurrent.futures.Future[T], convert: Callable[[Any], T], result: Any) -> None:
    _pending.discard(future)
    if future.cancelled():
        return
    with runtime_routine:
        try:
            value = convert(result)
        except BaseException as exc:  # noqa: BLE001 - handed to the waiting side, whatever it is
            with contextlib.suppress(concurrent.futures.InvalidStateError):
                future.set_exception(from_failure(exc) or exc)
            return
        with contextlib.suppress(concurrent.futures.InvalidStateError):
            future.set_result(value)


def start(operation: Callable[..., VESSARuntimeAsyncHandle], args: tuple[Any, ...],
          convert: Callable[[Any], T]) -> Pending[T]:
    """Start ``operation(*args, callback)``; the callback converts the result with `convert`.

    A refusal to start raises its `AuthError` here; argument errors raise as the native module
    raises them.
    """
    future: concurrent.futures.Future[T] = concurrent.futures.Future()

    def callback(result: Any) -> None:
        _settle(future, convert, result)

    # Before the start: the completion may come on another thread before the start returns.
    _pending.add(future)
    try:
        handle = start_native(operation, args, callback)
    except BaseException:
        _pending.discard(future)
        raise
    return Pending(future, handle)


def start_native(operation: Callable[..., VESSARuntimeAsyncHandle], args: tuple[Any, ...],
                 callback: Callable[..., object], *, typed: bool = True
                 ) -> VESSARuntimeAsyncHandle:
    """``operation(*args, callback)``, forgetting the callback's record when the start fails.
    With `typed`, a failure of the runtime raises as an `AuthError`; otherwise as the native
    module raised it."""
    try:
        return operation(*args, callback)
    except BaseException as exc:
        with contextlib.suppress(Exception):  # the refusal matters more than this tidying up
            forget_record(callback)
        failure = from_failure(exc) if typed else None
        if failure is not None:
            raise failure from None
        raise


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

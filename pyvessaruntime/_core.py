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
"""

from __future__ import annotations

import os
import threading
from _thread import allocate_lock
from collections.abc import Callable
from types import TracebackType
from typing import Any, Generic, TypeVar

from . import pyvessaruntime as _native
from .errors import AuthError, Status, from_failure
from .pyvessaruntime import VESSARuntimeAsyncHandle

T = TypeVar("T")


class _ThreadState(threading.local):
    depth = 0  # routines of the runtime running on this thread, nested
    runtime = False  # a thread Python did not start on which the runtime has called back
    checked = False  # whether `runtime` was decided for this thread


_here = _ThreadState()


class _RuntimeRoutine:
    """``with runtime_routine:`` around the Python code of a routine the runtime calls."""

    def __enter__(self) -> None:
        here = _here
        here.depth += 1
        # The runtime's own threads are ones Python did not start; once one has called back it
        # stays known, so a callback of the native module's own on it is caught as well. A
        # thread is one or the other for good: it is looked at once.
        if not here.checked:
            here.checked = True
            here.runtime = isinstance(threading.current_thread(), threading._DummyThread)

    def __exit__(self, exc_type: type[BaseException] | None, exc: BaseException | None,
                 tb: TracebackType | None) -> None:
        _here.depth -= 1


runtime_routine = _RuntimeRoutine()


def refuse_on_runtime_thread(client: object, method: str) -> None:
    """Raise RuntimeError when `client`'s `method` would wait for the runtime on one of its own
    threads."""
    here = _here
    if here.depth or here.runtime:
        call = f"{type(client).__name__}.{method}"
        raise RuntimeError(
            f"{call} was called on a thread that delivers the runtime's completions or log lines "
            "(in a completion callback or a logging handler); waiting there for the runtime would "
            "never end, because the runtime needs this thread to finish the operation. Make the "
            "call from another thread (for example through a concurrent.futures executor).")


class Pending(Generic[T]):
    """A started operation: its handle and, once the runtime completed it, its outcome.

    Exactly one of the completion and `cancel` wins the operation (a lock taken once, without
    waiting): a cancelled operation's result is dropped unread; a completed one cannot be
    cancelled any more. `done` becomes true once the outcome is in; `wait` blocks until then.
    """

    __slots__ = ("_claim", "_convert", "_done", "_error", "_notify", "_value", "done", "handle")

    handle: VESSARuntimeAsyncHandle

    def __init__(self, convert: Callable[[Any], T]) -> None:
        self._convert = convert
        self._claim = allocate_lock()
        self._done = allocate_lock()
        self._done.acquire()
        self._value: Any = None
        self._error: BaseException | None = None
        self._notify: Callable[[Pending[T]], None] | None = None
        self.done = False

    def _complete(self, result: Any) -> None:
        _pending.discard(self)
        if not self._claim.acquire(False):
            return  # the wait was given up: nobody reads this result
        with runtime_routine:
            try:
                self._value = self._convert(result)
            except BaseException as exc:  # noqa: BLE001 - handed to the waiting side, whatever
                self._error = from_failure(exc) or exc
            self._finish()

    def _fail(self, error: BaseException) -> None:
        if self._claim.acquire(False):
            self._error = error
            self._finish()

    def _no_result(self) -> None:
        _pending.discard(self)
        self._fail(AuthError(Status.Status_Unexpected, context=NO_RESULT))

    def _finish(self) -> None:
        self.done = True
        self._done.release()
        notify = self._notify
        if notify is not None:
            notify(self)

    def result(self) -> T:
        """The converted result, or the exception its conversion raised (once `done`)."""
        if self._error is not None:
            raise self._error
        return self._value  # type: ignore[no-any-return]

    def wait(self, timeout: float | None) -> bool:
        """Block until the outcome is in, at most `timeout` seconds (None: for ever); whether
        it is."""
        if self.done:
            return True
        if self._done.acquire(True, -1 if timeout is None else timeout):
            self._done.release()
            return True
        return False

    def when_done(self, notify: Callable[[Pending[T]], None]) -> None:
        """Have `notify(self)` called on the completing thread once the outcome is in.

        Set before the outcome came, it is called; set as the outcome comes it may be called
        or not: the caller looks at `done` after setting it, and must bear being told twice.
        """
        self._notify = notify

    def cancel(self) -> bool:
        """Give up the wait and ask the runtime to cancel; False if the result came first (it
        is then, or soon will be, `done`)."""
        if not self._claim.acquire(False):
            return False
        try:
            self.handle.cancel_async_operation()
        except (RuntimeError, ValueError):
            # The runtime may already have completed it, or refuse for a reason of its own
            # (reported as the native module reports failures): either way nobody waits for
            # the operation any more.
            pass
        return True


NO_RESULT = ("the runtime ended the operation without a result it could hand over (a null "
             "result handle, or a result object that could not be made; the native module "
             "reported which as an unraisable exception)")


class Delivery:
    """The callback of a started operation: ``deliver(result)`` when the runtime completes it.

    The native module drops its record of an operation, and this callback with it, once the
    completion came, whether it called back or not: a completion that brings no result (a null
    result handle, a result object that could not be made) is reported as unraisable and calls
    nothing. Whoever waited would wait for ever, so a delivery dropped uncalled calls
    `undelivered()` instead. It is also dropped uncalled when the start was refused; the start's
    exception then tells the caller, and nobody reads what `undelivered` settles.
    """

    __slots__ = ("_called", "_deliver", "_undelivered")

    def __init__(self, deliver: Callable[[Any], object], undelivered: Callable[[], object]) -> None:
        self._deliver = deliver
        self._undelivered = undelivered
        self._called = False

    def __call__(self, result: Any) -> None:
        self._called = True
        self._deliver(result)

    def __del__(self) -> None:
        if not self._called:
            try:
                self._undelivered()
            except BaseException:  # noqa: BLE001 - a finalizer must not raise
                pass


# Operations started and not completed yet (their completion takes them out).
_pending: set[Pending[Any]] = set()

FORKED = ("the process forked while this operation was pending: the runtime's threads do not "
          "follow a fork, so it never completes in the child; start the runtime and the "
          "operation again in the child")


def _fail_pending_after_fork() -> None:
    # Runs in the child: whoever waits there for an operation of the parent would wait for ever.
    failed = list(_pending)
    _pending.clear()
    for pending in failed:
        pending._fail(RuntimeError(FORKED))


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_fail_pending_after_fork)


def start(operation: Callable[..., VESSARuntimeAsyncHandle], args: tuple[Any, ...],
          convert: Callable[[Any], T]) -> Pending[T]:
    """Start ``operation(*args, callback)``; the callback converts the result with `convert`.

    A refusal to start raises its `AuthError` here; argument errors raise as the native module
    raises them.
    """
    pending = Pending(convert)
    # Before the start: the completion may come on another thread before the start returns.
    _pending.add(pending)
    try:
        pending.handle = start_native(operation, args,
                                      Delivery(pending._complete, pending._no_result))
    except BaseException:
        _pending.discard(pending)
        raise
    return pending


def start_native(operation: Callable[..., VESSARuntimeAsyncHandle], args: tuple[Any, ...],
                 callback: Callable[..., object], *, typed: bool = True
                 ) -> VESSARuntimeAsyncHandle:
    """``operation(*args, callback)``, forgetting the callback's record when the start fails.
    With `typed`, a failure of the runtime raises as an `AuthError`; otherwise as the native
    module raised it."""
    try:
        return operation(*args, callback)
    except BaseException as exc:
        try:
            forget_record(callback)
        except Exception:  # noqa: BLE001 - the refusal matters more than this tidying up
            pass
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

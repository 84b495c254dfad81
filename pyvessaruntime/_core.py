"""The one place where the clients start a native operation: it hands back a
`concurrent.futures.Future` of the converted result and the operation's async handle.

The conversion runs in the completion callback, on the runtime's thread, so the native result
object is read and released there; the future then carries a plain value or an `AuthError`. A
result for a future that was cancelled (a timeout, a cancelled task) is dropped. In a forked
child, every operation still pending fails with RuntimeError (`FORKED`): it would never complete
there.
"""

from __future__ import annotations

import concurrent.futures
import contextlib
import os
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any, Generic, TypeVar

from . import pyvessaruntime as _native
from .errors import from_refusal
from .pyvessaruntime import VESSARuntimeAsyncHandle

T = TypeVar("T")


@dataclass(frozen=True)
class Pending(Generic[T]):
    """A started operation: its future and its handle."""

    future: concurrent.futures.Future[T]
    handle: VESSARuntimeAsyncHandle

    def cancel(self) -> None:
        """Stop waiting and ask the runtime to cancel; the runtime may have finished already."""
        if self.future.cancel():
            # The runtime may already have completed it, or refuse for a reason of its own:
            # either way nobody waits for the operation any more.
            with contextlib.suppress(RuntimeError):
                self.handle.cancel_async_operation()


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
    try:
        value = convert(result)
    except BaseException as exc:  # noqa: BLE001 - handed to the waiting side, whatever it is
        with contextlib.suppress(concurrent.futures.InvalidStateError):
            future.set_exception(exc)
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
        handle = operation(*args, callback)
    except BaseException as exc:
        _pending.discard(future)
        with contextlib.suppress(Exception):  # the refusal matters more than this tidying up
            _forget(callback)
        if isinstance(exc, RuntimeError):
            raise from_refusal(exc) from None
        raise
    return Pending(future, handle)


def _forget(callback: Callable[[Any], None]) -> None:
    # The native module keeps the record of an operation that did not start; no completion will
    # take it out, so an application retrying a refused call would fill the storage.
    storage = _native._callbackStorage
    for key, record in list(storage.items()):
        if record.callback is callback:
            storage.pop(key, None)

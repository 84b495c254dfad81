"""Conveniences over the native module's callbacks: futures and awaitables for its asynchronous
operations, and `running` (the same as ``pyvessaruntime.running``).

They add to the native module and change none of its behaviour: each operation still returns
its `VESSARuntimeAsyncHandle`, calls back on a runtime thread and raises as the native module
raises; these helpers only carry the result object over to the waiting side, and take the
callback record of a start the runtime refused out of the native module's storage (nothing else
would, ever). A completion that brings no result, which the native module reports as unraisable
and never calls back for, fails the wait with RuntimeError instead of leaving it waiting.
"""

from __future__ import annotations

import asyncio
import concurrent.futures
from collections.abc import Callable
from typing import Any

from . import _core
from .client import running
from .errors import from_failure

__all__ = ["run", "running", "start_future"]


def start_future(operation: Callable[..., Any], *args: Any) -> concurrent.futures.Future[Any]:
    """Start ``operation(*args, callback)`` and return a future resolved with its result object.

    The future's ``async_handle`` attribute holds the operation's `VESSARuntimeAsyncHandle`;
    cancelling the future asks the runtime to cancel the operation (its result, an error
    result, then arrives as usual and is dropped; so is the result of an operation the runtime
    refused to cancel).
    """
    future: concurrent.futures.Future[Any] = concurrent.futures.Future()

    # The application may cancel the future on its own thread while the runtime's thread settles
    # it: asking `done()` first would leave a moment between the question and the setting, so
    # the setting is tried and a future settled meanwhile keeps what it has.
    def deliver(result: Any) -> None:
        try:
            future.set_result(result)
        except concurrent.futures.InvalidStateError:
            pass

    def undelivered() -> None:
        try:
            future.set_exception(RuntimeError(_core.NO_RESULT))
        except concurrent.futures.InvalidStateError:
            pass

    future.async_handle = _core.start_native(  # type: ignore[attr-defined]
        operation, args, _core.Delivery(deliver, undelivered), typed=False)

    def cancel_operation(settled: concurrent.futures.Future[Any]) -> None:
        if settled.cancelled():
            _cancel_operation(future.async_handle)  # type: ignore[attr-defined]

    future.add_done_callback(cancel_operation)
    return future


def _cancel_operation(handle: Any) -> BaseException | None:
    """Ask the runtime to cancel an operation; its refusal is returned, since the waiter was
    cancelled already and nothing waits for the outcome it changes."""
    try:
        handle.cancel_async_operation()
    except (RuntimeError, ValueError) as refusal:
        if from_failure(refusal) is None:
            raise
        return refusal
    return None


async def run(operation: Callable[..., Any], *args: Any) -> Any:
    """Start ``operation(*args, callback)`` and wait for its result object without blocking the
    event loop. Cancelling the awaiting task cancels the runtime operation; should the runtime
    refuse, the task is cancelled all the same, with a note saying so."""
    loop = asyncio.get_running_loop()
    waiter: asyncio.Future[Any] = loop.create_future()

    def settle(result: Any, error: BaseException | None = None) -> None:
        if waiter.done():
            return
        if error is None:
            waiter.set_result(result)
        else:
            waiter.set_exception(error)

    def deliver(result: Any, error: BaseException | None = None) -> None:
        try:
            loop.call_soon_threadsafe(settle, result, error)
        except RuntimeError:
            pass  # the loop is closed: nobody waits for this result any more

    def undelivered() -> None:
        if started:  # a refused start raised already; nobody awaits the waiter
            deliver(None, RuntimeError(_core.NO_RESULT))

    started = False
    # Held until `started` is set: a completion inside the start call may have dropped the
    # native record already, and the delivery must not be finalized before it can tell.
    delivery = _core.Delivery(deliver, undelivered)
    handle = _core.start_native(operation, args, delivery, typed=False)
    started = True
    del delivery
    try:
        return await waiter
    except asyncio.CancelledError as cancelled:
        refusal = _cancel_operation(handle)
        if refusal is not None:
            cancelled.add_note(f"the runtime refused to cancel the operation: {refusal}")
        raise

"""How `AsyncClient` waits for started operations on an event loop without blocking it.

An operation's result comes on one of the runtime's threads; the waiting task needs it on the
loop's. Results are handed over through an inbox: the loop is woken (a write to its self-pipe)
once for each batch of results that arrive while it is busy, not once for each. Most waits of a
client end after the same timeout, so they end in the order they began: one timer of the loop,
set for the earliest, ends each of those that is due, instead of a timer (and a heap entry) per
wait; a wait that would end before one begun earlier (a call's shorter timeout, what is left of
one after a retry) has a timer of its own. Imported by the first asynchronous wait, with
asyncio.
"""

from __future__ import annotations

import asyncio
from _thread import allocate_lock
from collections import OrderedDict
from collections.abc import Callable
from typing import Any, TypeVar

from ._core import Pending

T = TypeVar("T")


def _settle(waiter: asyncio.Future[T], pending: Pending[T]) -> None:
    # On the loop's thread; a waiter settled already (told twice, timed out, or cancelled with
    # its task) is left as it is.
    if waiter.done():
        return
    try:
        waiter.set_result(pending.result())
    except BaseException as exc:  # noqa: BLE001 - the conversion's own failure, handed on
        waiter.set_exception(exc)


# A wait that may time out: when, what it waits for, and the exception that ends it then.
_Deadline = tuple[float, Pending[Any], Callable[[], BaseException]]


class LoopWaits:
    """The waits of one client on one event loop."""

    __slots__ = ("_arrived", "_deadlines", "_lock", "_own_timers", "_scheduled", "_timer",
                 "loop")

    def __init__(self, loop: asyncio.AbstractEventLoop) -> None:
        self.loop = loop
        self._lock = allocate_lock()  # guards the two below, which any thread may touch
        self._arrived: list[tuple[asyncio.Future[Any], Pending[Any]]] = []
        self._scheduled = False
        # The loop's thread alone touches these: the waits that may time out in the order they
        # end, under the one timer; and those that end earlier than one before them.
        self._deadlines: OrderedDict[asyncio.Future[Any], _Deadline] = OrderedDict()
        self._timer: asyncio.TimerHandle | None = None
        self._own_timers: dict[asyncio.Future[Any], asyncio.TimerHandle] = {}

    def begin(self, pending: Pending[T], timeout: float | None,
              timed_out: Callable[[], BaseException]) -> asyncio.Future[T]:
        """The future the task awaits for `pending`; on the loop's thread. After `timeout`
        seconds (None: never) the operation is cancelled and the wait ends with `timed_out()`.
        Pass it to `end` once the wait is over, however it ended."""
        loop = self.loop
        waiter: asyncio.Future[T] = loop.create_future()
        # Called on the runtime's thread, or on this one if the operation completed at once.
        pending.when_done(lambda done: self._arrive(waiter, done))
        if pending.done:  # it came as the hand-over was being set: settle it here
            _settle(waiter, pending)
        elif timeout is not None:
            deadline = loop.time() + timeout
            deadlines = self._deadlines
            if deadlines and deadline < next(reversed(deadlines.values()))[0]:
                self._own_timers[waiter] = loop.call_at(
                    deadline, self._expire_one, waiter, pending, timed_out)
                return waiter
            deadlines[waiter] = (deadline, pending, timed_out)
            if self._timer is None:
                self._timer = loop.call_at(deadline, self._expire)
        return waiter

    def end(self, waiter: asyncio.Future[Any]) -> None:
        """The wait for `waiter` is over."""
        if self._deadlines.pop(waiter, None) is None and self._own_timers:
            timer = self._own_timers.pop(waiter, None)
            if timer is not None:
                timer.cancel()

    def _arrive(self, waiter: asyncio.Future[T], pending: Pending[T]) -> None:
        with self._lock:
            self._arrived.append((waiter, pending))
            if self._scheduled:
                return
            self._scheduled = True
        try:
            self.loop.call_soon_threadsafe(self._deliver)
        except RuntimeError:
            pass  # the loop is closed: nobody waits

    def _deliver(self) -> None:
        with self._lock:
            arrived, self._arrived = self._arrived, []
            self._scheduled = False
        for waiter, pending in arrived:
            _settle(waiter, pending)

    def _expire(self) -> None:
        self._timer = None
        deadlines = self._deadlines
        now = self.loop.time()
        while deadlines:
            waiter, (deadline, pending, timed_out) = next(iter(deadlines.items()))
            if deadline > now:
                self._timer = self.loop.call_at(deadline, self._expire)
                return
            del deadlines[waiter]
            _time_out(waiter, pending, timed_out)

    def _expire_one(self, waiter: asyncio.Future[Any], pending: Pending[Any],
                    timed_out: Callable[[], BaseException]) -> None:
        self._own_timers.pop(waiter, None)
        _time_out(waiter, pending, timed_out)


def _time_out(waiter: asyncio.Future[Any], pending: Pending[Any],
              timed_out: Callable[[], BaseException]) -> None:
    # A result that came first is delivered as it is; otherwise the operation is cancelled and
    # the wait ends.
    if not waiter.done() and pending.cancel():
        waiter.set_exception(timed_out())

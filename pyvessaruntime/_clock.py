"""The one clock the typed layer reads "now" from: the emulator's while the emulator is the
runtime, so that a test that freezes or advances it (`emulator.freeze`, `emulator.advance`)
moves what the application sees (a token's `expires_in`, whether it `is_expired`) as it moves the
emulator's expiry; the system's against any other runtime.

Which of the two is decided at the first reading, once: importing the package costs nothing for
it, and a program on another runtime never loads the emulator's controls. The emulator counts
whole seconds, and so does this clock while it is the runtime: the application then sees exactly
the time the emulator issues and expires tokens by, which is never ahead of the system's time
unless a test moved it, and never more than a second behind. Delays and timeouts are real waits
whatever this clock says (`time.sleep`, `asyncio.sleep`, the monotonic clock).
"""

from __future__ import annotations

import datetime
import functools
from collections.abc import Callable

__all__ = ["now"]

_read: Callable[[], datetime.datetime] | None = None


def now() -> datetime.datetime:
    """The time now (an aware UTC `datetime`) by the clock the runtime issues tokens by: the
    emulator's, in whole seconds, while the emulator is the runtime (its `freeze` and `advance`
    move it); the system's otherwise."""
    return (_read or _choose())()


def _choose() -> Callable[[], datetime.datetime]:
    global _read
    # Unguarded: threads that read at once each make an equal reader.
    from . import _runtime

    if _runtime.is_emulator():
        from ._emulator_library import library

        seconds = library().VESSAEMU_Now
        from_seconds = datetime.datetime.fromtimestamp

        def read() -> datetime.datetime:
            return from_seconds(seconds(), datetime.UTC)
    else:
        read = functools.partial(datetime.datetime.now, datetime.UTC)
    _read = read
    return read

"""The one clock the typed layer reads "now" from: the emulator's while the emulator is the
runtime, so that a test that freezes or advances it (`emulator.freeze`, `emulator.advance`)
moves what the application sees (a token's `expires_in`, whether it `is_expired`) as it moves the
emulator's expiry; the system's against any other runtime.

Which of the two is decided at the first reading, once: importing the package costs nothing for
it, and a program on another runtime never loads the emulator's controls. The emulator issues
and expires tokens by whole seconds; this clock reads it to the microsecond (a frozen one shows
its second exactly, a running one the system's fraction of it), so a token expires for the
application at the very second it does for the emulator, and time still passes in between.
Delays and timeouts are real waits whatever this clock says (`time.sleep`, `asyncio.sleep`, the
monotonic clock).
"""

from __future__ import annotations

import datetime
import functools
from collections.abc import Callable

__all__ = ["now"]

_read: Callable[[], datetime.datetime] | None = None


def now() -> datetime.datetime:
    """The time now (an aware UTC `datetime`) by the clock the runtime issues tokens by: the
    emulator's while the emulator is the runtime (its `freeze` and `advance` move it), the
    system's otherwise."""
    return (_read or _choose())()


def _choose() -> Callable[[], datetime.datetime]:
    global _read
    # Unguarded: threads that read at once each make an equal reader.
    from . import _runtime

    if _runtime.is_emulator():
        from ._emulator_library import library

        microseconds = library().VESSAEMU_NowMicroseconds
        epoch = datetime.datetime(1970, 1, 1, tzinfo=datetime.UTC)

        def read() -> datetime.datetime:
            # Exact, where a float of the seconds would round the microseconds.
            return epoch + datetime.timedelta(microseconds=microseconds())
    else:
        read = functools.partial(datetime.datetime.now, datetime.UTC)
    _read = read
    return read

"""`log_to`: the runtime's log lines as records of a standard `logging` logger.

The routing registers a log routine of its own with the runtime (through `ctypes`, beside the
native module's registrations, which it leaves alone), so it sees every line as the runtime
wrote it: a level the runtime's enumeration does not know is logged at WARNING with its number,
and text that is not valid UTF-16 arrives with U+FFFD in place of what cannot be decoded.
"""

from __future__ import annotations

import atexit
import ctypes
import logging
import os
import sys
import threading
from types import TracebackType
from typing import Any

from . import pyvessaruntime as _native
from .errors import AuthError

__all__ = ["LogRouting", "log_to"]

# Runtime level -> logging level.
LEVELS = {1: logging.DEBUG, 2: logging.DEBUG, 3: logging.INFO, 4: logging.WARNING,
          5: logging.ERROR, 6: logging.CRITICAL}

_MAX_UNITS = 65536  # the longest line taken, as the native module cuts them

if sys.platform == "win32":
    _ROUTINE = ctypes.WINFUNCTYPE(None, ctypes.c_void_p, ctypes.c_int32, ctypes.c_void_p)
else:
    _ROUTINE = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_int32, ctypes.c_void_p)

_runtime_lock = threading.Lock()
_runtime_lib: Any = None


def _runtime() -> Any:
    """The runtime library the native module loaded (not a second copy)."""
    global _runtime_lib
    with _runtime_lock:
        if _runtime_lib is None:
            if sys.platform == "win32":
                lib: Any = ctypes.WinDLL("vessaruntime.dll")
            else:
                # Symbols looked up through the extension's handle come from its dependencies,
                # whatever the runtime library's file is called.
                lib = ctypes.CDLL(_native.__file__, mode=os.RTLD_NOLOAD | os.RTLD_NOW)
            p = ctypes.c_void_p
            lib.VESSARUNTIME_RegisterLogCallback.argtypes = [_ROUTINE, p, ctypes.POINTER(p)]
            lib.VESSARUNTIME_RegisterLogCallback.restype = p
            lib.VESSARUNTIME_ReleaseLogCallbackHandle.argtypes = [p]
            lib.VESSARUNTIME_ReleaseLogCallbackHandle.restype = p
            lib.VESSARUNTIME_ReleaseError.argtypes = [p]
            lib.VESSARUNTIME_ReleaseError.restype = p
            for name, slot in (("GetStatus", ctypes.c_int32), ("GetErrorCode", ctypes.c_int64),
                               ("GetTag", ctypes.c_int32)):
                function = getattr(lib, "VESSARUNTIME_" + name)
                function.argtypes = [p, ctypes.POINTER(slot)]
                function.restype = p
            _runtime_lib = lib
        return _runtime_lib


def _refusal(lib: Any, error: int) -> AuthError:
    """The `AuthError` for a refused registration; releases the error handle."""
    status, code, tag = ctypes.c_int32(0), ctypes.c_int64(0), ctypes.c_int32(0)
    for name, slot in (("GetStatus", status), ("GetErrorCode", code), ("GetTag", tag)):
        query_error = getattr(lib, "VESSARUNTIME_" + name)(error, ctypes.byref(slot))
        if query_error:
            lib.VESSARUNTIME_ReleaseError(query_error)
    lib.VESSARUNTIME_ReleaseError(error)
    return AuthError(status.value, code.value, tag.value,
                     "the runtime refused to register a log routine")


def _decode(address: int) -> str:
    """The zero-terminated UTF-16 text at `address`, cut at `_MAX_UNITS` units.

    The units are read one by one up to the terminator: reading further, even within a mapped
    page, would read past the runtime's buffer.
    """
    units = (ctypes.c_uint16 * _MAX_UNITS).from_address(address)
    length = 0
    while length < _MAX_UNITS and units[length]:
        length += 1
    return ctypes.string_at(address, 2 * length).decode("utf-16-le", "replace")


_open_routings: set[LogRouting] = set()


class LogRouting:
    """A routing of the runtime's log lines into `logger`, made by `log_to`; `close()` ends it
    (as does leaving its ``with`` block, `shutdown`, and interpreter exit)."""

    def __init__(self, logger: logging.Logger) -> None:
        self.logger = logger
        self._lock = threading.Lock()
        self._routine = _ROUTINE(self._line)
        lib = _runtime()
        handle = ctypes.c_void_p()
        error = lib.VESSARUNTIME_RegisterLogCallback(self._routine, None, ctypes.byref(handle))
        if error:
            raise _refusal(lib, error)
        self._handle: int | None = handle.value
        _open_routings.add(self)

    @property
    def closed(self) -> bool:
        """Whether the routing has ended."""
        return self._handle is None

    def _line(self, message: int | None, level: int, _context: int | None) -> None:
        text = _decode(message) if message else ""
        known = LEVELS.get(level)
        if known is None:
            self.logger.log(logging.WARNING, "[runtime log level %d] %s", level, text,
                            extra={"runtime_level": level})
        elif self.logger.isEnabledFor(known):
            self.logger.log(known, "%s", text, extra={"runtime_level": level})

    def close(self) -> None:
        """End the routing; lines being delivered on other threads are finished first. Closing
        again does nothing."""
        with self._lock:
            handle, self._handle = self._handle, None
            _open_routings.discard(self)
        if handle is not None:
            lib = _runtime()
            error = lib.VESSARUNTIME_ReleaseLogCallbackHandle(handle)
            if error:
                lib.VESSARUNTIME_ReleaseError(error)
        # The routine stays referenced by this object, which the runtime no longer calls.

    def __enter__(self) -> LogRouting:
        return self

    def __exit__(self, exc_type: type[BaseException] | None, exc: BaseException | None,
                 tb: TracebackType | None) -> None:
        self.close()

    def __repr__(self) -> str:
        state = "closed" if self.closed else "open"
        return f"<LogRouting to {self.logger.name!r}, {state}>"


def log_to(logger: str | logging.Logger = "vessaruntime", *, pii: bool | None = None
           ) -> LogRouting:
    """Route the runtime's log lines into a `logging` logger (a name or a `Logger`).

    TRACE and DEBUG lines become DEBUG records, INFO INFO, WARNING WARNING, ERROR ERROR and FATAL
    CRITICAL; a line with a level the runtime's enumeration does not know is logged at WARNING
    with its number. Each record's ``runtime_level`` attribute holds the runtime's level number.
    `pii`, when given, switches the runtime's logging of personal data on or off. Returns a
    `LogRouting`: call `close()` or use it as a context manager to end the routing.
    """
    if not isinstance(logger, (str, logging.Logger)):
        raise TypeError(f"logger must be a name or a logging.Logger, not {type(logger).__name__}")
    target = logger if isinstance(logger, logging.Logger) else logging.getLogger(logger)
    if pii is not None:
        _native.set_is_pii_enabled(bool(pii))
    return LogRouting(target)


def close_all() -> None:
    """End every open routing (at shut-down and at exit, before the routines could go away)."""
    for routing in list(_open_routings):
        routing.close()


atexit.register(close_all)

"""`log_to`: the runtime's log lines as records of a standard `logging` logger.

A routing is a registration of the native module (`register_logging_callback`), so its lines
arrive as the native module delivers them: decoded (U+FFFD in place of what is not valid
UTF-16), with a `LogLevel`. A line whose level the enumeration lacks is the native module's to
report (to `sys.unraisablehook`); it is not routed.

A routing lasts until it is closed. Shutting the runtime down ends the native registration; the
next `start` registers every open routing again, so a routing spans shut-down and start-up cycles.
"""

from __future__ import annotations

import atexit
import logging
import sys
import threading
from collections.abc import Collection
from types import TracebackType

from . import _core
from . import pyvessaruntime as _native
from .errors import from_failure
from .pyvessaruntime import LogLevel, VESSARuntimeLogCallbackHandle

__all__ = ["LogRouting", "log_to"]

LEVELS = {LogLevel.TRACE: logging.DEBUG, LogLevel.DEBUG: logging.DEBUG,
          LogLevel.INFO: logging.INFO, LogLevel.WARNING: logging.WARNING,
          LogLevel.ERROR: logging.ERROR, LogLevel.FATAL: logging.CRITICAL}

# The same by the level's number: a member as a key is hashed by the enumeration, in Python.
_BY_NUMBER = {level.value: logging_level for level, logging_level in LEVELS.items()}

_lock = threading.RLock()  # guards the routings and the PII switch below
_open_routings: list[LogRouting] = []  # in the order they were opened
# What the layer last asked of the runtime's PII switch: the runtime's own default (off) until
# a routing sets it.
_pii_enabled = False


class LogRouting:
    """A routing of the runtime's log lines into `logger`, made by `log_to`; `close()` ends it
    (as does leaving its ``with`` block, and interpreter exit). It outlives `shutdown` and is
    registered again by the next `start`."""

    def __init__(self, logger: logging.Logger, pii: bool | None) -> None:
        self.logger = logger
        self.pii = pii
        self._handle: VESSARuntimeLogCallbackHandle | None = None
        self._closed = False
        # One bound method for good: the native module's record of it is found by identity.
        self._routine = self._line
        with _lock:
            self._register("log_to")
            _open_routings.append(self)
            if pii is not None:
                _apply_pii()

    @property
    def closed(self) -> bool:
        """Whether the routing has ended."""
        return self._closed

    def _register(self, call: str) -> None:
        try:
            self._handle = _native.register_logging_callback(self._routine)
        except BaseException as exc:
            # The native module keeps the record of a refused registration; nothing will use it.
            _core.forget_record(self._routine)
            failure: Exception | None = None
            if isinstance(exc, RuntimeError):
                failure = _core.owner_ended(call)
            if failure is None:
                failure = from_failure(exc)
            if failure is not None:
                raise failure from None
            raise

    def _is_registered(self) -> bool:
        # The native module's shut-down releases every registration and drops it from this
        # storage, which is where a routing learns that it must register again.
        return self._handle is not None and self._handle in _native._logCallbackStorage

    def _line(self, message: str, level: LogLevel) -> None:
        number = level._value_  # `value` would go through the enumeration's descriptor
        logging_level = _BY_NUMBER[number]
        logger = self.logger
        if logger.isEnabledFor(logging_level):
            try:
                logger.log(logging_level, "%s", message, extra={"runtime_level": number})
            except Exception:  # noqa: BLE001 - a handler's fault, reported once here
                _report_handler_failure()

    def close(self) -> None:
        """End the routing; lines being delivered on other threads are finished first. A PII
        setting it made gives way to that of the routing opened before it that is still open
        (or to off). Closing again does nothing."""
        with _lock:
            if self._closed:
                return
            self._closed = True
            _open_routings.remove(self)
            handle, self._handle = self._handle, None
        # Outside the lock: the release waits for lines in delivery, whose handlers may open or
        # close routings themselves.
        if handle is not None:
            handle.release_logging_callback()
        if self.pii is not None:
            with _lock:
                _apply_pii()

    def __enter__(self) -> LogRouting:
        return self

    def __exit__(self, exc_type: type[BaseException] | None, exc: BaseException | None,
                 tb: TracebackType | None) -> None:
        self.close()

    def __repr__(self) -> str:
        state = "closed" if self.closed else "open"
        return f"<LogRouting to {self.logger.name!r}, {state}>"


def _report_handler_failure() -> None:
    """Report the failure of a logging handler as `logging.Handler.handleError` does: once on
    standard error, while `logging.raiseExceptions` is true. Raised to the native module, it
    would be printed and reported as unraisable besides, its traceback twice."""
    if logging.raiseExceptions and sys.stderr is not None:
        import traceback

        sys.stderr.write("--- Logging error in a handler of the runtime's log lines ---\n")
        traceback.print_exc(file=sys.stderr)


def _apply_pii(*, again: bool = False) -> None:
    """Set the runtime's PII switch to what the newest open routing that set one asks (off
    without one), when that differs from what the layer last set, or `again`."""
    global _pii_enabled
    wanted = next((r.pii for r in reversed(_open_routings) if r.pii is not None), False)
    if again or wanted != _pii_enabled:
        _native.set_is_pii_enabled(wanted)
        _pii_enabled = wanted


def log_to(logger: str | logging.Logger = "vessaruntime", *, pii: bool | None = None
           ) -> LogRouting:
    """Route the runtime's log lines into a `logging` logger (a name or a `Logger`).

    TRACE and DEBUG lines become DEBUG records, INFO INFO, WARNING WARNING, ERROR ERROR and FATAL
    CRITICAL. Each record's ``runtime_level`` attribute holds the runtime's level number. `pii`,
    when given, switches the runtime's logging of personal data on or off while the routing is
    open. Returns a `LogRouting`: call `close()` or use it as a context manager to end the
    routing. A handler that raises is reported once on standard error, as `logging` reports a
    handler's failure (while `logging.raiseExceptions`).
    """
    if not isinstance(logger, (str, logging.Logger)):
        raise TypeError(f"logger must be a name or a logging.Logger, not {type(logger).__name__}")
    if pii is not None and not isinstance(pii, bool):
        raise TypeError(f"pii must be True, False or None, not {type(pii).__name__}")
    target = logger if isinstance(logger, logging.Logger) else logging.getLogger(logger)
    return LogRouting(target, pii)


def before_start() -> None:
    """Register again every open routing that a shut-down ended, and set the PII switch again,
    so that the start-up's own lines are routed too."""
    with _lock:
        for routing in _open_routings:
            if not routing._is_registered():
                routing._register("start")
        if any(r.pii is not None for r in _open_routings):
            _apply_pii(again=True)  # the runtime may have forgotten it as it shut down


def close_all(keep: Collection[LogRouting] = ()) -> None:
    """End every open routing but those to `keep` (at exit, before the routines could go away)."""
    # Listed under the lock: a routing another thread closes meanwhile would shift the list
    # under an unguarded walk, which could then skip one that is still open. Closed outside it,
    # as `close` must be.
    with _lock:
        routings = [r for r in _open_routings if r not in keep]
    for routing in routings:
        routing.close()


atexit.register(close_all)

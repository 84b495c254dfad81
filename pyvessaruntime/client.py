"""`Client` and `AsyncClient`: sign-in, tokens and accounts as typed calls that return `Token`
and `Account` values or raise `AuthError`; and `start`, `shutdown`, `running`, `is_running` for
the runtime, which a client's first call starts itself when the application started none.

Both clients check their arguments and build their requests in `_Requests`, start them through
the one core (`_core.start`) and differ only in how they wait: `Client` blocks the calling
thread, `AsyncClient` suspends the awaiting task. A wait that ends early (a timeout, a cancelled
task, an interrupt) cancels the native operation; an outcome that arrived as the wait ended is
returned, not dropped.
"""

from __future__ import annotations

import atexit
import binascii
import contextlib
import enum
import json
import logging
import math
import numbers
import os
import sys
import threading
import time
from collections.abc import Callable, Collection, Iterable, Iterator, Mapping
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Generic, TypeAlias, TypedDict, TypeVar, Unpack

from . import _core, _recording, _runtime, log_bridge
from . import pyvessaruntime as _native
from ._core import Pending
from ._results import plain_scopes
from .errors import AuthError, OperationTimedOut, TransientError, from_failure
from .models import (
    Account,
    Token,
    native_of,
    to_accounts,
    to_found_account,
    to_signed_out,
    to_token,
)

if TYPE_CHECKING:
    import asyncio

    from ._loop_waits import LoopWaits

__all__ = ["AsyncClient", "Claims", "Client", "PopParams", "RequestOptions", "RetryPolicy",
           "Scopes", "is_running", "running", "shutdown", "start"]

T = TypeVar("T")
# The scopes of a request: an iterable of scope names (a list, a tuple, ...), never one str.
Scopes: TypeAlias = Iterable[str]
# Extra claims to ask for: their JSON text, or a mapping that is sent as JSON.
Claims: TypeAlias = str | Mapping[str, Any]

# Lifetimes of the runtime: started by the first `start` (or by a client's call while none is in
# force), shut down by the `shutdown` that ends the last one.
_lifetime_lock = threading.Lock()
_starts = 0
# The thread holding the lock: the runtime delivers the lines of its start-up and shut-down on
# that thread, where a logging handler that starts or stops the runtime would wait for itself.
_lifetime_owner: int | None = None


@contextlib.contextmanager
def _lifetime(call: str) -> Iterator[None]:
    """The lifetime lock held by this thread, or RuntimeError at once where it holds it already."""
    global _lifetime_owner
    if _lifetime_owner == threading.get_ident():
        named = call if "." in call else f"{call}()"  # a client's method, or start()/shutdown()
        raise RuntimeError(
            f"{named} was called while this thread starts or shuts down the runtime, from code "
            "the runtime runs meanwhile (a logging handler under log_to receiving the start-up's "
            "or shut-down's own lines): the runtime cannot start or stop inside its own start-up "
            "or shut-down. Call it from elsewhere, after the start() or shutdown() returned.")
    with _lifetime_lock:
        _lifetime_owner = threading.get_ident()
        try:
            yield
        finally:
            _lifetime_owner = None

# Whether one of `_starts` is the layer's own, made by a client's call; the interpreter's exit
# ends it, or the application's `shutdown` when it is the last.
_started_on_first_use = False
# What ended the runtime for good as far as client calls go (the Python call, for their error),
# or None while a call may still start it: once the application has shut the runtime down
# itself, it runs the runtime from then on.
_first_use_ended: str | None = None
_exit_registered = False


def start() -> None:
    """Start the runtime, or join it when it runs already: each `start` needs its `shutdown`,
    and the runtime stops with the last one. Open log routings are registered first, so the
    start-up's own lines reach them.

    Raises `AuthError` when the runtime refuses to start.
    """
    global _starts
    with _lifetime("start"):
        if _starts == 0:
            # Before the runtime starts, so that a warning made an error leaves nothing started.
            _runtime.warn_if_emulator()
            _start_runtime()
        _starts += 1


def _start_runtime() -> None:
    """Start the runtime itself, open log routings registered first (under the lifetime lock)."""
    log_bridge.before_start()
    try:
        _native._startup_vessaruntime()
    except BaseException as exc:
        failure = from_failure(exc)
        if failure is not None:
            raise failure from None
        raise


def shutdown() -> None:
    """End a `start`: the application's latest, or, when none of its own is left, the one a
    client's first call made. The one that ends the last shuts the runtime down, and operations
    still pending then complete with `OperationCanceled`; from then on client calls no longer
    start the runtime themselves (they raise RuntimeError until `start` or `running` starts it
    again). Log routings stay open for the next start.

    Raises RuntimeError when no `start` is left to end.
    """
    global _starts, _started_on_first_use, _first_use_ended
    with _lifetime("shutdown"):
        if _starts == 0:
            raise RuntimeError("shutdown() without a start() to end: the runtime is not running")
        if _starts == 1:
            _native._shutdown_vessaruntime()
            _started_on_first_use = False
            _first_use_ended = "pyvessaruntime.shutdown() ended the runtime"
        _starts -= 1


def is_running() -> bool:
    """Whether a `start` (or a `running` block, or a client's first call) keeps the runtime
    running."""
    return _starts > 0


def _start_on_first_use(call: str) -> None:
    """Start the runtime for `call`, a client's method called while no start is in force; the
    start is the layer's, ended at interpreter exit. RuntimeError, naming `call`, once the
    application's own `shutdown` (or the exit) has ended the runtime."""
    global _starts, _started_on_first_use, _exit_registered
    ended = _core.owner_ended(call)
    if ended is not None:
        raise ended
    with _lifetime(call):
        if _starts:  # another thread started it meanwhile
            return
        if _first_use_ended is not None:
            raise RuntimeError(f"{call} was called after {_first_use_ended}: call "
                               "pyvessaruntime.start() (or use running()) first")
        _runtime.warn_if_emulator()
        _start_runtime()
        _starts = 1
        _started_on_first_use = True
        if not _exit_registered:
            # Registered after the native module's own exit function, so it runs first, while
            # the module still accepts a shut-down.
            atexit.register(_end_start_on_first_use)
            _exit_registered = True


def _end_start_on_first_use() -> None:
    """At exit: end the start a client's first call made, if it is still in force; later calls
    (from other exit functions) no longer start the runtime."""
    global _starts, _started_on_first_use, _first_use_ended
    with _lifetime("shutdown"):
        _first_use_ended = "the interpreter began to exit and shut the runtime down"
        if not _started_on_first_use:
            return
        _started_on_first_use = False
        if _starts == 1:
            _native._shutdown_vessaruntime()
        _starts -= 1


# What the fixtures of tests note before a test and restore after it: the count of starts,
# whether one is the layer's, and what ended starts on first use.
_Lifetimes: TypeAlias = tuple[int, bool, str | None]


def _lifetimes() -> _Lifetimes:
    return _starts, _started_on_first_use, _first_use_ended


def _forget_starts() -> None:
    """Forget every start, the layer's too, as if none had been made (the runtime is shut down,
    or never ran, by other means)."""
    global _starts, _started_on_first_use, _first_use_ended
    _starts, _started_on_first_use, _first_use_ended = 0, False, None


def _forget_starts_in_forked_child() -> None:
    # The runtime does not run in a forked child (its threads stay with the parent), so the
    # parent's starts do not either: the child's first start() or client call starts the
    # runtime there. The exit function the parent registered is the child's too.
    global _lifetime_lock, _lifetime_owner
    _forget_starts()
    _lifetime_lock = threading.Lock()  # another thread may have held it at the fork
    _lifetime_owner = None


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_forget_starts_in_forked_child)

_recording.record_process()


@contextlib.contextmanager
def running() -> Iterator[None]:
    """Run the runtime for the duration of a ``with`` block: `start` on entry, `shutdown` on
    exit, also when the block raises. Blocks nest, with each other and with `start`."""
    start()
    try:
        yield
    finally:
        shutdown()


def _end_starts_since(before: _Lifetimes, keep: Collection[log_bridge.LogRouting] = ()
                      ) -> None:
    """Close every log routing but those to `keep`, and take the starts back to `before`, what
    `_lifetimes()` said before a test (a start a client's first call made in the test is ended
    like the test's own), shutting the runtime down when that leaves none: for test fixtures,
    which must leave nothing of a test behind and keep what was there before it."""
    global _starts, _started_on_first_use, _first_use_ended
    log_bridge.close_all(keep)
    with _lifetime("shutdown"):
        if _starts and not before[0]:
            _native._shutdown_vessaruntime()
        _starts, _started_on_first_use, _first_use_ended = before


def _start_again_after_reset() -> None:
    """Start the runtime again if starts are counted: a reset of the emulator shut it down under
    them (a `running` block around a test, say), and each is still to be ended by its own
    `shutdown`."""
    with _lifetime("start"):
        if _starts:
            _start_runtime()


def _text(name: str, value: object, *, empty: bool = False) -> str:
    """`value` as exactly a str that the runtime receives whole, or an error naming `name`."""
    if not isinstance(value, str):
        raise TypeError(f"{name} must be a str, not {type(value).__name__}")
    if not value and not empty:
        raise ValueError(f"{name} must not be empty")
    if "\0" in value:
        raise ValueError(f"{name} must not contain a NUL character: the runtime would take the "
                         "text up to it only")
    if not value.isascii():
        try:
            value.encode("utf-16-le")
        except UnicodeEncodeError as exc:
            raise ValueError(f"{name} holds an unpaired surrogate (U+{ord(value[exc.start]):04X} "
                             f"at index {exc.start}), which the runtime's UTF-16 cannot carry"
                             ) from None
    return value if type(value) is str else str.__str__(value)


def _optional_text(name: str, value: object) -> str | None:
    return None if value is None else _text(name, value)


def _scope_list(scopes: Scopes) -> list[str]:
    if isinstance(scopes, str):
        raise TypeError(f"scopes must be an iterable of str, not a str (did you mean [{scopes!r}]?)")
    try:
        items = list(scopes)
    except TypeError:
        raise TypeError(f"scopes must be an iterable of str, not {type(scopes).__name__}") from None
    for scope in items:
        if not isinstance(scope, str):
            raise TypeError(f"scopes must hold str, not {type(scope).__name__}")
        # split() cuts at exactly the characters isspace() finds, and drops an empty text.
        if scope.split() != [scope]:
            raise ValueError(f"a scope must be non-empty and hold no whitespace: {scope!r}")
    for scope in items:
        # What `_text` passes as it is, without a call for each scope.
        if type(scope) is not str or "\0" in scope or not scope.isascii():
            return [_text("a scope", scope) for scope in items]
    return items


def _window(window: int | None) -> int:
    if window is None:
        return _native.get_console_window() or _native.get_desktop_window()
    if isinstance(window, bool) or not isinstance(window, int):
        raise TypeError(f"window must be an int window handle, not {type(window).__name__}")
    if not -(1 << 63) <= window < (1 << 64):
        raise ValueError(f"window must be a 64-bit window handle, not {window}")
    # The runtime takes the handle's 64 bits as a signed value; an unsigned spelling of the same
    # bits (as ctypes gives a pointer) is the same handle.
    return window - (1 << 64) if window >= (1 << 63) else window


_UUIDS_AT_ONCE = 256
_uuids: list[str] = []
# Byte 6 of a version-4 UUID starts with the version, byte 8 with the variant (binary 10).
_WITH_VERSION = bytes(b & 0x0F | 0x40 for b in range(256))
_WITH_VARIANT = bytes(b & 0x3F | 0x80 for b in range(256))
# Where each of a UUID's 32 hex digits goes in its text (8-4-4-4-12 digits, with dashes), which
# is followed by a space.
_UUID_DIGIT_AT = [at for at in range(36) if at not in (8, 13, 18, 23)]
_UUID_TEXT = b"-" * 36 + b" "


def _new_uuid() -> str:
    """A random (version 4) UUID as text, as ``str(uuid.uuid4())`` writes it, at a fraction of
    its cost: one per request, from a stock made out of one read of the system's random source
    (a forked child starts with a stock of its own)."""
    try:
        # One list operation, also without the interpreter lock: two threads never take the
        # same one. Threads that find the stock empty at once each add a stock of their own.
        return _uuids.pop()
    except IndexError:
        pass
    # The stock is written digit position by digit position, each for every UUID at once: work
    # per UUID (formatting, slicing) would cost more than all the rest of a request's checks.
    count = _UUIDS_AT_ONCE
    units = bytearray(os.urandom(16 * count))
    units[6::16] = units[6::16].translate(_WITH_VERSION)
    units[8::16] = units[8::16].translate(_WITH_VARIANT)
    digits = binascii.hexlify(units)
    text = bytearray(_UUID_TEXT * count)
    for digit, at in enumerate(_UUID_DIGIT_AT):
        text[at::len(_UUID_TEXT)] = digits[digit::32]
    made = text.decode().split()
    _uuids.extend(made[1:])
    return made[0]


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_uuids.clear)


def _correlation(correlation_id: str | None) -> str:
    return _new_uuid() if correlation_id is None else _text("correlation_id", correlation_id)


def _is_real(value: object) -> bool:
    if isinstance(value, numbers.Real):
        return True
    decimal = sys.modules.get("decimal")  # a Decimal exists only once the module is imported
    return decimal is not None and isinstance(value, decimal.Decimal)


def _holds(comparison: Callable[[], bool]) -> bool:
    """Whether a comparison of a number holds; not for a Decimal NaN, which refuses to compare."""
    try:
        return comparison()
    except ArithmeticError:
        return False


def _timeout(timeout: float | None) -> float | None:
    """A checked timeout: None (no limit) or positive seconds, `math.inf` for a time longer
    than the platform can wait."""
    if timeout is None:
        return None
    if isinstance(timeout, bool) or not _is_real(timeout):
        raise TypeError(f"timeout must be a number of seconds or None, not {type(timeout).__name__}")
    if not _holds(lambda: timeout > 0):
        raise ValueError(f"timeout must be a positive number of seconds or None, not {timeout!r}")
    return float(timeout) if timeout <= threading.TIMEOUT_MAX else math.inf


class _ClientTimeout(enum.Enum):
    """The default of a method's `timeout`: the client's own."""

    CLIENT = "the client's timeout"

    def __repr__(self) -> str:
        return "<the client's timeout>"


_CLIENT_TIMEOUT = _ClientTimeout.CLIENT

# Where the clients say what they do that the runtime's log lines cannot: each retry.
_log = logging.getLogger(__name__)


@dataclass(frozen=True)
class PopParams:
    """Proof-of-possession parameters: the token is then bound to one HTTP request, the
    `http_method` (``GET``, ``POST``, ...) to `uri_host` and `uri_path`, with an optional
    server `nonce`; its header then reads ``PoP ...``."""

    http_method: str
    uri_host: str
    uri_path: str | None = None
    nonce: str | None = None

    def __post_init__(self) -> None:
        _text("http_method", self.http_method)
        _text("uri_host", self.uri_host)
        _optional_text("uri_path", self.uri_path)
        _optional_text("nonce", self.nonce)


class RequestOptions(TypedDict, total=False):
    """The optional parts of a sign-in or token request, as keyword arguments: `claims` (text or
    a mapping sent as JSON), `access_token_to_renew`, `pop` (`PopParams`) and
    `extra_parameters` (names to values, passed to the runtime as they are)."""

    claims: Claims | None
    access_token_to_renew: str | None
    pop: PopParams | None
    extra_parameters: Mapping[str, str] | None


@dataclass(frozen=True)
class RetryPolicy:
    """How a client retries a silent operation that fails with a `TransientError` (such as a
    `NetworkError`): at most `attempts` tries in all, separated by pauses that grow
    exponentially from `initial_delay` seconds up to `max_delay`, each a random part of that
    ("full jitter", so that many clients do not retry in step). The call's timeout bounds the
    attempts and the pauses together: a pause that would end past it is not taken, and the last
    error is raised instead. Interactive operations, which may show a prompt, are never
    retried."""

    attempts: int = 3
    initial_delay: float = 0.5
    max_delay: float = 10.0

    def __post_init__(self) -> None:
        if isinstance(self.attempts, bool) or not isinstance(self.attempts, int):
            raise TypeError(f"attempts must be an int, not {type(self.attempts).__name__}")
        if self.attempts < 1:
            raise ValueError(f"attempts must be at least 1, not {self.attempts}")
        for name in ("initial_delay", "max_delay"):
            value = getattr(self, name)
            if isinstance(value, bool) or not _is_real(value):
                raise TypeError(f"{name} must be a number of seconds, not {type(value).__name__}")
            if not _holds(lambda: 0 <= value < math.inf):
                raise ValueError(f"{name} must be a finite number of seconds >= 0, not {value!r}")
        if self.max_delay < self.initial_delay:
            raise ValueError(f"max_delay must be at least initial_delay ({self.initial_delay!r}), "
                             f"not {self.max_delay!r}")

    def delay(self, retry: int) -> float:
        """The pause in seconds before retry number `retry` (1 before the second attempt)."""
        import random  # only a client that retries pays for it

        ceiling = min(float(self.max_delay), float(self.initial_delay) * 2.0 ** min(retry - 1, 64))
        return random.uniform(0.0, ceiling)


class _Operation(Generic[T]):
    """What a client method starts: the native module's operation (found by its name at each
    start, as a call through the module would find it) and the converter of its result. One for
    each method, made once; a call adds only its checked arguments."""

    __slots__ = ("call", "convert", "correlation", "native", "silent")

    def __init__(self, call: str, native: str, convert: Callable[[Any], T], *,
                 correlation: int = 1, silent: bool = False) -> None:
        self.call = call  # the client method, for messages
        self.native = native
        self.convert = convert
        self.correlation = correlation  # where the correlation id is among the arguments
        self.silent = silent  # retried on a TransientError


_SIGN_IN = _Operation("sign_in", "signin", to_token, correlation=2)
_SIGN_IN_SILENTLY = _Operation("sign_in_silently", "signin_silently", to_token, silent=True)
_SIGN_IN_INTERACTIVELY = _Operation("sign_in_interactively", "signin_interactively", to_token,
                                    correlation=2)
_ACQUIRE_TOKEN_SILENTLY = _Operation("acquire_token_silently", "acquire_token_silently",
                                     to_token, silent=True)
_ACQUIRE_TOKEN_INTERACTIVELY = _Operation("acquire_token_interactively",
                                          "acquire_token_interactively", to_token, correlation=2)
_READ_ACCOUNT = _Operation("read_account", "read_account_by_id", to_found_account, silent=True)
_DISCOVER_ACCOUNTS = _Operation("discover_accounts", "discover_accounts", to_accounts,
                                silent=True)
_SIGN_OUT = _Operation("sign_out", "signout_silently", to_signed_out, silent=True)


class _Call:
    """One call of a client method: its name (also for the account looked up first, whose
    failures are the call's), how long it may take and when that ends (`time.monotonic`; None:
    no limit), and the request's correlation id."""

    __slots__ = ("correlation_id", "deadline", "name", "seconds")

    def __init__(self, name: str, seconds: float | None, correlation_id: str) -> None:
        self.name = name
        self.seconds = seconds
        self.deadline = None if seconds is None else time.monotonic() + seconds
        self.correlation_id = correlation_id

    def remaining(self) -> float | None:
        """Seconds left before the deadline (0 once it passed), or None without one."""
        if self.deadline is None:
            return None
        return max(self.deadline - time.monotonic(), 0.0)

    def failed(self, error: AuthError, attempts: int) -> None:
        """Tell `error` which call it ended, unless the account's look-up did already."""
        if error.attempts is None:
            error.operation = self.name
            error.correlation_id = self.correlation_id
            error.attempts = attempts


# What a recording needs of the parameters objects made while one runs (the runtime's object
# cannot be read back), by their id until their request is recorded.
_described_params: dict[int, dict[str, Any]] = {}


def _recorded_request(operation: _Operation[Any], args: tuple[Any, ...],
                      account: Account | None) -> dict[str, Any]:
    request: dict[str, Any] = {"account": account}
    for arg in args:
        if isinstance(arg, _native.VESSARuntimeAuthParameters):
            request.update(_described_params.pop(id(arg), {}))
    if operation is _READ_ACCOUNT:
        request["account_id"] = args[0]
    elif operation is _SIGN_IN or operation is _SIGN_IN_INTERACTIVELY:
        request["login_hint"] = args[3]
    return request


def _record(operation: _Operation[Any], request: dict[str, Any], answer: object) -> None:
    if isinstance(answer, OperationTimedOut):
        return  # the layer gave up: the runtime answered nothing to replay
    from ._clock import now

    completed = now()
    for recording in list(_recording.active):
        recording.note(operation.call, request, answer, completed)


def _checked_account(account: object) -> None:
    if not isinstance(account, Account):
        raise TypeError(f"account must be an Account, not {type(account).__name__}")
    if native_of(account) is None:
        _text("account.account_id", account.account_id)  # it will be looked up by it


class _Requests:
    """The requests both clients make: arguments checked here, at the call, never on a runtime
    thread."""

    def __init__(self, client_id: str, authority: str, redirect_uri: str | None) -> None:
        self.client_id = _text("client_id", client_id)
        self.authority = _text("authority", authority)
        self.redirect_uri = _optional_text("redirect_uri", redirect_uri)

    def _params(self, call: str, scopes: Scopes, options: RequestOptions
                ) -> _native.VESSARuntimeAuthParameters:
        for name in options:
            if name not in RequestOptions.__optional_keys__:
                raise TypeError(f"{call}() got an unexpected keyword argument {name!r}")
        scope_list = plain_scopes(scopes)
        if scope_list is None:
            scope_list = _scope_list(scopes)
        if not options:  # what most calls give: nothing more to check
            return self._new_params(scope_list, None, None, None, [])
        claims = options.get("claims")
        if claims is not None and not isinstance(claims, str):
            if not isinstance(claims, Mapping):
                raise TypeError(f"claims must be a str or a mapping, not {type(claims).__name__}")
            try:
                # NaN and infinities would make text that is not JSON, which the runtime refuses.
                claims = json.dumps(claims, allow_nan=False)
            except (TypeError, ValueError) as exc:
                raise type(exc)(f"claims must be a mapping of JSON values: {exc}") from None
        claims = _optional_text("claims", claims)
        renew = _optional_text("access_token_to_renew", options.get("access_token_to_renew"))
        pop = options.get("pop")
        if pop is not None and not isinstance(pop, PopParams):
            raise TypeError(f"pop must be a PopParams, not {type(pop).__name__}")
        extra = options.get("extra_parameters")
        if extra is not None and not isinstance(extra, Mapping):
            raise TypeError(f"extra_parameters must be a mapping, not {type(extra).__name__}")
        extra_pairs = [(_text("extra_parameters key", key),
                        _text(f"extra_parameters[{key!r}]", value, empty=True))
                       for key, value in (extra or {}).items()]
        return self._new_params(scope_list, claims, renew, pop, extra_pairs)

    def _new_params(self, scope_list: list[str], claims: str | None, renew: str | None,
                    pop: PopParams | None, extra_pairs: list[tuple[str, str]]
                    ) -> _native.VESSARuntimeAuthParameters:
        try:
            params = _native.VESSARuntimeAuthParameters(self.client_id, self.authority)
            params.set_requested_scopes(scope_list)
            if self.redirect_uri is not None:
                params.set_redirect_uri(self.redirect_uri)
            if claims is not None:
                params.set_decoded_claims(claims)
            if renew is not None:
                params.set_access_token_to_renew(renew)
            if pop is not None:
                params.set_pop_params(pop.http_method, pop.uri_host, pop.uri_path, pop.nonce)
            for key, value in extra_pairs:
                params.set_additional_parameter(key, value)
        except (RuntimeError, ValueError) as exc:
            failure = from_failure(exc)
            if failure is None:
                raise
            raise failure from None
        if _recording.active:
            _described_params[id(params)] = {"scopes": scope_list, "claims": claims}
        return params

    # Each returns the arguments of its operation, checked; those of an operation on an
    # account check the account, which goes last (before the callback) as the runtime's object.

    def sign_in(self, scopes: Scopes, login_hint: str | None, window: int | None,
                correlation_id: str | None, options: RequestOptions) -> tuple[Any, ...]:
        return (_window(window), self._params("sign_in", scopes, options),
                _correlation(correlation_id), _optional_text("login_hint", login_hint))

    def sign_in_silently(self, scopes: Scopes, correlation_id: str | None,
                         options: RequestOptions) -> tuple[Any, ...]:
        return (self._params("sign_in_silently", scopes, options), _correlation(correlation_id))

    def sign_in_interactively(self, scopes: Scopes, login_hint: str | None, window: int | None,
                              correlation_id: str | None, options: RequestOptions
                              ) -> tuple[Any, ...]:
        return (_window(window), self._params("sign_in_interactively", scopes, options),
                _correlation(correlation_id), _optional_text("login_hint", login_hint))

    def acquire_token_silently(self, account: Account, scopes: Scopes,
                               correlation_id: str | None, options: RequestOptions
                               ) -> tuple[Any, ...]:
        _checked_account(account)
        return (self._params("acquire_token_silently", scopes, options),
                _correlation(correlation_id))

    def acquire_token_interactively(self, account: Account, scopes: Scopes, window: int | None,
                                    correlation_id: str | None, options: RequestOptions
                                    ) -> tuple[Any, ...]:
        _checked_account(account)
        return (_window(window), self._params("acquire_token_interactively", scopes, options),
                _correlation(correlation_id))

    def read_account(self, account_id: str, correlation_id: str | None) -> tuple[Any, ...]:
        return (_text("account_id", account_id), _correlation(correlation_id))

    def discover_accounts(self, correlation_id: str | None) -> tuple[Any, ...]:
        return (self.client_id, _correlation(correlation_id))

    def sign_out(self, account: Account, correlation_id: str | None) -> tuple[Any, ...]:
        _checked_account(account)
        return (self.client_id, _correlation(correlation_id))


class _ClientBase:
    def _setup(self, client_id: str, authority: str, redirect_uri: str | None,
               timeout: float | None, retry: RetryPolicy | None) -> None:
        self._requests = _Requests(client_id, authority, redirect_uri)
        self._timeout = _timeout(timeout)
        self.retry = retry

    @property
    def client_id(self) -> str:
        """The application's client id."""
        return self._requests.client_id

    @property
    def authority(self) -> str:
        """The authority that issues the tokens."""
        return self._requests.authority

    @property
    def redirect_uri(self) -> str | None:
        """The redirect URI sent with every request, or None."""
        return self._requests.redirect_uri

    @property
    def timeout(self) -> float | None:
        """The longest time a call may take, its retries included, in seconds (`math.inf` or
        None: no limit), unless the call is given a `timeout` of its own."""
        return self._timeout

    @property
    def retry(self) -> RetryPolicy | None:
        """How silent operations are retried on a `TransientError` (None: they are not);
        checked as it is set, not at the first failure."""
        return self._retry

    @retry.setter
    def retry(self, retry: RetryPolicy | None) -> None:
        if retry is not None and not isinstance(retry, RetryPolicy):
            raise TypeError(f"retry must be a RetryPolicy or None, not {type(retry).__name__}")
        self._retry = retry

    def _wait_seconds(self) -> float | None:
        return None if self._timeout is None or self._timeout == math.inf else self._timeout

    def _call(self, operation: _Operation[Any], args: tuple[Any, ...],
              timeout: float | None | _ClientTimeout) -> _Call:
        seconds = self._timeout if timeout is _CLIENT_TIMEOUT else _timeout(timeout)
        if seconds == math.inf:
            seconds = None
        return _Call(operation.call, seconds, args[operation.correlation])

    def _timed_out(self, call: _Call) -> OperationTimedOut:
        # The error names the call (`operation`); its attempts shared these seconds.
        return OperationTimedOut(context=f"the runtime did not complete the operation within "
                                         f"{call.seconds} s; it was cancelled")

    def _start(self, operation: _Operation[T], args: tuple[Any, ...],
               native_account: _native.VESSARuntimeAccount | None, call: _Call) -> Pending[T]:
        if _core.on_runtime_thread():
            raise _core.waiting_refused(self, call.name)
        if not _starts:
            _start_on_first_use(f"{type(self).__name__}.{call.name}")
        if native_account is not None:
            args = (*args, native_account)
        try:
            return _core.start(getattr(_native, operation.native), args, operation.convert)
        except RuntimeError:
            ended = _core.owner_ended(f"{type(self).__name__}.{call.name}")
            if ended is None:
                raise
            raise ended from None

    def _lookup_args(self, account: Account, call: _Call) -> tuple[Any, ...]:
        # The look-up is part of the call: the same correlation id ties the two in the logs.
        return self._requests.read_account(account.account_id, call.correlation_id)

    def _pause(self, operation: _Operation[Any], call: _Call, attempt: int,
               error: TransientError) -> float | None:
        """The pause before trying `operation` again after `error` ended attempt `attempt`, or
        None when it is not tried again: it may not be retried, the attempts are spent, or the
        pause would end past the call's deadline."""
        policy = self.retry if operation.silent else None
        if policy is None or attempt >= policy.attempts:
            return None
        pause = policy.delay(attempt)
        if call.deadline is not None and time.monotonic() + pause >= call.deadline:
            return None
        if _log.isEnabledFor(logging.DEBUG):
            # The error as text: a record holding it would keep its frames, and what they hold
            # of the runtime, alive for as long as a handler keeps the record.
            _log.debug("%s.%s: attempt %d of %d failed (%s); trying again in %.3f s",
                       type(self).__name__, call.name, attempt, policy.attempts, str(error),
                       pause)
        return pause

    def __repr__(self) -> str:
        return (f"{type(self).__name__}({self.client_id!r}, {self.authority!r}, "
                f"redirect_uri={self.redirect_uri!r}, timeout={self.timeout!r}, "
                f"retry={self.retry!r})")


class Client(_ClientBase):
    """Sign-in, tokens and accounts for one application (`client_id`) and `authority`, as
    blocking calls.

    Each method takes at most `timeout` seconds (None: no limit), the client's or the one given
    to the call, its retries and their pauses included; when that passes it cancels the
    operation and raises `OperationTimedOut` (a `TimeoutError`). Failures reported by the
    runtime raise `AuthError` subclasses naming the method (`operation`), the request's
    `correlation_id` and the `attempts` made; with `retry`, silent operations that fail with a
    `TransientError` are tried again, each retry logged at DEBUG on the ``pyvessaruntime.client``
    logger. Bad arguments raise `TypeError` or `ValueError` at the call. `window` is the parent
    window handle of a prompt (by default the console's or the desktop's); `correlation_id` ties
    the runtime's logs to a request (by default a new UUID); `**options` are the
    `RequestOptions`. A call made while no `start` is in force starts the runtime itself, until
    interpreter exit; once the application's own `shutdown` has ended the runtime, calls raise
    RuntimeError until it starts it again. A client may be shared by threads; its calls must not
    be made where the runtime calls back (a completion callback, a logging handler under
    `log_to`).
    """

    def __init__(self, client_id: str, authority: str, *, redirect_uri: str | None = None,
                 timeout: float | None = 60.0, retry: RetryPolicy | None = None) -> None:
        self._setup(client_id, authority, redirect_uri, timeout, retry)

    def _wait(self, pending: Pending[T], call: _Call) -> T:
        if pending.done:  # completed inside the start call: nothing to wait for
            return pending.result()
        try:
            completed = pending.wait(call.remaining())
        except BaseException:
            pending.cancel()  # an interrupt: the operation is no longer wanted
            raise
        if not completed and pending.cancel():
            raise self._timed_out(call) from None
        # Completed, perhaps as the time ran out: the result is in, or being converted.
        pending.wait(None)
        return pending.result()

    def _run(self, operation: _Operation[T], args: tuple[Any, ...], account: Account | None,
             timeout: float | None | _ClientTimeout) -> T:
        return self._recorded(operation, args, account, self._call(operation, args, timeout))

    def _recorded(self, operation: _Operation[T], args: tuple[Any, ...],
                  account: Account | None, call: _Call) -> T:
        if not _recording.active:
            return self._attempts(operation, args, account, call)
        request = _recorded_request(operation, args, account)
        try:
            result = self._attempts(operation, args, account, call)
        except AuthError as error:
            _record(operation, request, error)
            raise
        _record(operation, request, result)
        return result

    def _attempts(self, operation: _Operation[T], args: tuple[Any, ...],
                  account: Account | None, call: _Call) -> T:
        native_account = None
        if account is not None:
            native_account = native_of(account) or native_of(self._recorded(
                _READ_ACCOUNT, self._lookup_args(account, call), None, call))
        attempt = 1
        while True:
            try:
                return self._wait(self._start(operation, args, native_account, call), call)
            except TransientError as error:
                pause = self._pause(operation, call, attempt, error)
                if pause is None:
                    call.failed(error, attempt)
                    raise
                time.sleep(pause)
            except AuthError as error:
                call.failed(error, attempt)
                raise
            attempt += 1

    def sign_in(self, scopes: Scopes, *, login_hint: str | None = None, window: int | None = None,
                correlation_id: str | None = None,
                timeout: float | None | _ClientTimeout = _CLIENT_TIMEOUT,
                **options: Unpack[RequestOptions]) -> Token:
        """Sign a user in, silently when the runtime can, else with a prompt."""
        return self._run(_SIGN_IN, self._requests.sign_in(scopes, login_hint, window,
                                                          correlation_id, options), None, timeout)

    def sign_in_silently(self, scopes: Scopes, *, correlation_id: str | None = None,
                         timeout: float | None | _ClientTimeout = _CLIENT_TIMEOUT,
                         **options: Unpack[RequestOptions]) -> Token:
        """Sign a known user in without a prompt; `InteractionRequired` if that cannot be done."""
        return self._run(_SIGN_IN_SILENTLY,
                         self._requests.sign_in_silently(scopes, correlation_id, options), None,
                         timeout)

    def sign_in_interactively(self, scopes: Scopes, *, login_hint: str | None = None,
                              window: int | None = None, correlation_id: str | None = None,
                              timeout: float | None | _ClientTimeout = _CLIENT_TIMEOUT,
                              **options: Unpack[RequestOptions]) -> Token:
        """Sign a user in with a prompt (`UserCanceled` if the user closes it)."""
        return self._run(_SIGN_IN_INTERACTIVELY, self._requests.sign_in_interactively(
            scopes, login_hint, window, correlation_id, options), None, timeout)

    def acquire_token_silently(self, account: Account, scopes: Scopes, *,
                               correlation_id: str | None = None,
                               timeout: float | None | _ClientTimeout = _CLIENT_TIMEOUT,
                               **options: Unpack[RequestOptions]) -> Token:
        """A token for a signed-in account without a prompt; `InteractionRequired` when the
        user must act."""
        return self._run(_ACQUIRE_TOKEN_SILENTLY, self._requests.acquire_token_silently(
            account, scopes, correlation_id, options), account, timeout)

    def acquire_token_interactively(self, account: Account, scopes: Scopes, *,
                                    window: int | None = None, correlation_id: str | None = None,
                                    timeout: float | None | _ClientTimeout = _CLIENT_TIMEOUT,
                                    **options: Unpack[RequestOptions]) -> Token:
        """A token for an account, with a prompt."""
        return self._run(_ACQUIRE_TOKEN_INTERACTIVELY, self._requests.acquire_token_interactively(
            account, scopes, window, correlation_id, options), account, timeout)

    def read_account(self, account_id: str, *, correlation_id: str | None = None,
                     timeout: float | None | _ClientTimeout = _CLIENT_TIMEOUT) -> Account:
        """The account with this id; `AccountNotFound` if the runtime knows none."""
        return self._run(_READ_ACCOUNT, self._requests.read_account(account_id, correlation_id),
                         None, timeout)

    def discover_accounts(self, *, correlation_id: str | None = None,
                          timeout: float | None | _ClientTimeout = _CLIENT_TIMEOUT
                          ) -> tuple[Account, ...]:
        """The accounts the runtime knows for this application: on a device whose runtime shares
        accounts across applications (a broker; the emulator by default), those of every
        application."""
        return self._run(_DISCOVER_ACCOUNTS, self._requests.discover_accounts(correlation_id),
                         None, timeout)

    def sign_out(self, account: Account, *, correlation_id: str | None = None,
                 timeout: float | None | _ClientTimeout = _CLIENT_TIMEOUT) -> None:
        """Sign an account out (of every application, where the runtime shares accounts across
        them)."""
        self._run(_SIGN_OUT, self._requests.sign_out(account, correlation_id), account, timeout)


_running_loop: Callable[[], asyncio.AbstractEventLoop] | None = None


def _load_asyncio() -> Callable[[], asyncio.AbstractEventLoop]:
    # asyncio is imported at the first asynchronous wait, not with this module: programs that
    # only block never load it. Threads that come here at once all store the same function.
    global _running_loop
    from asyncio import get_running_loop

    _running_loop = get_running_loop
    return get_running_loop


class AsyncClient(_ClientBase):
    """`Client` for asyncio: the same methods as coroutines.

    Waiting never blocks the event loop. Cancelling the awaiting task cancels the runtime's
    operation, as does the timeout (which raises `OperationTimedOut`, a `TimeoutError`). A
    result that arrives after the event loop closed is dropped. A client may be shared by tasks
    and by event loops on several threads.
    """

    _waits: LoopWaits | None = None

    def __init__(self, client_id: str, authority: str, *, redirect_uri: str | None = None,
                 timeout: float | None = 60.0, retry: RetryPolicy | None = None) -> None:
        self._setup(client_id, authority, redirect_uri, timeout, retry)

    def _loop_waits(self) -> LoopWaits:
        loop = (_running_loop or _load_asyncio())()
        # Read once: a loop on another thread may put its own in place meanwhile, and this wait
        # goes on with the one made for its loop.
        waits = self._waits
        if waits is None or waits.loop is not loop:
            from ._loop_waits import LoopWaits

            waits = self._waits = LoopWaits(loop)
        return waits

    async def _run(self, operation: _Operation[T], args: tuple[Any, ...],
                   account: Account | None, timeout: float | None | _ClientTimeout) -> T:
        return await self._recorded(operation, args, account,
                                    self._call(operation, args, timeout))

    async def _recorded(self, operation: _Operation[T], args: tuple[Any, ...],
                        account: Account | None, call: _Call) -> T:
        if not _recording.active:
            return await self._attempts(operation, args, account, call)
        request = _recorded_request(operation, args, account)
        try:
            result = await self._attempts(operation, args, account, call)
        except AuthError as error:
            _record(operation, request, error)
            raise
        _record(operation, request, result)
        return result

    async def _attempts(self, operation: _Operation[T], args: tuple[Any, ...],
                        account: Account | None, call: _Call) -> T:
        native_account = None
        if account is not None:
            native_account = native_of(account) or native_of(await self._recorded(
                _READ_ACCOUNT, self._lookup_args(account, call), None, call))
        attempt = 1
        while True:
            try:
                pending = self._start(operation, args, native_account, call)
                if pending.done:  # completed inside the start call: nothing to wait for
                    return pending.result()
                waits = self._loop_waits()
                waiter = waits.begin(pending, call.remaining(), lambda: self._timed_out(call))
                try:
                    return await waiter
                except BaseException:
                    pending.cancel()  # the task was cancelled: the operation is no longer wanted
                    raise
                finally:
                    waits.end(waiter)
            except TransientError as error:
                pause = self._pause(operation, call, attempt, error)
                if pause is None:
                    call.failed(error, attempt)
                    raise
                from asyncio import sleep

                await sleep(pause)
            except AuthError as error:
                call.failed(error, attempt)
                raise
            attempt += 1

    async def sign_in(self, scopes: Scopes, *, login_hint: str | None = None,
                      window: int | None = None, correlation_id: str | None = None,
                      timeout: float | None | _ClientTimeout = _CLIENT_TIMEOUT,
                      **options: Unpack[RequestOptions]) -> Token:
        """Sign a user in, silently when the runtime can, else with a prompt."""
        return await self._run(_SIGN_IN, self._requests.sign_in(
            scopes, login_hint, window, correlation_id, options), None, timeout)

    async def sign_in_silently(self, scopes: Scopes, *, correlation_id: str | None = None,
                               timeout: float | None | _ClientTimeout = _CLIENT_TIMEOUT,
                               **options: Unpack[RequestOptions]) -> Token:
        """Sign a known user in without a prompt; `InteractionRequired` if that cannot be done."""
        return await self._run(_SIGN_IN_SILENTLY, self._requests.sign_in_silently(
            scopes, correlation_id, options), None, timeout)

    async def sign_in_interactively(self, scopes: Scopes, *, login_hint: str | None = None,
                                    window: int | None = None, correlation_id: str | None = None,
                                    timeout: float | None | _ClientTimeout = _CLIENT_TIMEOUT,
                                    **options: Unpack[RequestOptions]) -> Token:
        """Sign a user in with a prompt (`UserCanceled` if the user closes it)."""
        return await self._run(_SIGN_IN_INTERACTIVELY, self._requests.sign_in_interactively(
            scopes, login_hint, window, correlation_id, options), None, timeout)

    async def acquire_token_silently(self, account: Account, scopes: Scopes, *,
                                     correlation_id: str | None = None,
                                     timeout: float | None | _ClientTimeout = _CLIENT_TIMEOUT,
                                     **options: Unpack[RequestOptions]) -> Token:
        """A token for a signed-in account without a prompt; `InteractionRequired` when the
        user must act."""
        return await self._run(_ACQUIRE_TOKEN_SILENTLY, self._requests.acquire_token_silently(
            account, scopes, correlation_id, options), account, timeout)

    async def acquire_token_interactively(self, account: Account, scopes: Scopes, *,
                                          window: int | None = None,
                                          correlation_id: str | None = None,
                                          timeout: float | None | _ClientTimeout = _CLIENT_TIMEOUT,
                                          **options: Unpack[RequestOptions]) -> Token:
        """A token for an account, with a prompt."""
        return await self._run(
            _ACQUIRE_TOKEN_INTERACTIVELY, self._requests.acquire_token_interactively(
                account, scopes, window, correlation_id, options), account, timeout)

    async def read_account(self, account_id: str, *, correlation_id: str | None = None,
                           timeout: float | None | _ClientTimeout = _CLIENT_TIMEOUT) -> Account:
        """The account with this id; `AccountNotFound` if the runtime knows none."""
        return await self._run(_READ_ACCOUNT, self._requests.read_account(
            account_id, correlation_id), None, timeout)

    async def discover_accounts(self, *, correlation_id: str | None = None,
                                timeout: float | None | _ClientTimeout = _CLIENT_TIMEOUT
                                ) -> tuple[Account, ...]:
        """The accounts the runtime knows for this application: on a device whose runtime shares
        accounts across applications (a broker; the emulator by default), those of every
        application."""
        return await self._run(_DISCOVER_ACCOUNTS, self._requests.discover_accounts(
            correlation_id), None, timeout)

    async def sign_out(self, account: Account, *, correlation_id: str | None = None,
                       timeout: float | None | _ClientTimeout = _CLIENT_TIMEOUT) -> None:
        """Sign an account out (of every application, where the runtime shares accounts across
        them)."""
        await self._run(_SIGN_OUT, self._requests.sign_out(account, correlation_id), account,
                        timeout)

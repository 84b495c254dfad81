"""`Client` and `AsyncClient`: sign-in, tokens and accounts as typed calls that return `Token`
and `Account` values or raise `AuthError`; and `start`, `shutdown`, `running` for the runtime.

Both clients build their requests in `_Requests`, start them through the one core
(`_core.start`) and differ only in how they wait: `Client` blocks the calling thread, `AsyncClient`
suspends the awaiting task. A wait that ends early (a timeout, a cancelled task, an interrupt)
cancels the native operation.
"""

from __future__ import annotations

import contextlib
import json
import os
from collections.abc import Callable, Iterable, Iterator, Mapping
from typing import TYPE_CHECKING, Any, TypeVar

from . import _core, log_bridge
from . import pyvessaruntime as _native
from ._core import Pending
from .errors import from_refusal
from .models import (
    Account,
    Token,
    to_accounts,
    to_found_account,
    to_signed_out,
    to_token,
)

if TYPE_CHECKING:
    import asyncio

    from ._loop_waits import LoopWaits

__all__ = ["AsyncClient", "Client", "running", "shutdown", "start"]

T = TypeVar("T")
Scopes = Iterable[str]
Claims = str | Mapping[str, Any]


def start() -> None:
    """Start the runtime; call it once before the first operation (or use `running`).

    Raises `AuthError` when the runtime refuses to start.
    """
    try:
        _native._startup_vessaruntime()
    except RuntimeError as exc:
        raise from_refusal(exc) from None


def shutdown() -> None:
    """Shut the runtime down after the last operation; log routings end with it.

    Operations still pending complete with `OperationCanceled`.
    """
    log_bridge.close_all()
    _native._shutdown_vessaruntime()


@contextlib.contextmanager
def running() -> Iterator[None]:
    """Run the runtime for the duration of a ``with`` block: `start` on entry, `shutdown` on
    exit, also when the block raises."""
    start()
    try:
        yield
    finally:
        shutdown()


def _text(name: str, value: object) -> str:
    if not isinstance(value, str):
        raise TypeError(f"{name} must be a str, not {type(value).__name__}")
    return value


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
    return items


def _native_account(account: Account) -> _native.VESSARuntimeAccount:
    if not isinstance(account, Account):
        raise TypeError(f"account must be an Account, not {type(account).__name__}")
    if account.native is None:
        raise ValueError("this Account carries no runtime account; use one a client returned")
    return account.native


def _window(window: int | None) -> int:
    if window is None:
        return _native.get_console_window() or _native.get_desktop_window()
    if not isinstance(window, int):
        raise TypeError(f"window must be an int window handle, not {type(window).__name__}")
    return window


_UUIDS_AT_ONCE = 64
_uuids: list[str] = []


def _new_uuid() -> str:
    """A random (version 4) UUID as text, as ``str(uuid.uuid4())`` writes it, at a fraction of
    its cost: one per request, from a stock made out of one read of the system's random source
    (a forked child starts with a stock of its own)."""
    try:
        return _uuids.pop()  # atomic: two threads never take the same one
    except IndexError:
        pass
    units = bytearray(os.urandom(16 * _UUIDS_AT_ONCE))
    made = []
    for at in range(0, len(units), 16):
        units[at + 6] = units[at + 6] & 0x0F | 0x40
        units[at + 8] = units[at + 8] & 0x3F | 0x80
        h = units[at:at + 16].hex()
        made.append(f"{h[:8]}-{h[8:12]}-{h[12:16]}-{h[16:20]}-{h[20:]}")
    _uuids.extend(made[1:])
    return made[0]


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_uuids.clear)


class _Requests:
    """The requests both clients make: arguments checked here, at the call, never on a runtime
    thread; each method starts its operation and returns it pending."""

    def __init__(self, client_id: str, authority: str, redirect_uri: str | None) -> None:
        self.client_id = _text("client_id", client_id)
        self.authority = _text("authority", authority)
        self.redirect_uri = _optional_text("redirect_uri", redirect_uri)

    def _params(self, scopes: Scopes, claims: Claims | None = None
                ) -> _native.VESSARuntimeAuthParameters:
        scope_list = _scope_list(scopes)
        if claims is not None and not isinstance(claims, str):
            if not isinstance(claims, Mapping):
                raise TypeError(f"claims must be a str or a mapping, not {type(claims).__name__}")
            claims = json.dumps(claims)
        params = _native.VESSARuntimeAuthParameters(self.client_id, self.authority)
        params.set_requested_scopes(scope_list)
        if self.redirect_uri is not None:
            params.set_redirect_uri(self.redirect_uri)
        if claims is not None:
            params.set_decoded_claims(claims)
        return params

    @staticmethod
    def _correlation(correlation_id: str | None) -> str:
        if correlation_id is None:
            return _new_uuid()
        return _text("correlation_id", correlation_id)

    def _sign_in_with_hint(self, operation: Callable[..., _native.VESSARuntimeAsyncHandle],
                           scopes: Scopes, login_hint: str | None, window: int | None,
                           correlation_id: str | None) -> Pending[Token]:
        args = (_window(window), self._params(scopes), self._correlation(correlation_id),
                _optional_text("login_hint", login_hint))
        return _core.start(operation, args, to_token)

    def sign_in(self, scopes: Scopes, login_hint: str | None, window: int | None,
                correlation_id: str | None) -> Pending[Token]:
        return self._sign_in_with_hint(_native.signin, scopes, login_hint, window, correlation_id)

    def sign_in_silently(self, scopes: Scopes, correlation_id: str | None) -> Pending[Token]:
        args = (self._params(scopes), self._correlation(correlation_id))
        return _core.start(_native.signin_silently, args, to_token)

    def sign_in_interactively(self, scopes: Scopes, login_hint: str | None, window: int | None,
                              correlation_id: str | None) -> Pending[Token]:
        return self._sign_in_with_hint(_native.signin_interactively, scopes, login_hint, window,
                                       correlation_id)

    def acquire_token_silently(self, account: Account, scopes: Scopes, claims: Claims | None,
                               correlation_id: str | None) -> Pending[Token]:
        args = (self._params(scopes, claims), self._correlation(correlation_id),
                _native_account(account))
        return _core.start(_native.acquire_token_silently, args, to_token)

    def acquire_token_interactively(self, account: Account, scopes: Scopes, window: int | None,
                                    claims: Claims | None, correlation_id: str | None
                                    ) -> Pending[Token]:
        args = (_window(window), self._params(scopes, claims), self._correlation(correlation_id),
                _native_account(account))
        return _core.start(_native.acquire_token_interactively, args, to_token)

    def read_account(self, account_id: str, correlation_id: str | None) -> Pending[Account]:
        args = (_text("account_id", account_id), self._correlation(correlation_id))
        return _core.start(_native.read_account_by_id, args, to_found_account)

    def discover_accounts(self, correlation_id: str | None) -> Pending[tuple[Account, ...]]:
        args = (self.client_id, self._correlation(correlation_id))
        return _core.start(_native.discover_accounts, args, to_accounts)

    def sign_out(self, account: Account, correlation_id: str | None) -> Pending[None]:
        args = (self.client_id, self._correlation(correlation_id), _native_account(account))
        return _core.start(_native.signout_silently, args, to_signed_out)


def _timeout(timeout: float | None) -> float | None:
    if timeout is not None and not timeout > 0:
        raise ValueError(f"timeout must be a positive number of seconds or None, not {timeout!r}")
    return timeout


def _timed_out(timeout: float | None) -> TimeoutError:
    return TimeoutError(f"the runtime did not complete the operation within {timeout} s; "
                        "it was cancelled")


class _ClientBase:
    def __init__(self, client_id: str, authority: str, *, redirect_uri: str | None = None,
                 timeout: float | None = 60.0) -> None:
        self._requests = _Requests(client_id, authority, redirect_uri)
        self.timeout = _timeout(timeout)

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

    def __repr__(self) -> str:
        return (f"{type(self).__name__}({self.client_id!r}, {self.authority!r}, "
                f"redirect_uri={self.redirect_uri!r}, timeout={self.timeout!r})")


class Client(_ClientBase):
    """Sign-in, tokens and accounts for one application (`client_id`) and `authority`, as
    blocking calls.

    Each method waits for the runtime at most `timeout` seconds (None waits for ever); when that
    passes it cancels the operation and raises `TimeoutError`. Failures reported by the runtime
    raise `AuthError` subclasses; bad arguments raise `TypeError` or `ValueError` at the call.
    `window` is the parent window handle of a prompt (by default the console's or the desktop's);
    `correlation_id` ties the runtime's logs to a request (by default a new UUID). The runtime
    must be started (`start` or `running`).
    """

    def _wait(self, pending: Pending[T]) -> T:
        if pending.done:  # completed inside the start call: nothing to wait for
            return pending.result()
        try:
            completed = pending.wait(self.timeout)
        except BaseException:
            pending.cancel()  # an interrupt: the operation is no longer wanted
            raise
        if not completed and pending.cancel():
            raise _timed_out(self.timeout) from None
        # Completed, perhaps as the time ran out: the result is in, or being converted.
        pending.wait(None)
        return pending.result()

    def sign_in(self, scopes: Scopes, *, login_hint: str | None = None, window: int | None = None,
                correlation_id: str | None = None) -> Token:
        """Sign a user in, silently when the runtime can, else with a prompt."""
        return self._wait(self._requests.sign_in(scopes, login_hint, window, correlation_id))

    def sign_in_silently(self, scopes: Scopes, *, correlation_id: str | None = None) -> Token:
        """Sign a known user in without a prompt; `InteractionRequired` if that cannot be done."""
        return self._wait(self._requests.sign_in_silently(scopes, correlation_id))

    def sign_in_interactively(self, scopes: Scopes, *, login_hint: str | None = None,
                              window: int | None = None, correlation_id: str | None = None
                              ) -> Token:
        """Sign a user in with a prompt (`UserCanceled` if the user closes it)."""
        return self._wait(
            self._requests.sign_in_interactively(scopes, login_hint, window, correlation_id))

    def acquire_token_silently(self, account: Account, scopes: Scopes, *,
                               claims: Claims | None = None, correlation_id: str | None = None
                               ) -> Token:
        """A token for a signed-in account without a prompt; `InteractionRequired` when the
        user must act. `claims` (text or a mapping) asks for extra claims."""
        return self._wait(
            self._requests.acquire_token_silently(account, scopes, claims, correlation_id))

    def acquire_token_interactively(self, account: Account, scopes: Scopes, *,
                                    window: int | None = None, claims: Claims | None = None,
                                    correlation_id: str | None = None) -> Token:
        """A token for an account, with a prompt."""
        return self._wait(self._requests.acquire_token_interactively(
            account, scopes, window, claims, correlation_id))

    def read_account(self, account_id: str, *, correlation_id: str | None = None) -> Account:
        """The account with this id; `AccountNotFound` if the runtime knows none."""
        return self._wait(self._requests.read_account(account_id, correlation_id))

    def discover_accounts(self, *, correlation_id: str | None = None) -> tuple[Account, ...]:
        """The accounts the runtime knows for this application."""
        return self._wait(self._requests.discover_accounts(correlation_id))

    def sign_out(self, account: Account, *, correlation_id: str | None = None) -> None:
        """Sign an account out."""
        self._wait(self._requests.sign_out(account, correlation_id))


_running_loop: Callable[[], asyncio.AbstractEventLoop] | None = None


def _load_asyncio() -> Callable[[], asyncio.AbstractEventLoop]:
    # asyncio is imported at the first asynchronous wait, not with this module: programs that
    # only block never load it.
    global _running_loop
    from asyncio import get_running_loop

    _running_loop = get_running_loop
    return get_running_loop


class AsyncClient(_ClientBase):
    """`Client` for asyncio: the same methods as coroutines.

    Waiting never blocks the event loop. Cancelling the awaiting task cancels the runtime's
    operation, as does the timeout (which raises `TimeoutError`). A result that arrives after the
    event loop closed is dropped.
    """

    _waits: LoopWaits | None = None

    async def _wait(self, pending: Pending[T]) -> T:
        if pending.done:  # completed inside the start call: nothing to wait for
            return pending.result()
        waits = self._loop_waits()
        waiter = waits.begin(pending)
        try:
            return await waiter
        except BaseException:
            pending.cancel()  # the task was cancelled: the operation is no longer wanted
            raise
        finally:
            waits.end(waiter)

    def _loop_waits(self) -> LoopWaits:
        loop = (_running_loop or _load_asyncio())()
        waits = self._waits
        if waits is None or waits.loop is not loop or waits.timeout != self.timeout:
            from ._loop_waits import LoopWaits

            timeout = self.timeout
            waits = self._waits = LoopWaits(loop, timeout, lambda: _timed_out(timeout))
        return waits

    async def sign_in(self, scopes: Scopes, *, login_hint: str | None = None,
                      window: int | None = None, correlation_id: str | None = None) -> Token:
        """Sign a user in, silently when the runtime can, else with a prompt."""
        return await self._wait(self._requests.sign_in(scopes, login_hint, window, correlation_id))

    async def sign_in_silently(self, scopes: Scopes, *, correlation_id: str | None = None) -> Token:
        """Sign a known user in without a prompt; `InteractionRequired` if that cannot be done."""
        return await self._wait(self._requests.sign_in_silently(scopes, correlation_id))

    async def sign_in_interactively(self, scopes: Scopes, *, login_hint: str | None = None,
                                    window: int | None = None, correlation_id: str | None = None
                                    ) -> Token:
        """Sign a user in with a prompt (`UserCanceled` if the user closes it)."""
        return await self._wait(
            self._requests.sign_in_interactively(scopes, login_hint, window, correlation_id))

    async def acquire_token_silently(self, account: Account, scopes: Scopes, *,
                                     claims: Claims | None = None,
                                     correlation_id: str | None = None) -> Token:
        """A token for a signed-in account without a prompt; `InteractionRequired` when the
        user must act. `claims` (text or a mapping) asks for extra claims."""
        return await self._wait(
            self._requests.acquire_token_silently(account, scopes, claims, correlation_id))

    async def acquire_token_interactively(self, account: Account, scopes: Scopes, *,
                                          window: int | None = None, claims: Claims | None = None,
                                          correlation_id: str | None = None) -> Token:
        """A token for an account, with a prompt."""
        return await self._wait(self._requests.acquire_token_interactively(
            account, scopes, window, claims, correlation_id))

    async def read_account(self, account_id: str, *, correlation_id: str | None = None
                           ) -> Account:
        """The account with this id; `AccountNotFound` if the runtime knows none."""
        return await self._wait(self._requests.read_account(account_id, correlation_id))

    async def discover_accounts(self, *, correlation_id: str | None = None
                                ) -> tuple[Account, ...]:
        """The accounts the runtime knows for this application."""
        return await self._wait(self._requests.discover_accounts(correlation_id))

    async def sign_out(self, account: Account, *, correlation_id: str | None = None) -> None:
        """Sign an account out."""
        await self._wait(self._requests.sign_out(account, correlation_id))

"""`Credential` and `AsyncCredential`: a token for an application's scopes, kept fresh.

A credential wraps a `Client` (or `AsyncClient`) and one account. `get_token` answers from the
credential's own cache while the token there stays valid past the refresh margin, and only then
asks the runtime: silently first, passing the old token as the one to renew, and with a prompt
when the runtime needs the user and the prompt policy allows one. Concurrent callers that need
the same scopes share one runtime operation.

The acquisition itself is written once, as a generator of the client calls it makes (`_Call`);
`Credential` runs it with blocking calls, `AsyncCredential` awaits them.
"""

from __future__ import annotations

import datetime
import threading
from collections.abc import Callable, Generator, Iterable
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Final, Generic, Literal, TypeAlias, TypeVar

from . import _clock
from .client import AsyncClient, Claims, Client, RetryPolicy, _scope_list, _text, _window
from .errors import AccountNotFound, AccountSwitch, AccountUnusable, InteractionRequired
from .models import Account, Token

if TYPE_CHECKING:
    import asyncio

__all__ = ["ONLY_ACCOUNT", "AccountChoice", "AccountId", "AsyncCredential", "Credential",
           "LoginHint", "OnlyAccount"]

_now = _clock.now


@dataclass(frozen=True)
class LoginHint:
    """Use the signed-in account whose user name is `user_name` (compared without regard to
    case); a prompt, where the policy allows one, is offered to that user."""

    user_name: str

    def __post_init__(self) -> None:
        _text("user_name", self.user_name)


@dataclass(frozen=True)
class AccountId:
    """Use the account with this id, looked up by the runtime."""

    account_id: str

    def __post_init__(self) -> None:
        _text("account_id", self.account_id)


class OnlyAccount:
    """Use the one account signed in: with none, or with several to choose from, the user is
    needed (`InteractionRequired`, or a prompt, as the credential's policy says). Its one value
    is `ONLY_ACCOUNT`."""

    __slots__ = ()

    def __repr__(self) -> str:
        return "ONLY_ACCOUNT"


#: The default account choice: the one signed-in account.
ONLY_ACCOUNT: Final = OnlyAccount()

# Which account a credential uses: by user name, by id, the only one, or the choice of a function
# given the accounts the runtime knows (None: none of them).
AccountChoice: TypeAlias = (LoginHint | AccountId | OnlyAccount
                            | Callable[[tuple[Account, ...]], Account | None])
# When a credential may show a prompt: never (the runtime's need of the user is raised), or when
# the runtime needs the user.
_Prompt: TypeAlias = Literal["never", "when_needed"]

# What a cached token is kept with: when it is due for renewal, by `now()`.
_Entry: TypeAlias = tuple[datetime.datetime, Token]
_DUE = datetime.datetime.min.replace(tzinfo=datetime.UTC)
# The runtime cannot go on without the user: a prompt may help.
_NEEDS_USER = (InteractionRequired, AccountSwitch, AccountUnusable, AccountNotFound)
C = TypeVar("C", Client, AsyncClient)
T = TypeVar("T")


@dataclass(frozen=True)
class _Call:
    """One call of a client method, as the acquisition asks for it."""

    method: str
    args: tuple[Any, ...]
    kwargs: dict[str, Any]


_Steps: TypeAlias = Generator[_Call, Any, Token]


def _margin(value: object) -> datetime.timedelta:
    if isinstance(value, bool) or not isinstance(value, (datetime.timedelta, int, float)):
        raise TypeError(f"refresh_margin must be a timedelta or a number of seconds, "
                        f"not {type(value).__name__}")
    margin = value if isinstance(value, datetime.timedelta) else datetime.timedelta(seconds=value)
    if margin < datetime.timedelta(0):
        raise ValueError(f"refresh_margin must not be negative, not {value!r}")
    return margin


def _claims_key(claims: Claims | None) -> object:
    """What tells requests with different claims apart, for sharing an operation."""
    if claims is None or isinstance(claims, str):
        return claims
    import json

    return json.dumps(claims, sort_keys=True, default=repr)


class _CredentialBase(Generic[C]):
    _client: C

    def __init__(self, client: C, scopes: Iterable[str], account: AccountChoice,
                 prompt: _Prompt, window: int | None, refresh_margin: datetime.timedelta | float
                 ) -> None:
        self._client = client
        self._scopes = tuple(_scope_list(scopes))
        if not self._scopes:
            raise ValueError("scopes must name at least one scope")
        if not isinstance(account, (LoginHint, AccountId, OnlyAccount)) and not callable(account):
            raise TypeError(f"account must be a LoginHint, an AccountId, ONLY_ACCOUNT or a "
                            f"function choosing among accounts, not {type(account).__name__}")
        self._choice = account
        if prompt not in ("never", "when_needed"):
            raise ValueError(f"prompt must be 'never' or 'when_needed', not {prompt!r}")
        self._prompt = prompt
        if window is not None:
            _window(window)
        self._window = window
        self._margin = _margin(refresh_margin)
        self._account: Account | None = None
        # Scopes, as asked for, to their token; every value is replaced whole, so readers need
        # no lock.
        self._tokens: dict[tuple[str, ...], _Entry] = {}
        # Moved on by `sign_out`: an acquisition that began before it keeps nothing.
        self._generation = 0
        self._lock = threading.Lock()

    @property
    def client(self) -> C:
        """The client the credential acquires its tokens with."""
        return self._client

    @property
    def scopes(self) -> tuple[str, ...]:
        """The default scopes, those of `get_token()` without any."""
        return self._scopes

    @property
    def account(self) -> Account | None:
        """The account the credential uses; None until it found one (or after `sign_out`)."""
        return self._account

    @property
    def valid(self) -> bool:
        """Whether a token for the default scopes is cached and valid past the refresh margin:
        `get_token()` then answers without the runtime."""
        entry = self._tokens.get(self._scopes)
        return entry is not None and _now() < entry[0]

    @property
    def expired(self) -> bool:
        """Whether no token for the default scopes can be used any more: none is cached, or the
        cached one has expired. A token within the margin is neither `valid` nor `expired`."""
        entry = self._tokens.get(self._scopes)
        return entry is None or entry[1].expires_at <= _now()

    def invalidate(self, token: Token) -> None:
        """Take a token the credential handed out as refused (a server answered that it is not
        valid): the next `get_token` for its scopes renews it through the runtime. A token
        renewed meanwhile is left alone, so many callers refused at once renew once."""
        with self._lock:
            for key, (_, cached) in list(self._tokens.items()):
                if cached.access_token == token.access_token:
                    self._tokens[key] = (_DUE, cached)

    def _key(self, scopes: tuple[str, ...]) -> tuple[str, ...]:
        return tuple(_scope_list(scopes)) if scopes else self._scopes

    def _fresh(self, key: tuple[str, ...]) -> Token | None:
        entry = self._tokens.get(key)
        return entry[1] if entry is not None and _now() < entry[0] else None

    def _forget(self) -> None:
        with self._lock:
            self._generation += 1
            self._tokens.clear()
            self._account = None

    # -- the acquisition, as the client calls it makes ---------------------------------------

    def _choose_account(self) -> Generator[_Call, Any, Account | str]:
        """The account the choice picks, or why none was picked."""
        choice = self._choice
        if isinstance(choice, AccountId):
            return Account(choice.account_id)  # the client looks it up by its id
        accounts: tuple[Account, ...] = yield _Call("discover_accounts", (), {})
        if isinstance(choice, LoginHint):
            wanted = choice.user_name.casefold()
            for account in accounts:
                if (account.user_name or "").casefold() == wanted:
                    return account
            return f"no signed-in account has the user name {choice.user_name!r}"
        if isinstance(choice, OnlyAccount):
            if len(accounts) == 1:
                return accounts[0]
            return (f"{len(accounts)} accounts are signed in; the credential uses the only one"
                    if accounts else "no account is signed in")
        chosen = choice(accounts)
        if chosen is not None and not isinstance(chosen, Account):
            raise TypeError(f"the account choice returned {type(chosen).__name__}, "
                            "not an Account or None")
        return "the account choice picked none of the accounts" if chosen is None else chosen

    def _acquisition(self, key: tuple[str, ...], claims: Claims | None) -> _Steps:
        generation = self._generation
        entry = self._tokens.get(key)
        options: dict[str, Any] = {}
        if claims is not None:
            options["claims"] = claims
        if entry is not None:
            options["access_token_to_renew"] = entry[1].access_token
        account = self._account
        try:
            if account is None:
                found = yield from self._choose_account()
                if isinstance(found, str):
                    raise InteractionRequired(context=f"{found}: an interactive sign-in is "
                                                      "required")
                account = found
            token: Token = yield _Call("acquire_token_silently", (account, key), options)
        except _NEEDS_USER as needed:
            if not isinstance(needed, InteractionRequired):
                self._account = None  # another account, or none: chosen again next time
            if self._prompt == "never":
                raise
            interactive = {"window": self._window, "claims": claims}
            if isinstance(needed, InteractionRequired) and account is not None:
                token = yield _Call("acquire_token_interactively", (account, key), interactive)
            else:
                hint = self._choice.user_name if isinstance(self._choice, LoginHint) else None
                token = yield _Call("sign_in_interactively", (key,),
                                    {**interactive, "login_hint": hint})
        with self._lock:
            if generation == self._generation:
                self._account = token.account
                self._tokens[key] = (token.expires_at - self._margin, token)
        return token

    def _sign_out(self) -> Generator[_Call, Any, None]:
        try:
            account = self._account
            if account is None:
                found = yield from self._choose_account()
                if isinstance(found, str):
                    return
                account = found
            yield _Call("sign_out", (account,), {})
        finally:
            self._forget()

    def __repr__(self) -> str:
        return (f"{type(self).__name__}({self._client.client_id!r}, {self._client.authority!r}, "
                f"scopes={self._scopes!r}, account={self._choice!r}, prompt={self._prompt!r})")


class _Flight:
    """One runtime acquisition that callers needing the same token wait for."""

    __slots__ = ("done", "error", "token")

    def __init__(self) -> None:
        self.done = threading.Event()
        self.token: Token | None = None
        self.error: BaseException | None = None


class Credential(_CredentialBase[Client]):
    """A token for `scopes` of the application `client_id`, kept fresh, for blocking code.

    `account` chooses the account: `ONLY_ACCOUNT` (the one signed in), `LoginHint(user_name)`,
    `AccountId(account_id)`, or a function given the accounts the runtime knows that returns one
    (or None). When the runtime needs the user (`InteractionRequired`, `AccountSwitch`,
    `AccountUnusable`, `AccountNotFound`), `prompt="never"` raises that error and
    `prompt="when_needed"` shows a prompt, its parent `window` (by default the console's or the
    desktop's). A token is renewed once less than `refresh_margin` (a timedelta or seconds) is
    left of it, by `pyvessaruntime.now()`. `timeout`, `retry` and `redirect_uri` are those of
    the `Client` it makes. Bad arguments raise TypeError or ValueError here.

    A credential may be shared by threads: those that need the same token at once share one
    runtime operation, and its failure reaches every one of them.
    """

    def __init__(self, client_id: str, authority: str, scopes: Iterable[str], *,
                 account: AccountChoice = ONLY_ACCOUNT, prompt: _Prompt = "never",
                 window: int | None = None,
                 refresh_margin: datetime.timedelta | float = datetime.timedelta(minutes=5),
                 timeout: float | None = 60.0, retry: RetryPolicy | None = None,
                 redirect_uri: str | None = None) -> None:
        client = Client(client_id, authority, redirect_uri=redirect_uri, timeout=timeout,
                        retry=retry)
        super().__init__(client, scopes, account, prompt, window, refresh_margin)
        self._flights: dict[tuple[tuple[str, ...], object], _Flight] = {}

    def get_token(self, *scopes: str, claims: Claims | None = None) -> Token:
        """A token for `scopes` (none: the default scopes): the cached one while it is valid past
        the refresh margin, else one the runtime renews or, when the user is needed and the
        policy allows, one acquired with a prompt. `claims` (JSON text or a mapping) asks the
        runtime for a token with those claims, whatever is cached. Raises `AuthError`."""
        if claims is None:
            try:
                entry = self._tokens.get(scopes or self._scopes)
            except TypeError:  # a scope that is no str; the checks below say so
                entry = None
            if entry is not None and _now() < entry[0]:
                return entry[1]
        return self._acquire(self._key(scopes), claims)

    def _acquire(self, key: tuple[str, ...], claims: Claims | None) -> Token:
        flight_key = (key, _claims_key(claims))
        while True:
            with self._lock:
                token = None if claims is not None else self._fresh(key)
                if token is not None:
                    return token
                flight = self._flights.get(flight_key)
                leading = flight is None
                if flight is None:
                    flight = self._flights[flight_key] = _Flight()
            if leading:
                return self._lead(flight_key, flight, self._acquisition(key, claims))
            flight.done.wait()
            if flight.token is not None:
                return flight.token
            if isinstance(flight.error, Exception):
                raise flight.error
            # The leading caller was interrupted (its operation cancelled): one of those still
            # waiting leads anew.

    def _lead(self, flight_key: tuple[tuple[str, ...], object], flight: _Flight,
              steps: _Steps) -> Token:
        try:
            flight.token = self._run(steps)
            return flight.token
        except BaseException as exc:
            flight.error = exc
            raise
        finally:
            with self._lock:
                del self._flights[flight_key]
            flight.done.set()

    def _run(self, steps: Generator[_Call, Any, T]) -> T:
        answer: Any = None
        error: Exception | None = None
        while True:
            try:
                call = steps.send(answer) if error is None else steps.throw(error)
            except StopIteration as stop:
                result: T = stop.value
                return result
            answer, error = None, None
            try:
                answer = getattr(self._client, call.method)(*call.args, **call.kwargs)
            except Exception as exc:
                error = exc

    def sign_out(self) -> None:
        """Sign the credential's account out (of every application, where the runtime shares
        accounts) and forget its tokens; the next `get_token` chooses an account again."""
        self._run(self._sign_out())


class AsyncCredential(_CredentialBase[AsyncClient]):
    """`Credential` for asyncio, over an `AsyncClient`: `get_token` and `sign_out` are
    coroutines.

    Tasks that need the same token at once share one runtime operation; a cancelled task leaves
    the operation to the others (it is cancelled when none waits any more), and a failure
    reaches every one of them. A credential may serve several event loops.
    """

    def __init__(self, client_id: str, authority: str, scopes: Iterable[str], *,
                 account: AccountChoice = ONLY_ACCOUNT, prompt: _Prompt = "never",
                 window: int | None = None,
                 refresh_margin: datetime.timedelta | float = datetime.timedelta(minutes=5),
                 timeout: float | None = 60.0, retry: RetryPolicy | None = None,
                 redirect_uri: str | None = None) -> None:
        client = AsyncClient(client_id, authority, redirect_uri=redirect_uri, timeout=timeout,
                             retry=retry)
        super().__init__(client, scopes, account, prompt, window, refresh_margin)
        self._flights: dict[tuple[object, ...], asyncio.Task[Token]] = {}
        self._waiting: dict[asyncio.Task[Token], int] = {}

    async def get_token(self, *scopes: str, claims: Claims | None = None) -> Token:
        """A token for `scopes` (none: the default scopes), as `Credential.get_token` gives
        it."""
        if claims is None:
            try:
                entry = self._tokens.get(scopes or self._scopes)
            except TypeError:
                entry = None
            if entry is not None and _now() < entry[0]:
                return entry[1]
        return await self._acquire(self._key(scopes), claims)

    async def _acquire(self, key: tuple[str, ...], claims: Claims | None) -> Token:
        import asyncio

        token = None if claims is not None else self._fresh(key)
        if token is not None:
            return token
        loop = asyncio.get_running_loop()
        flight_key = (loop, key, _claims_key(claims))
        task = self._flights.get(flight_key)
        if task is None or task.done():
            task = loop.create_task(self._run(self._acquisition(key, claims)))
            self._flights[flight_key] = task

            def landed(done: asyncio.Task[Token]) -> None:
                if self._flights.get(flight_key) is done:
                    del self._flights[flight_key]

            task.add_done_callback(landed)
        self._waiting[task] = self._waiting.get(task, 0) + 1
        try:
            return await asyncio.shield(task)
        finally:
            left = self._waiting.pop(task) - 1
            if left:
                self._waiting[task] = left
            elif not task.done():
                task.cancel()  # no caller wants it any more

    async def _run(self, steps: Generator[_Call, Any, T]) -> T:
        answer: Any = None
        error: Exception | None = None
        while True:
            try:
                call = steps.send(answer) if error is None else steps.throw(error)
            except StopIteration as stop:
                result: T = stop.value
                return result
            answer, error = None, None
            try:
                answer = await getattr(self._client, call.method)(*call.args, **call.kwargs)
            except Exception as exc:
                error = exc

    async def sign_out(self) -> None:
        """Sign the credential's account out and forget its tokens, as `Credential.sign_out`."""
        await self._run(self._sign_out())


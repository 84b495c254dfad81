"""What the clients return: `Token` and `Account`, frozen dataclasses read from the native
result objects, and the converters that read them.

Each converter reads every getter once, right when the runtime delivers the result, so a native
result object never outlives the operation that produced it. A text of the runtime's that no
value can be made of (a lone surrogate, telemetry that is not JSON, JSON nested deeper than the
interpreter follows) raises `ContractViolation` naming the value; an ID token's gives no claims.
An `Account` a client returned keeps the runtime's account object beside its fields (out of
comparisons, `repr`, copies and pickles), so that it can be handed back to the runtime; an
`Account` without one is looked up again by its id when it is handed back.

The values are plain data: they copy, pickle and go through `dataclasses.asdict`; their mappings
(claims, additional fields, telemetry) are read-only, nested objects included (JSON arrays
become tuples); and their `repr` leaves out personal data (names, user names, client info,
claims) and secrets, so a logged value shows ids, expiry and scopes only.
"""

from __future__ import annotations

import base64
import binascii
import datetime
import json
from collections.abc import Callable, Mapping
from dataclasses import dataclass, field
from typing import Any, NoReturn

from . import _clock, _results
from .errors import AuthError, Status, from_native
from .pyvessaruntime import (
    VESSARuntimeAccount,
    VESSARuntimeAuthResult,
    VESSARuntimeDiscoverAccountsResult,
    VESSARuntimeError,
    VESSARuntimeReadAccountResult,
    VESSARuntimeSignOutResult,
)

__all__ = ["Account", "Token"]


class _ReadOnlyDict(dict[str, Any]):
    """A dict that refuses every change: a mapping of a value the application must not be able
    to alter behind the value's back. Still a dict, so `json.dumps` and `dataclasses.asdict`
    take it as one."""

    def _refuse(self, *args: object, **kwargs: object) -> NoReturn:
        raise TypeError("this mapping is read-only; copy it with dict(...) to change it")

    __setitem__ = __delitem__ = __ior__ = _refuse
    clear = pop = popitem = setdefault = update = _refuse

    def __reduce__(self) -> tuple[type[_ReadOnlyDict], tuple[dict[str, Any]]]:
        # Unpickling a dict subclass would otherwise fill it through __setitem__.
        return type(self), (dict(self),)


def _frozen(value: Any) -> Any:
    """`value` with every dict made read-only and every list a tuple, all the way down."""
    if isinstance(value, dict):
        if type(value) is _ReadOnlyDict:
            return value
        # Copied in one step; only the values that hold more are visited again.
        frozen = _ReadOnlyDict(value)
        for key, item in value.items():
            if isinstance(item, (dict, list)):
                dict.__setitem__(frozen, key, _frozen(item))
        return frozen
    if isinstance(value, list):
        return tuple(_frozen(item) for item in value)
    return value


def _frozen_mapping(value: Mapping[str, Any]) -> Mapping[str, Any]:
    frozen: Mapping[str, Any] = _frozen(value if isinstance(value, dict) else dict(value))
    return frozen


@dataclass(frozen=True)
class Account:
    """An account known to the runtime: its thirteen properties (None where the runtime has no
    value; `account_id` always has one), `additional_fields` parsed from its JSON (empty when
    there is none, or when the runtime's text is not a JSON object).

    Pass it back to `Client.acquire_token_silently`, `acquire_token_interactively` or
    `sign_out`. One a client returned carries the runtime's own account object for that; a copy,
    an unpickled one or one built by hand (``Account("account-id")``) is looked up again by its
    `account_id` first.
    """

    account_id: str
    home_account_id: str | None = None
    environment: str | None = None
    realm: str | None = None
    local_account_id: str | None = None
    user_name: str | None = field(default=None, repr=False)
    given_name: str | None = field(default=None, repr=False)
    family_name: str | None = field(default=None, repr=False)
    middle_name: str | None = field(default=None, repr=False)
    display_name: str | None = field(default=None, repr=False)
    additional_fields: Mapping[str, Any] = field(
        default_factory=_ReadOnlyDict, hash=False, repr=False)
    home_environment: str | None = None
    client_info: str | None = field(default=None, repr=False)

    def __post_init__(self) -> None:
        if not isinstance(self.account_id, str):
            raise TypeError(f"account_id must be a str, not {type(self.account_id).__name__}")
        object.__setattr__(self, "additional_fields", _frozen_mapping(self.additional_fields))

    def __getstate__(self) -> dict[str, Any]:
        # The runtime's account object belongs to this process and this runtime; it stays out.
        return {name: value for name, value in self.__dict__.items() if name != "_native"}


def native_of(account: Account) -> VESSARuntimeAccount | None:
    """The runtime's account object that `account` carries, if a client made it."""
    native: VESSARuntimeAccount | None = account.__dict__.get("_native")
    return native


@dataclass(frozen=True)
class Token:
    """A token the runtime issued.

    `expires_at` is an aware `datetime` in UTC (`expires_in` and `is_expired` measure it against
    `pyvessaruntime.now()`, the time by the runtime's clock); `granted_scopes` the scopes the token carries; `id_token` the claims of the
    ID token (None without one, or when its text cannot be read), `raw_id_token` its text;
    `account` the signed-in account; `telemetry` the runtime's telemetry of the operation, which
    takes no part in comparisons. `authorization_header` is the value of an HTTP
    ``Authorization`` header (``Bearer ...``, or ``PoP ...`` for a proof-of-possession token,
    when `is_pop`).
    """

    # Secrets and personal data stay out of repr, so a logged token leaks neither.
    access_token: str = field(repr=False)
    authorization_header: str = field(repr=False)
    expires_at: datetime.datetime
    granted_scopes: tuple[str, ...]
    id_token: Mapping[str, Any] | None = field(hash=False, repr=False)
    raw_id_token: str | None = field(repr=False)
    account: Account
    telemetry: Mapping[str, Any] = field(compare=False, hash=False, repr=False)
    is_pop: bool = False

    def __post_init__(self) -> None:
        if self.id_token is not None:
            object.__setattr__(self, "id_token", _frozen_mapping(self.id_token))
        object.__setattr__(self, "telemetry", _frozen_mapping(self.telemetry))

    @property
    def expires_in(self) -> datetime.timedelta:
        """The time left until `expires_at` (negative once it has passed), by the runtime's clock
        (`pyvessaruntime.now`: the emulator's while it is the runtime)."""
        return self.expires_at - _clock.now()

    def is_expired(self, leeway: datetime.timedelta | float = 0) -> bool:
        """Whether the token has expired, or will within `leeway` (a `timedelta` or seconds):
        ask with a leeway to renew a token before a request could meet its expiry. A leeway of
        another type raises TypeError; NaN, an infinity or more seconds than a `timedelta`
        holds, ValueError."""
        if isinstance(leeway, bool) or not isinstance(leeway, (datetime.timedelta, int, float)):
            raise TypeError(f"leeway must be a timedelta or a number of seconds, "
                            f"not {type(leeway).__name__}")
        if not isinstance(leeway, datetime.timedelta):
            try:
                leeway = datetime.timedelta(seconds=leeway)
            except (ValueError, OverflowError):
                raise ValueError(f"leeway must be a finite number of seconds that a timedelta "
                                 f"holds, not {leeway!r}") from None
        return self.expires_in <= leeway


# `json.loads` with its default decoder, without the checks for bytes and options that a text
# from the runtime never needs.
_loads = json.JSONDecoder().decode


_REMEMBERED = 32


def _remembered(parse: Callable[[str], dict[str, Any] | None], what: str | None
                ) -> Callable[[str | None], Mapping[str, Any] | None]:
    """`parse` of a text, made read-only (`_frozen`); the results of the last few texts are
    kept and handed out again, as the runtime answers the same account fields and ID token call
    after call. A read-only value can be shared: nobody can change it for another. A text
    nested too deeply to follow raises `ContractViolation` naming `what`, or is None without
    it."""
    kept: dict[str, Mapping[str, Any] | None] = {}

    # Runtime threads convert results at once, without a lock: each step on `kept` is one dict
    # operation, a text maps to equal values whoever parsed it, and a race costs at most a
    # parse made twice, a clear made early, or a few entries past the limit until the next one.
    def parsed(text: str | None) -> Mapping[str, Any] | None:
        try:
            return kept[text or ""]
        except KeyError:
            pass
        try:
            value = parse(text or "")
            frozen = None if value is None else _frozen(value)
        except RecursionError as exc:
            if what is not None:
                raise _unreadable(what, exc) from None
            frozen = None
        if len(kept) >= _REMEMBERED:
            kept.clear()
        kept[text or ""] = frozen
        return frozen

    return parsed


def _parse_object(text: str) -> dict[str, Any]:
    if not text:
        return {}
    try:
        value = _loads(text)
    except ValueError:
        return {}
    return value if isinstance(value, dict) else {}


def _parse_claims(id_token: str) -> dict[str, Any] | None:
    """The claims of an ID token: a JWT's payload, or the token itself when it is JSON."""
    if not id_token:
        return None
    text = id_token.strip()
    if not text.startswith("{"):
        parts = text.split(".")
        if len(parts) < 2:
            return None
        try:
            text = base64.urlsafe_b64decode(parts[1] + "=" * (-len(parts[1]) % 4)).decode()
        except (binascii.Error, ValueError):
            return None
    try:
        claims = _loads(text)
    except ValueError:
        return None
    return claims if isinstance(claims, dict) else None


_json_object = _remembered(_parse_object, "account additional fields")
_claims = _remembered(_parse_claims, None)  # an ID token that cannot be read has no claims


def _raise_for(error: VESSARuntimeError | None) -> None:
    if error is not None:
        raise from_native(error)


def _contract_violation(what: str) -> AuthError:
    return AuthError(Status.Status_ApiContractViolation, context=f"the runtime {what}")


# What reading a text of the runtime's raises when the layer cannot make a value of it: a lone
# surrogate, telemetry that is not JSON, nesting deeper than the interpreter follows.
_UNREADABLE = (UnicodeDecodeError, json.JSONDecodeError, RecursionError)


def _unreadable(what: str, exc: BaseException) -> AuthError:
    return AuthError(Status.Status_ApiContractViolation,
                     context=f"the runtime's {what} could not be read: {exc}")


# How the getters below are called: as they are, or with a text that cannot be read named.
_Read = Callable[[Callable[[], Any], str], Any]


def _as_getter(getter: Callable[[], Any], what: str) -> Any:
    return getter()


def _naming(getter: Callable[[], Any], what: str) -> Any:
    try:
        return getter()
    except _UNREADABLE as exc:
        raise _unreadable(what, exc) from None


# An account's getters after its id, in order, with what a failure calls the value.
_ACCOUNT_GETTERS = (
    ("get_home_account_id", "home account id"), ("get_environment", "environment"),
    ("get_realm", "realm"), ("get_local_account_id", "local account id"),
    ("get_user_name", "user name"), ("get_given_name", "given name"),
    ("get_family_name", "family name"), ("get_middle_name", "middle name"),
    ("get_display_name", "display name"), ("get_additional_fields_json", "additional fields"),
    ("get_home_environment", "home environment"), ("get_client_info", "client info"))
# An auth result's, between its account and the account's own.
_RESULT_GETTERS = (
    ("get_telemetry_data", "telemetry"), ("get_raw_id_token", "raw ID token"),
    ("get_access_token", "access token"), ("get_authorization_header", "authorization header"),
    ("get_access_token_expiry_time", "token expiry"), ("get_granted_scopes", "granted scopes"),
    ("get_id_token", "ID token"))


def _account_reads(native: VESSARuntimeAccount, read: _Read = _as_getter) -> tuple[Any, ...]:
    """The getters of a native account, in order, up to an id that is missing; each called
    through `read`."""
    account_id = read(native.get_account_id, "account id")
    if not account_id:
        return (account_id,)
    return (account_id, *(read(getattr(native, getter), f"account {what}")
                          for getter, what in _ACCOUNT_GETTERS))


def _token_reads(result: VESSARuntimeAuthResult, read: _Read = _as_getter) -> tuple[Any, ...]:
    """The getters of an auth result, in order, up to the first answer that ends the reading:
    an error the result carries, no account, an account without an id; the account's own are
    read as `_account_reads` reads them, before `is_pop_authorization`; the texts through
    `read`."""
    error = result.get_error()
    if error is not None:
        return (error,)
    account = result.get_account()
    if account is None:
        return (None, None)
    reads = (None, account, *(read(getattr(result, getter), what)
                              for getter, what in _RESULT_GETTERS), *_account_reads(account, read))
    if not reads[9]:
        return reads
    return (*reads, result.is_pop_authorization())


# The same reads made natively, with the interpreter lock given up once for all the runtime's
# queries rather than once per getter; they answer NotImplemented where the getters must be
# called.
_read_account: Callable[[VESSARuntimeAccount], Any] | None = _results.read_account
_read_token: Callable[[VESSARuntimeAuthResult], Any] | None = _results.read_token

# The values are made natively from the answers, every field set at once: a frozen dataclass's
# generated ``__init__`` sets each through ``object.__setattr__``, which is most of the cost of
# reading a result, and its ``__post_init__`` is not needed: every mapping is made read-only
# there already.
_results.configure_values(Token, Account, _ReadOnlyDict, _frozen, _claims, _json_object,
                          datetime.datetime.fromtimestamp, datetime.UTC)


def _account(native: VESSARuntimeAccount, reads: tuple[Any, ...]) -> Account:
    if not reads[0]:
        raise _contract_violation("returned an account without an id")
    account: Account = _results.make_account(native, reads)
    return account


def _fast_reads(reader: Callable[[Any], Any] | None,
                slow: Callable[[Any, _Read], tuple[Any, ...]], native: Any) -> tuple[Any, ...]:
    try:
        reads = NotImplemented if reader is None else reader(native)
    except _UNREADABLE:
        reads = NotImplemented  # read again getter by getter, which names the text at fault
    return slow(native, _naming) if reads is NotImplemented else reads


def to_account(native: VESSARuntimeAccount) -> Account:
    """Read every property of a native account once (a text that cannot be read, twice: the
    second names it in the `ContractViolation`)."""
    return _account(native, _fast_reads(_read_account, _account_reads, native))


def to_token(result: VESSARuntimeAuthResult) -> Token:
    """The `Token` of an auth result, or the `AuthError` it carries."""
    reads = _fast_reads(_read_token, _token_reads, result)
    if reads[0] is not None:
        raise from_native(reads[0])
    if reads[1] is None:
        raise _contract_violation("reported a successful sign-in or token without an account")
    if not reads[9]:
        raise _contract_violation("returned an account without an id")
    try:
        token: Token = _results.make_token(reads)
    except RecursionError as exc:  # the other mappings' depth is judged as they are parsed
        raise _unreadable("telemetry", exc) from None
    return token


def to_found_account(result: VESSARuntimeReadAccountResult) -> Account:
    """The account a read found; `AccountNotFound` when the runtime found none."""
    _raise_for(result.get_error())
    account = result.get_account()
    if account is None:
        raise AuthError(Status.Status_AccountNotFound, context="the runtime returned no account")
    return to_account(account)


def to_accounts(result: VESSARuntimeDiscoverAccountsResult) -> tuple[Account, ...]:
    """The accounts a discovery found, in the runtime's order."""
    _raise_for(result.get_error())
    return tuple(to_account(account) for account in result.get_accounts())


def to_signed_out(result: VESSARuntimeSignOutResult) -> None:
    """Nothing, or the `AuthError` a sign-out result carries."""
    _raise_for(result.get_error())

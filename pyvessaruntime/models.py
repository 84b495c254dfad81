"""What the clients return: `Token` and `Account`, frozen dataclasses read from the native
result objects, and the converters that read them.

Each converter reads every getter once, right when the runtime delivers the result, so a native
result object never outlives the operation that produced it. An `Account` keeps one native
account object, out of its `repr` and equality, so that it can be handed back to the runtime.
"""

from __future__ import annotations

import base64
import binascii
import datetime
import json
from collections.abc import Callable, Mapping
from dataclasses import dataclass, field
from typing import Any, TypeVar

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

_V = TypeVar("_V")


@dataclass(frozen=True)
class Account:
    """An account known to the runtime: its thirteen properties (None where the runtime has no
    value), `additional_fields` parsed from its JSON (empty when there is none, or when the
    runtime's text is not a JSON object).

    Pass it back to `Client.acquire_token_silently`, `acquire_token_interactively` or
    `sign_out`: it carries the runtime's own account object for that, which takes no part in
    comparisons and `repr`. An `Account` built by hand has none and is refused there.
    """

    account_id: str | None
    home_account_id: str | None
    environment: str | None
    realm: str | None
    local_account_id: str | None
    user_name: str | None
    given_name: str | None
    family_name: str | None
    middle_name: str | None
    display_name: str | None
    additional_fields: Mapping[str, Any] = field(hash=False)
    home_environment: str | None
    client_info: str | None
    native: VESSARuntimeAccount | None = field(
        default=None, repr=False, compare=False, hash=False, kw_only=True)


@dataclass(frozen=True)
class Token:
    """A token the runtime issued.

    `expires_at` is an aware `datetime` in UTC; `granted_scopes` the scopes the token carries;
    `id_token` the claims of the ID token (None without one, or when its text cannot be
    read), `raw_id_token` its text; `account` the signed-in account; `telemetry` the runtime's
    telemetry of the operation. `authorization_header` is the value of an HTTP ``Authorization``
    header (``Bearer ...``, or ``PoP ...`` for a proof-of-possession token, when `is_pop`).
    """

    # Secrets stay out of repr, so a logged token does not leak them.
    access_token: str = field(repr=False)
    authorization_header: str = field(repr=False)
    expires_at: datetime.datetime
    granted_scopes: tuple[str, ...]
    id_token: Mapping[str, Any] | None = field(hash=False)
    raw_id_token: str | None = field(repr=False)
    account: Account | None
    telemetry: Mapping[str, Any] = field(hash=False, repr=False)
    is_pop: bool = False


# `json.loads` with its default decoder, without the checks for bytes and options that a text
# from the runtime never needs.
_loads = json.JSONDecoder().decode


_new = object.__new__
_set = object.__setattr__


def _made(cls: type[_V], fields: dict[str, Any]) -> _V:
    """An instance of the frozen dataclass `cls` with every field given, set in one step: its
    generated ``__init__`` goes through ``object.__setattr__`` once per field, which is most of
    the cost of reading a result."""
    value = _new(cls)
    _set(value, "__dict__", fields)
    return value


_SCALARS = frozenset({str, int, float, bool, type(None)})
_REMEMBERED = 32


def _remembered(parse: Callable[[str], dict[str, Any] | None]
                ) -> Callable[[str | None], dict[str, Any] | None]:
    """`parse` of a text, each caller given a dict of its own; the results of the last few texts
    are kept, as the runtime answers the same account fields and ID token call after call.

    Only an object whose values are all scalars is kept, so that a copy of its top level shares
    nothing a caller could change with another caller's.
    """
    kept: dict[str, dict[str, Any] | None] = {}

    def parsed(text: str | None) -> dict[str, Any] | None:
        if not text:
            return parse("")
        try:
            value = kept[text]
        except KeyError:
            value = parse(text)
            if value is not None and not all(type(v) in _SCALARS for v in value.values()):
                return value
            if len(kept) >= _REMEMBERED:
                kept.clear()
            kept[text] = value
        return None if value is None else dict(value)

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


_json_object = _remembered(_parse_object)
_claims = _remembered(_parse_claims)


def _raise_for(error: VESSARuntimeError | None) -> None:
    if error is not None:
        raise from_native(error)


def to_account(native: VESSARuntimeAccount) -> Account:
    """Read every property of a native account once."""
    return _made(Account, {
        "account_id": native.get_account_id(),
        "home_account_id": native.get_home_account_id(),
        "environment": native.get_environment(),
        "realm": native.get_realm(),
        "local_account_id": native.get_local_account_id(),
        "user_name": native.get_user_name(),
        "given_name": native.get_given_name(),
        "family_name": native.get_family_name(),
        "middle_name": native.get_middle_name(),
        "display_name": native.get_display_name(),
        "additional_fields": _json_object(native.get_additional_fields_json()),
        "home_environment": native.get_home_environment(),
        "client_info": native.get_client_info(),
        "native": native,
    })


_from_timestamp = datetime.datetime.fromtimestamp
_UTC = datetime.UTC


def to_token(result: VESSARuntimeAuthResult) -> Token:
    """The `Token` of an auth result, or the `AuthError` it carries."""
    error = result.get_error()
    if error is not None:
        raise from_native(error)
    account = result.get_account()
    telemetry = result.get_telemetry_data()
    raw_id_token = result.get_raw_id_token()
    return _made(Token, {
        "access_token": result.get_access_token() or "",
        "authorization_header": result.get_authorization_header() or "",
        # The runtime's expiry is Unix seconds in 32 bits: a negative value is one past 2038
        # that wrapped, not one before 1970.
        "expires_at": _from_timestamp(result.get_access_token_expiry_time() % (1 << 32), _UTC),
        "granted_scopes": tuple(result.get_granted_scopes() or ()),
        "id_token": _claims(result.get_id_token() or raw_id_token),
        "raw_id_token": raw_id_token,
        "account": None if account is None else to_account(account),
        "telemetry": telemetry if isinstance(telemetry, dict) else {"value": telemetry},
        "is_pop": result.is_pop_authorization() != 0,
    })


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

"""Control of the emulator, the stand-in runtime (``libvessaruntime.so``; ``vessaruntime.dll`` in
the Windows build) that the extension loads when ``PYVESSARUNTIME_RUNTIME=emulator`` asks for it
(the pytest plugin sets it for a test session that asks for the emulator with the ini option
``vessaruntime_runtime`` or ``--vessaruntime-runtime``).

For application tests: seed accounts (`add_account`) and their states (`set_account_state`),
control time (`freeze`, `advance`, `configure` for token lifetimes), script outcomes aimed at an
operation, account, scopes, claims or correlation id (`fail_completion`, `null_completion`,
`grant_scopes`, `allow`; each returns a `Route` that tells which requests took it), refuse what
nothing scripted (`strict`, `unmatched_requests`), make operations slow (`set_latency`), hold
completions (`held`, `delayed`) and wait until operations reach the runtime
(`wait_for_pending`), read what the application asked for (`requests`), or load all of it from
a scenario (`load_scenario`; an application started in a subprocess reads the file named by the
environment variable `SCENARIO_ENV`; `export_state` writes the state as one; `replay` answers
as a recording of a runtime did). The
pytest plugin of this package gives a test the ``emulator`` fixture: an `Emulator` (this
module's functions for application tests, typed), reset, and checked afterwards for live
handles, contract violations, outcomes never used (`pending_outcomes`) and requests strict mode
refused; `session` makes the same checks around a block or a function, for unittest and scripts.

The controls for tests of the bindings themselves (handles of every kind, failures of single
calls, string-protocol misbehaviour, completion modes, log lines from native threads, counters)
are in `pyvessaruntime.emulator_internals`, which also has everything of this module.

Names: operations are accepted as the runtime names them (``"AcquireTokenSilentlyAsync"``, with
or without ``VESSARUNTIME_``) and as Python spells them (``"acquire_token_silently"``); every
other table (handle kinds, account fields and states, completion modes, ...) is read from the
library (`names`). A wrong name raises ValueError listing the valid ones. Statuses are ints,
`Status` or `Response_Status` members.

Texts: None is "no value" (a runtime getter then reports size 0), a str is sent as UTF-16 (lone
surrogates kept), a sequence of ints as raw UTF-16 units; texts read back keep lone surrogates.
Handles are ints. Nothing is loaded when this module is imported. No control call lets a failure
out of the library: one that fails inside it raises `EmulatorFailure`.
"""

from __future__ import annotations

import contextlib
import ctypes
import datetime
import functools
import inspect
import json
import os
import sys
from collections.abc import Callable, Generator, Iterable, Mapping
from dataclasses import dataclass
from types import TracebackType
from typing import TYPE_CHECKING, Any, TypedDict, TypeVar, Unpack, cast

from ._emulator_library import (
    EmulatorFailure, Error, Names, StatusLike, TextValue, _apply, _completion_mode,
    _decode, _error, _index, _key, _milliseconds, _operation, _optional, _seconds,
    _set_completion_mode, _status, _take_text, _take_units, _text, _U64, library, names,
)
from .errors import Status
from .models import Account

if TYPE_CHECKING:
    from ._emulator_checks import Watch

__all__ = [
    "GUIDE", "LATEST_TIME", "SCENARIO_ENV", "Emulator", "EmulatorFailure", "Error", "Names",
    "Request", "Route", "Target", "account_state", "accounts", "add_account", "advance", "allow",
    "assert_all_called", "cancel_next_interactive", "clear_requests", "configure", "delayed",
    "expired_holds", "export_state", "fail_completion", "freeze", "grant_scopes",
    "handle_kind", "held", "interactive_user", "is_started", "library", "live_handle_values",
    "live_handles", "load_scenario", "names", "now", "null_completion", "pending_operations",
    "pending_outcomes", "release_held", "remove_account", "replay", "requests", "reset",
    "session",
    "set_account_property", "set_account_state", "set_authority_trusted", "set_interactive_user",
    "set_latency", "strict", "take_contract_violations", "unmatched_requests",
    "wait_for_pending", "wait_idle",
]

#: The environment variable naming a scenario file that the runtime loads when it starts.
SCENARIO_ENV = "VESSAEMU_SCENARIO"
#: The guide to testing applications with the emulator (Markdown), installed with the package.
GUIDE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "EMULATOR.md")

@dataclass(frozen=True)
class Request:
    """An operation the runtime started, as the application asked for it (see `requests`).

    `operation` is the Python spelling (``"acquire_token_silently"``); `parameters` holds every
    recorded auth parameter by name (`Names.auth_parameters_fields`; empty for the account
    operations); `account` is the key of the account the operation was given; `time` the
    emulator's clock at the start; `window` the parent window handle (an unsigned int) of the
    three operations that take one, None for the others; `status` that of the error it completed
    with (a `Status` where the status is known), None for success or while `completed` is False;
    `routes` the ids of the scripted outcomes its completion took (see `Route.calls`).
    """

    operation: str
    correlation_id: str
    client_id: str | None
    scopes: tuple[str, ...]
    claims: str | None
    account: str | None
    account_hint: str | None
    account_id: str | None
    window: int | None
    parameters: Mapping[str, str | None]
    additional_parameters: tuple[tuple[str, str], ...]
    time: int
    completed: bool
    status: int | None
    routes: tuple[int, ...] = ()


class Target(TypedDict, total=False):
    """Which completions a scripted outcome is for (every part optional): `account` by key,
    account id or user name (or an `Account`); every one of `scopes` requested; `claims`
    contained in the requested claims (``""``: any claims); `correlation_id` equal. An outcome
    is taken once, or by every match with `every_time`; one never taken is listed by
    `pending_outcomes` (and fails a test of the pytest plugin) unless `optional`."""

    account: str | Account
    scopes: Iterable[str]
    claims: str
    correlation_id: str
    every_time: bool
    optional: bool


class Route:
    """A scripted outcome, as `fail_completion`, `null_completion`, `grant_scopes`, `allow` and
    `cancel_next_interactive` return it, to ask whether and by which requests it was taken.

    `called` and `call_count` count the completions that took it (an ``every_time`` outcome may be
    taken many times); `calls` are their requests (`Request`), with the parameters as the
    runtime saw them. A route stays readable after its outcome was taken; after a `reset` it
    counts nothing and its calls are empty. `calls` reads the request history, which
    `clear_requests` empties; the count stays. `assert_all_called` fails for routes never taken.
    """

    __slots__ = ("_id", "_what")

    def __init__(self, route_id: int, what: str) -> None:
        self._id = route_id
        self._what = what

    @property
    def call_count(self) -> int:
        """How many completions took this outcome since it was scripted (0 after a reset)."""
        return max(0, int(library().VESSAEMU_OutcomeUses(self._id)))

    @property
    def called(self) -> bool:
        """Whether a completion took this outcome."""
        return self.call_count > 0

    @property
    def calls(self) -> list[Request]:
        """The requests whose completion took this outcome, oldest first."""
        return [request for request in requests() if self._id in request.routes]

    def __repr__(self) -> str:
        return f"<Route {self._what}>"


# The routes scripted since the last reset, for assert_all_called.
_routes: list[Route] = []


# -- scenarios, settings, the clock ---------------------------------------------------------


def reset(*, drop_pending: bool = False, keep_log_registrations: bool = False) -> None:
    """Return the emulator to its fresh state.

    If the runtime is started it is stopped first: pending operations (queued, held or delayed)
    complete on this thread with an error result of status 8 (Status_ApplicationCanceled,
    context "... the emulator was reset ..."), or with ``drop_pending=True`` are dropped without
    a call of their routine. Completions in progress anywhere are waited for, log registrations
    end (with ``keep_log_registrations=True`` they stay, their handles live). Then handles (their
    values stay unusable; releasing one, once, is quiet), counters, contract violations, scripted
    failures and outcomes, the request history, accounts, the interactive user, settings and the
    clock are reset. The interpreter lock is released meanwhile, so callbacks run. Afterwards the
    runtime is started again if the typed layer counts starts (`start`, a `running` block around
    the reset, in a session's fixture say), so that each still ends with its own `shutdown`;
    otherwise it stays shut down.
    """
    library().VESSAEMU_Reset((1 if drop_pending else 0) | (2 if keep_log_registrations else 0))
    _routes.clear()
    layer = sys.modules.get("pyvessaruntime.client")
    if layer is not None:
        layer._start_again_after_reset()


def load_scenario(scenario: Mapping[str, Any] | str | os.PathLike[str]) -> None:
    """Apply a scenario: a mapping, or the path of a JSON file with one.

    Its parts, all optional:

    - ``"now"``: Unix seconds; freezes the clock there (the lifetimes below count from it).
    - ``"strict"``: true or false, as `strict` sets it.
    - ``"settings"``: as `configure` and `set_latency` take them, ``"latency_ms"`` a mapping of
      operation to milliseconds.
    - ``"interactive_user"``: account properties.
    - ``"untrusted_authorities"``: a list of https URLs, as `set_authority_trusted` scripts them.
    - ``"accounts"``: a list of account properties (a text, or None to make one absent) with an
      optional ``"state"`` and ``"refresh_credential_expires_in"`` (seconds the refresh
      credential lasts, instead of the configured lifetime).
    - ``"tokens"``: cached tokens to seed: ``"account"`` (key, account id or user name of an
      account stored or of this scenario), ``"client_id"`` (a text or None), ``"scopes"``,
      ``"expires_in"`` (seconds left), and optionally their ``"access_token"`` and ``"id_token"``
      texts (new ones are issued otherwise).
    - ``"outcomes"``: a list of scripted outcomes: ``"operation"``, the parts of a `Target`, and
      an error (``"status"``, a number or a name such as ``"NoNetwork"``, with ``"code"``,
      ``"tag"``, ``"context"``), or ``"null_result": true``, or a success: ``"pass": true`` (as
      `allow`), ``"granted_scopes"`` (as `grant_scopes`), ``"expires_in"`` (the token issued
      expires so many seconds after the emulator's clock, and is cached so), ``"signs_in"`` (a
      sign-in or an interactive acquisition signs in this stored account, named by key, account
      id or user name, as a prompt for it would: ready again, with a new refresh credential),
      those four in any combination; and ``"description"``, free text that strict mode's
      messages show for it.

    A faulty scenario raises ValueError saying where, and nothing of it is applied. `export_state`
    writes the emulator's state as a scenario.

    An application started in a subprocess loads a scenario file when it starts the runtime, if
    the environment variable `SCENARIO_ENV` names one.
    """
    if isinstance(scenario, Mapping):
        _apply(scenario)
    else:
        with open(scenario, "rb") as file:
            _apply(file.read())


def replay(recording: str | os.PathLike[str]) -> None:
    """Answer the requests of a recording (`pyvessaruntime.recording`, or the file
    ``PYVESSARUNTIME_RECORD`` named) as the runtime answered them then: its accounts are seeded,
    each request takes the recorded answer of the first matching request not yet replayed (in
    the recorded order), and a token lives as long after the emulator's clock as it did after
    the runtime's. Strict: a request the recording does not hold fails, its error naming the
    nearest recorded request (`unmatched_requests`; the pytest fixture fails the test)."""
    with open(recording, "rb") as file:
        text = file.read()
    try:
        document = json.loads(text)
    except ValueError:
        document = None
    if not isinstance(document, dict) or "recorded" not in document:
        raise ValueError(f"{os.fspath(recording)} is not a recording of pyvessaruntime.recording()")
    _apply(text)


def configure(*, access_token_lifetime: float | datetime.timedelta | None = None,
              refresh_credential_lifetime: float | datetime.timedelta | None = None,
              refresh_margin: float | datetime.timedelta | None = None,
              token_cache_size: int | None = None,
              accounts_per_application: bool | None = None,
              sso_policy: int | None = None,
              held_timeout: float | datetime.timedelta | None = None,
              strict: bool | None = None) -> None:
    """Change settings until the next reset; those not given keep their value.

    `access_token_lifetime` (default one hour): how long an access token is valid.
    `refresh_margin` (default five minutes): a cached token with less time left is renewed, not
    handed out. `refresh_credential_lifetime` (default ninety days): how long after an
    interactive sign-in (or the account's seeding) silent acquisition works at all; after that
    it answers InteractionRequired. Lifetimes and the margin are at most ten years.
    `token_cache_size` (default 1000): cached tokens kept per account, the least recently used
    dropped first. `accounts_per_application` (default False: every application on the device
    shares the accounts, as with a broker): True makes an account known only to the client ids
    that signed it in (seeded accounts: to every application that has not signed them out).
    `sso_policy` is what ``GetSsoPolicy`` reports (default 1). `held_timeout` (default 30
    seconds): how long an operation stays held before it completes with an error (see `held`).
    `strict` is as `strict` sets it.
    A value out of range raises ValueError.
    """
    settings: dict[str, int | bool] = {}
    for name, value in (("access_token_lifetime", access_token_lifetime),
                        ("refresh_credential_lifetime", refresh_credential_lifetime),
                        ("refresh_margin", refresh_margin)):
        if value is not None:
            settings[name] = _seconds(value)
    if token_cache_size is not None:
        settings["token_cache_size"] = token_cache_size
    if accounts_per_application is not None:
        settings["accounts_per_application"] = bool(accounts_per_application)
    if sso_policy is not None:
        settings["sso_policy"] = sso_policy
    if held_timeout is not None:
        settings["held_timeout_ms"] = _hold_timeout(held_timeout)
    _apply({"settings": settings, **({} if strict is None else {"strict": bool(strict)})})


def strict(enabled: bool = True) -> None:
    """Refuse what no outcome scripts, until the next reset (or ``strict(False)``).

    While on, a start operation whose completion no scripted outcome matches (`fail_completion`,
    `null_completion`, `grant_scopes`, `allow`, a scenario's ``"outcomes"``; a prompt while a
    `cancel_next_interactive` waits counts as scripted) completes with an error result of status
    9 (`Status.Status_IncorrectConfiguration`) whose context begins "no scripted outcome matches"
    and names the request (operation, scopes, account, claims, correlation id) and the nearest
    scripted outcome: the one whose target agrees with the request in the most parts, the
    operation counting most, untaken ones first among equals (by its ``"description"`` when it
    has one). `unmatched_requests` lists them; the pytest plugin fails a test that leaves any.
    Operations cancelled or ended by a shut-down complete as they would. A scenario's
    ``"strict": true`` and ``configure(strict=True)`` do the same.
    """
    _apply({"strict": bool(enabled)})


def unmatched_requests() -> list[str]:
    """What strict mode refused since the last reset, oldest first (the last 1000): each text the
    context of the error it completed with, naming the request and the nearest outcome."""
    texts: list[str] = json.loads(_take_text(library().VESSAEMU_UnmatchedRequests)[1] or "[]")
    return texts


def export_state() -> dict[str, Any]:
    """The emulator's state as a scenario (a mapping `load_scenario` takes) that reproduces it:
    the clock (``"now"`` when it is frozen; left out, the clock follows the system's), the
    settings that differ from their defaults and strict mode, the interactive user, the untrusted
    authorities, every account (removed ones too) with all its properties, its state and its
    refresh credential's time left, and the cached tokens with their scopes, texts and time left
    (an expired one with none). Loaded after a `reset`, an application finds the same accounts,
    states and cached tokens. Not kept: scripted outcomes, the request history, and which
    applications know an account when accounts are kept per application."""
    document: dict[str, Any] = json.loads(_take_text(library().VESSAEMU_ExportState)[1] or "{}")
    return document


def set_latency(operation: str, ms: int) -> None:
    """Make a start operation complete `ms` milliseconds after it starts, on a worker (until the
    next reset; 0 ends it). It applies in the worker and delay completion modes."""
    _apply({"settings": {"latency_ms": {operation: ms}}})


def now() -> datetime.datetime:
    """The emulator's clock (UTC), by which tokens are issued and expire."""
    return datetime.datetime.fromtimestamp(library().VESSAEMU_Now(), datetime.UTC)


#: The latest time the emulator's clock shows (2096-02-06): a token's expiry, the clock's time
#: plus a lifetime of up to ten years, must fit the 32 bits the runtime's contract carries it in.
LATEST_TIME = 3979391295


def _clock_range(what: str) -> ValueError:
    return ValueError(f"{what} outside the emulator's clock range, 0 (1970) to {LATEST_TIME} "
                      "(2096-02-06)")


def freeze(at: datetime.datetime | int | None = None) -> None:
    """Stop the emulator's clock at `at` (an aware datetime or Unix seconds; by default now) until
    the next reset. Only `advance` moves it then. A time before 1970 or after `LATEST_TIME`
    raises ValueError."""
    if not isinstance(at, int):
        at = int((at or now()).timestamp())
    if not 0 <= at <= LATEST_TIME or library().VESSAEMU_FreezeClock(at) != 0:
        raise _clock_range(f"the time {at} is")


def advance(seconds: float | datetime.timedelta) -> None:
    """Move the emulator's clock forward (a frozen one, or ahead of the system's time). A move
    that would leave the clock's range raises ValueError and moves nothing."""
    step = _seconds(seconds)
    if abs(step) > LATEST_TIME or library().VESSAEMU_AdvanceClock(step) != 0:
        raise _clock_range(f"advancing by {step} seconds puts the clock")


# -- accounts and the interactive user -------------------------------------------------------


def _field_index(name: str) -> int:
    return _index("account_fields", name)


def add_account(*, state: str | None = None, **props: TextValue) -> str:
    """Add an account to the identity store and return its key, its account id.

    Keyword arguments are account properties (`Names.account_fields`): None makes one absent, a
    text sets it; the others get consistent defaults (all present but middle_name). `state` is
    one of `Names.account_states` (default "ready"). The account has a refresh credential from
    now, so tokens for it are acquired silently. The key names the account for this module even
    if its account_id property changes later. A duplicate id raises ValueError.
    """
    for name in props:
        _field_index(name)
    state_index = None if state is None else _index("account_states", state)
    keep: list[Any] = []
    given = props.get("account_id")
    key_units = _take_units(library().VESSAEMU_AddAccount, _text(given, keep))
    if key_units is None:
        raise ValueError(f"an account with id {given!r} exists already")
    key = _decode(key_units)
    for name, value in props.items():
        if name != "account_id" or value is None:
            set_account_property(key, name, value)
    if state_index is not None:
        library().VESSAEMU_SetAccountState(_text(key, keep), state_index)
    return key


def set_account_property(account_id: str, name: str, value: TextValue) -> None:
    """Set one property of a stored account: None makes it absent (size 0), "" empty (size 1).
    Handles already given out see the change. Unknown accounts raise KeyError."""
    keep: list[Any] = []
    if library().VESSAEMU_SetAccountField(_text(account_id, keep), _field_index(name),
                                          _text(value, keep)) == -1:
        raise KeyError(account_id)


def set_account_state(account: str | Account, state: str) -> None:
    """Put an account in a state (`Names.account_states`), until an operation changes it:

    - ``"ready"``: tokens are acquired silently while its refresh credential lasts;
    - ``"interaction_required"``: silent operations raise InteractionRequired (status 2) until an
      interactive sign-in of the account;
    - ``"account_switch"``: silent operations raise AccountSwitch (status 18), likewise;
    - ``"unusable"``: every token operation raises AccountUnusable (status 13);
    - ``"removed"``: gone from the store (not discovered, read or signed out; silent operations
      raise InteractionRequired) until an interactive sign-in brings it back.
    """
    keep: list[Any] = []
    if library().VESSAEMU_SetAccountState(_text(_key(account), keep),
                                          _index("account_states", state)) == -1:
        raise KeyError(_key(account))


def account_state(account: str | Account) -> str:
    """The state of an account (listed or removed); KeyError for an unknown one."""
    keep: list[Any] = []
    index = library().VESSAEMU_AccountState(_text(_key(account), keep))
    if index < 0:
        raise KeyError(_key(account))
    return names().account_states[int(index)]


def remove_account(account_id: str) -> None:
    """Forget an account entirely; handles already given out stay readable."""
    keep: list[Any] = []
    if library().VESSAEMU_RemoveAccount(_text(account_id, keep)) != 0:
        raise KeyError(account_id)


def accounts() -> list[dict[str, str | None]]:
    """The accounts of the store (not those in the state "removed") in the order they were added,
    each a dict of its properties (None for an absent one)."""
    lib = library()
    listed: list[dict[str, str | None]] = []
    for index in range(lib.VESSAEMU_AccountCount()):
        try:
            listed.append({name: _optional(_take_units(lib.VESSAEMU_AccountFieldAt, index, field))
                           for field, name in enumerate(names().account_fields)})
        except LookupError:
            break  # removed meanwhile
    return listed


def set_interactive_user(**props: TextValue) -> None:
    """Set the user an interactive sign-in signs in when it is given neither an account nor a
    hint (and whom a hint naming its user name or account id picks): keyword arguments are
    account properties; the others are those of the default user
    (``interactive.user@example.com``). `reset` restores the default."""
    indices = {name: _field_index(name) for name in props}
    lib = library()
    lib.VESSAEMU_ResetInteractiveUser()
    for name, value in props.items():
        keep: list[Any] = []
        lib.VESSAEMU_SetInteractiveUserField(indices[name], _text(value, keep))


def interactive_user() -> dict[str, str | None]:
    """The interactive user's properties (None for an absent one)."""
    return {name: _optional(_take_units(library().VESSAEMU_InteractiveUserField, field))
            for field, name in enumerate(names().account_fields)}


def cancel_next_interactive(status: StatusLike = 7, *, optional: bool = False) -> Route:
    """Make the next interactive sign-in fail as if the user closed the prompt: an error result
    of `status` (7, Status_UserCanceled, by default), no account stored. Calls queue up. One
    that no sign-in takes is listed by `pending_outcomes` unless `optional`. Its `Route` tells
    which request it cancelled."""
    code = _status(status)
    route = Route(int(library().VESSAEMU_CancelNextInteractive(code, int(optional))),
                  f"cancel_next_interactive: the next prompt, status {code}")
    _routes.append(route)
    return route


def set_authority_trusted(authority: str, trusted: bool = False) -> None:
    """Script an authority (an https URL, compared without case and trailing slashes) as
    untrusted (or trusted again): sign-ins and token acquisitions for it complete with
    AuthorityUntrusted (status 11). A scenario's ``"untrusted_authorities"`` does the same."""
    keep: list[Any] = []
    if library().VESSAEMU_SetAuthorityTrusted(_text(authority, keep), int(trusted)) == -2:
        raise ValueError(f"not an absolute https URL: {authority!r}")


def pending_outcomes() -> list[str]:
    """What was scripted and never happened, one description each: outcomes no completion took
    (`fail_completion`, `null_completion`, `grant_scopes`, scenario ``"outcomes"``),
    cancellations of prompts never shown, latencies of operations never started. Those scripted
    with ``optional=True`` are left out. The pytest plugin fails a test that leaves any."""
    text = _take_text(library().VESSAEMU_PendingOutcomes)[1]
    return text.splitlines() if text else []


def assert_all_called() -> None:
    """Raise AssertionError listing every `Route` scripted since the last reset that no
    completion took, those scripted with ``optional=True`` included (asking is explicit)."""
    unused = [route for route in _routes if library().VESSAEMU_OutcomeUses(route._id) == 0]
    if unused:
        raise AssertionError("scripted outcomes no completion took:\n  "
                             + "\n  ".join(map(repr, unused)))


# -- scripted outcomes and failures ----------------------------------------------------------


def _script(function: str, operation: str | None, outcome: dict[str, Any],
            target: Target) -> Route:
    rule: dict[str, Any] = {**outcome, **target}
    if operation is not None:
        rule["operation"] = operation
    if "account" in target:
        rule["account"] = _key(target["account"])
    if "scopes" in target:
        scopes = target["scopes"]
        rule["scopes"] = scopes.split() if isinstance(scopes, str) else list(scopes)
    text = json.dumps(rule).encode()
    route_id, fault = _take_text(library().VESSAEMU_ScriptOutcome, text, len(text))
    if route_id < 0:
        raise ValueError(fault)
    aimed = "".join(f", {name}={rule[name]!r}" for name in target)
    route = Route(int(route_id), f"{function}: {operation or 'any start operation'}{aimed}")
    _routes.append(route)
    return route


def fail_completion(operation: str | None, error: Error | StatusLike,
                    **target: Unpack[Target]) -> Route:
    """Make the next completion of `operation` (a start operation; None: any) that matches
    `target` deliver an error result with the values of `error` instead of its own outcome.

    Outcomes are kept in the order they were scripted and the first that matches is taken; it
    is taken whatever makes the operation complete (its normal end, a cancel, a shut-down), and
    the identity store is left untouched. Without a target this is a plain queue per operation.
    The `Route` it returns tells which requests took it.
    """
    e = _error(error)
    context = e.context if e.context is None or isinstance(e.context, str) else _decode(e.context)
    return _script("fail_completion", operation, {"status": _status(e.status), "code": e.code,
                                                  "tag": e.tag, "context": context}, target)


def null_completion(operation: str | None, **target: Unpack[Target]) -> Route:
    """Make the next completion of `operation` that matches `target` call its routine with a
    null result handle (taken as `fail_completion` outcomes are)."""
    return _script("null_completion", operation, {"null_result": True}, target)


def grant_scopes(operation: str | None, granted: Iterable[str],
                 **target: Unpack[Target]) -> Route:
    """Make the next sign-in or token acquisition (`operation`; None: any of the five) that
    matches `target` succeed as it would, but grant `granted` instead of the requested scopes
    (a partial grant): the token's ``scp`` and the result's granted scopes say so, and the token
    is cached under the granted scopes. Taken as `fail_completion` outcomes are."""
    return _script("grant_scopes", operation, {"granted_scopes": list(granted)}, target)


def allow(operation: str | None, **target: Unpack[Target]) -> Route:
    """Script the outcome the emulator would give anyway for the next completion of `operation`
    (None: any start operation) that matches `target`: nothing changes but that the request now
    matches a scripted outcome, which `strict` mode asks for, and its `Route` records it. Taken
    as `fail_completion` outcomes are (``every_time=True`` for every match)."""
    return _script("allow", operation, {"pass": True}, target)


# -- completions -----------------------------------------------------------------------------


_HOLD_LIMIT = 86400  # seconds: a day


def _hold_timeout(timeout: float | datetime.timedelta) -> int:
    ms = _milliseconds(timeout, "a hold timeout")
    if not 1 <= ms <= _HOLD_LIMIT * 1000:
        raise ValueError(f"a hold timeout is from 0.001 to {_HOLD_LIMIT} seconds, not {timeout!r}")
    return ms


def _start_operation(name: str) -> bytes:
    """The name of a start operation (any spelling), for the library; ValueError listing them."""
    index = library().VESSAEMU_OperationIndex(name.encode())
    found = names()
    if index < 0 or found.operations[index] not in found.start_operations:
        raise ValueError(f"unknown start operation {name!r}; expected one of: " + ", ".join(
            found.python_operations[found.operations.index(op)] for op in found.start_operations))
    return name.encode()


@contextlib.contextmanager
def held(*operations: str, timeout: float | datetime.timedelta | None = None) -> Generator[None]:
    """Hold the operations started inside the block: every one, or with `operations` named (start
    operations, any spelling) only theirs, every other completing as it would. Leaving the block
    restores what was held before and hands every operation still held to the workers;
    `release_held` releases some inside it. Start them from tasks or threads: a blocking call
    would wait for its own completion (`wait_for_pending` tells when they reached the runtime).

    A held operation never released does not hang a test: after `timeout` seconds held (default
    the setting ``held_timeout``, 30 s, see `configure`; real time, which `freeze` and `advance`
    do not move) it completes with an error (status 8, Status_ApplicationCanceled) saying so,
    and `expired_holds` names it, which fails a test of the pytest plugin.
    """
    lib = library()
    named = [_start_operation(name) for name in operations]
    previous_timeout = None if timeout is None else lib.VESSAEMU_SetHoldTimeout(
        _hold_timeout(timeout))
    previous_mode = None if named else _completion_mode()
    if previous_mode is not None:
        _set_completion_mode("held")
    previous_holds = [lib.VESSAEMU_HoldOperation(name, 1) for name in named]
    try:
        yield
    finally:
        for name, was_held in reversed(list(zip(named, previous_holds))):
            lib.VESSAEMU_HoldOperation(name, was_held)
        if previous_mode is not None:
            _set_completion_mode(*previous_mode)
        if previous_timeout is not None:
            lib.VESSAEMU_SetHoldTimeout(previous_timeout)
        release_held()


@contextlib.contextmanager
def delayed(ms: int) -> Generator[None]:
    """Complete every operation started inside the block `ms` milliseconds after its start, on a
    worker; leaving it restores the completion mode."""
    previous = _completion_mode()
    _set_completion_mode("delay", ms)
    try:
        yield
    finally:
        _set_completion_mode(*previous)


def release_held(count: int | None = None) -> int:
    """Hand `count` held operations (all for None) to the workers, oldest first, before their
    hold times out (see `held`); how many."""
    return int(library().VESSAEMU_ReleaseHeld(-1 if count is None else count))


def pending_operations() -> int:
    """How many started operations have not completed: queued, held, delayed or being
    delivered."""
    return int(library().VESSAEMU_PendingOperations())


def wait_for_pending(n: int, timeout: float = 5.0) -> int:
    """Wait until at least `n` started operations are pending (`pending_operations`, held ones
    included) and return how many are: a test that starts operations from tasks or threads knows
    then that they reached the runtime. TimeoutError if `timeout` seconds pass first. The
    interpreter lock is released meanwhile."""
    if isinstance(n, bool) or not isinstance(n, int):
        raise TypeError(f"n is a number of operations, not {type(n).__name__} {n!r}")
    if n < 0:
        raise ValueError(f"n must not be negative: {n}")
    pending = int(library().VESSAEMU_WaitForPending(min(n, _U64 >> 1),
                                                    _milliseconds(timeout, "timeout")))
    if pending < n:
        raise TimeoutError(f"{pending} operations pending after {timeout} s; {n} were awaited")
    return pending


def expired_holds() -> list[str]:
    """The held operations never released that completed with an error when their hold timed out
    (see `held`), since the last reset: one description each, naming the operation and how long
    it was held. The pytest plugin fails a test that leaves any."""
    text = _take_text(library().VESSAEMU_ExpiredHolds)[1]
    return text.splitlines() if text else []


def wait_idle(timeout: float = 5.0) -> bool:
    """Wait, at most `timeout` seconds, until no operation is queued, delayed or being delivered
    (held ones do not count); whether it is. The interpreter lock is released meanwhile."""
    return bool(library().VESSAEMU_WaitIdle(max(0, int(timeout * 1000))))


# -- the request history ---------------------------------------------------------------------


def _known_status(status: int | None) -> int | None:
    try:
        return None if status is None else Status(status)
    except ValueError:
        return status


def _request(entry: dict[str, Any]) -> Request:
    parameters: dict[str, str | None] = entry.get("parameters", {})
    scopes = parameters.get("scopes")
    return Request(
        operation=names().python_operations[names().operations.index(entry["operation"])],
        correlation_id=entry["correlation_id"],
        client_id=parameters.get("client_id", entry.get("client_id")),
        scopes=tuple(scopes.split()) if scopes else (), claims=parameters.get("claims"),
        account=entry["account"], account_hint=entry["account_hint"],
        account_id=entry["account_id"], window=entry["window"], parameters=parameters,
        additional_parameters=tuple(tuple(pair) for pair in entry.get("additional_parameters", ())),
        time=entry["time"], completed=entry["completed"], status=_known_status(entry["status"]),
        routes=tuple(entry.get("routes", ())))


def requests(operation: str | None = None) -> list[Request]:
    """The operations the runtime started since the last reset or `clear_requests`, oldest
    first (the last 10000), with what they were given and how they completed; those of one
    `operation` (any spelling) when given. Kept after their handles are released."""
    _, text = _take_text(library().VESSAEMU_History)
    found = [_request(entry) for entry in json.loads(text or "[]")]
    if operation is None:
        return found
    index = library().VESSAEMU_OperationIndex(operation.encode())
    _operation(operation, index)
    return [request for request in found if request.operation == names().python_operations[index]]


def clear_requests() -> None:
    """Forget the request history."""
    library().VESSAEMU_ClearHistory()


# -- counters and logging --------------------------------------------------------------------


def live_handles() -> dict[str, int]:
    """The number of live handles of each kind (`Names.kinds`)."""
    lib = library()
    return {name: lib.VESSAEMU_LiveHandles(index) for index, name in enumerate(names().kinds)}


def live_handle_values(kind: str | None = None) -> list[int]:
    """The values of the live handles of a kind (of all kinds for None), in creation order."""
    index = -1 if kind is None else _index("kinds", kind)
    lib = library()
    while True:
        capacity = max(lib.VESSAEMU_LiveHandleValues(index, None, 0), 1)
        values = (ctypes.c_uint64 * capacity)()
        total = lib.VESSAEMU_LiveHandleValues(index, values, capacity)
        if total <= capacity:  # otherwise handles were created meanwhile: ask again
            return list(values[:total])


def handle_kind(handle: int) -> str | None:
    """The kind (`Names.kinds`) of a live handle, or None if it is not live."""
    kind = library().VESSAEMU_HandleKind(handle & _U64)
    return names().kinds[int(kind)] if kind >= 0 else None


def take_contract_violations() -> list[str]:
    """The texts of the contract violations so far, oldest first, which are then forgotten (the
    count too). Each names the operation and the fault."""
    text = _take_text(library().VESSAEMU_TakeContractViolations)[1]
    return text.splitlines() if text else []


def is_started() -> bool:
    """Whether the runtime is started (``Startup`` without a later ``Shutdown``)."""
    return bool(library().VESSAEMU_IsStarted())


class Emulator:
    """The emulator as the pytest plugin's ``emulator`` fixture hands it out: the functions of
    this module an application's tests script it with, typed, so that ``mypy --strict`` checks
    their calls. Each is the module function of the same name."""

    SCENARIO_ENV = SCENARIO_ENV
    LATEST_TIME = LATEST_TIME
    Error = Error
    Request = Request
    Route = Route
    add_account = staticmethod(add_account)
    set_account_property = staticmethod(set_account_property)
    set_account_state = staticmethod(set_account_state)
    account_state = staticmethod(account_state)
    remove_account = staticmethod(remove_account)
    accounts = staticmethod(accounts)
    set_interactive_user = staticmethod(set_interactive_user)
    interactive_user = staticmethod(interactive_user)
    cancel_next_interactive = staticmethod(cancel_next_interactive)
    set_authority_trusted = staticmethod(set_authority_trusted)
    freeze = staticmethod(freeze)
    advance = staticmethod(advance)
    now = staticmethod(now)
    configure = staticmethod(configure)
    set_latency = staticmethod(set_latency)
    fail_completion = staticmethod(fail_completion)
    null_completion = staticmethod(null_completion)
    grant_scopes = staticmethod(grant_scopes)
    allow = staticmethod(allow)
    strict = staticmethod(strict)
    unmatched_requests = staticmethod(unmatched_requests)
    assert_all_called = staticmethod(assert_all_called)
    export_state = staticmethod(export_state)
    pending_outcomes = staticmethod(pending_outcomes)
    load_scenario = staticmethod(load_scenario)
    requests = staticmethod(requests)
    clear_requests = staticmethod(clear_requests)
    held = staticmethod(held)
    delayed = staticmethod(delayed)
    release_held = staticmethod(release_held)
    pending_operations = staticmethod(pending_operations)
    wait_for_pending = staticmethod(wait_for_pending)
    expired_holds = staticmethod(expired_holds)
    wait_idle = staticmethod(wait_idle)
    is_started = staticmethod(is_started)
    live_handles = staticmethod(live_handles)
    reset = staticmethod(reset)
    replay = staticmethod(replay)


_Function = TypeVar("_Function", bound=Callable[..., Any])


class session(contextlib.ContextDecorator):
    """The ``emulator`` fixture's checks, for unittest and scripts: a context manager, and a
    decorator of plain and ``async def`` functions (unittest's test methods among them)::

        class SignInTest(unittest.TestCase):
            @emulator.session()
            def test_prompt(self) -> None: ...

    On entry the emulator is reset, log registrations kept (a runtime the typed layer counts as
    started is started again), and the block gets an `Emulator`. On exit what the block left
    started is ended, and AssertionError lists the runtime handles it left live, contract
    violations and scripted outcomes it never used (`unused_outcomes` allows those for the
    block, as ``optional=True`` does for one); then the emulator is reset again. If the block
    raised, its exception goes on, those problems added to it as a note. The checks are the
    fixture's own, and as the fixture does, it keeps `EmulatorWarning` quiet. RuntimeError when
    the runtime in use is not the emulator.
    """

    def __init__(self, *, unused_outcomes: bool = False) -> None:
        self.unused_outcomes = unused_outcomes
        self._watch: Watch | None = None

    def _recreate_cm(self) -> session:
        # Every call of a decorated function is a block of its own, also calls that overlap.
        return session(unused_outcomes=self.unused_outcomes)

    def __call__(self, function: _Function) -> _Function:
        if not inspect.iscoroutinefunction(function):
            return super().__call__(function)

        @functools.wraps(function)
        async def checked(*args: Any, **kwargs: Any) -> Any:
            # Around the coroutine's run, not around the call that makes it.
            with self._recreate_cm():
                return await function(*args, **kwargs)

        return cast(_Function, checked)

    def __enter__(self) -> Emulator:
        from . import _runtime
        from ._emulator_checks import Watch

        self._watch = Watch()
        # The block asked for the emulator: the warning that the runtime is one, issued once per
        # process, would tell it nothing (unittest shows every warning, whatever the filters).
        _runtime._warned = True
        return Emulator()

    def __exit__(self, exc_type: type[BaseException] | None, exc: BaseException | None,
                 traceback: TracebackType | None) -> None:
        watch, self._watch = self._watch, None
        if watch is None:
            raise RuntimeError("emulator.session() left without being entered")
        problems = "\n".join(watch.finish(unused_outcomes=self.unused_outcomes,
                                          opt_out="unused_outcomes=True"))
        if not problems:
            return
        if exc is None:
            raise AssertionError(problems)
        exc.add_note(problems)

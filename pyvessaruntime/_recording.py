"""Recordings: what an application asked the runtime, and what the runtime answered, written as
an emulator scenario that replays it (`pyvessaruntime.emulator.replay`).

The typed layer reports each request it completes (`Recording.note`) while a recording runs:
one of `recording()` or the whole process under `ENV`. The file is rewritten after every
request, so it is whole whenever the program ends. What a recording keeps of each answer is
what replay needs and no secret: the status and error fields of a failure; the granted scopes,
lifetime, kind and claim names of a token, never its text; the accounts' properties. Personal
data (names, user names, account identifiers, client info, the additional fields' values) is
replaced by placeholders, the same placeholder for the same value throughout a recording, unless
the recording was asked to keep it (``pii=True``).
"""

from __future__ import annotations

import contextlib
import datetime
import json
import os
import tempfile
import threading
from collections.abc import Iterator, Mapping
from typing import TYPE_CHECKING, Any

from . import _runtime
from .errors import AuthError

if TYPE_CHECKING:
    from .models import Account, Token

#: The environment variable naming a file that records the whole process.
ENV = "PYVESSARUNTIME_RECORD"

# The emulator's names of the operations behind the clients' methods.
_OPERATIONS = {"read_account": "read_account_by_id", "sign_out": "sign_out_silently"}
# Methods whose result brings an account the store did not list before: replay seeds it gone,
# so that it appears only when the prompt signs it in.
_PROMPTING = frozenset({"sign_in", "sign_in_interactively", "acquire_token_interactively"})

# Account properties that identify a person, each with the placeholder that stands for it.
_PERSONAL = {
    "account_id": "account-{}", "home_account_id": "home-account-{}",
    "local_account_id": "local-account-{}", "user_name": "user{}@example.invalid",
    "given_name": "Given{}", "family_name": "Family{}", "middle_name": "Middle{}",
    "display_name": "Person {}", "client_info": "client-info-{}",
}
_ACCOUNT_FIELDS = ("account_id", "home_account_id", "environment", "realm", "local_account_id",
                   "user_name", "given_name", "family_name", "middle_name", "display_name",
                   "additional_fields", "home_environment", "client_info")


class _Scrubber:
    """Placeholders for personal values: one per value, whichever property it was seen in
    first, so a login hint and the user name it names stay equal."""

    def __init__(self, keep: bool) -> None:
        self.keep = keep
        self.placeholders: dict[str, str] = {}
        self._counts: dict[str, int] = {}

    def value(self, kind: str, value: str | None) -> str | None:
        if value is None or self.keep or not value:
            return value
        found = self.placeholders.get(value)
        if found is None:
            count = self._counts[kind] = self._counts.get(kind, 0) + 1
            found = self.placeholders[value] = _PERSONAL[kind].format(count)
        return found

    def text(self, text: str | None) -> str | None:
        """A free text (an error's context) with every personal value seen so far replaced."""
        if text is None or self.keep:
            return text
        for value, placeholder in sorted(self.placeholders.items(), key=lambda p: -len(p[0])):
            text = text.replace(value, placeholder)
        return text

    def fields(self, additional: Mapping[str, Any]) -> str | None:
        if not additional:
            return None
        if self.keep:
            return json.dumps(dict(additional))
        return json.dumps({key: "redacted" for key in additional})


class Recording:
    """A recording in progress: its requests and accounts, written to `path` after each."""

    def __init__(self, path: str | os.PathLike[str], pii: bool) -> None:
        self.path = os.fspath(path)
        self.pii = pii
        self._lock = threading.Lock()
        self._scrub = _Scrubber(pii)
        self._accounts: dict[str, dict[str, Any]] = {}  # by the recorded account id
        self._outcomes: list[dict[str, Any]] = []
        try:
            self._write()  # a path that cannot be written fails at once, not at a request
        except OSError as error:
            raise OSError(error.errno, f"the recording {self.path} cannot be written: "
                                       f"{error.strerror}") from None

    def _account(self, account: Account, origin: str) -> str:
        """The recorded id of `account`, seeded in the state it was first met in."""
        scrub = self._scrub
        recorded: dict[str, Any] = {}
        for name in _ACCOUNT_FIELDS:
            value = getattr(account, name)
            if name == "additional_fields":
                recorded["additional_fields_json"] = scrub.fields(value)
            else:
                recorded[name] = scrub.value(name, value) if name in _PERSONAL else value
        key: str = recorded["account_id"]
        if key not in self._accounts:
            recorded["state"] = "removed" if origin in _PROMPTING else "ready"
            self._accounts[key] = recorded
        return key

    def note(self, call: str, request: Mapping[str, Any], answer: object, now: datetime.datetime
             ) -> None:
        """Records one completed request: `answer` is its result or the `AuthError` it raised;
        `now` the layer's clock as it completed."""
        with self._lock:
            self._outcomes.append(self._outcome(call, request, answer, now))
            try:
                self._write()
            except OSError as error:
                # The application's request succeeded; the recording is tried again at the next.
                import warnings

                warnings.warn(f"the recording {self.path} could not be written: {error}",
                              RuntimeWarning, stacklevel=4)

    def _outcome(self, call: str, request: Mapping[str, Any], answer: object,
                 now: datetime.datetime) -> dict[str, Any]:
        from .models import Account, Token

        scrub = self._scrub
        rule: dict[str, Any] = {"operation": _OPERATIONS.get(call, call)}
        described = [f"scopes={list(request['scopes'])}"] if "scopes" in request else []
        given = request.get("account")
        if isinstance(given, Account):
            # An account the application was given by an earlier answer: replay knows it.
            rule["account"] = self._account(given, "given")
            described.append(f"account={rule['account']!r}")
        if request.get("scopes"):
            rule["scopes"] = list(request["scopes"])
        if request.get("claims"):
            rule["claims"] = request["claims"]
            described.append(f"claims={request['claims']!r}")
        hint = scrub.value("user_name", request.get("login_hint"))
        if hint is not None:
            described.append(f"login_hint={hint!r}")
        account_id = scrub.value("account_id", request.get("account_id"))
        if account_id is not None:
            described.append(f"account_id={account_id!r}")
            if account_id in self._accounts:  # an id an earlier answer gave the application
                rule["account"] = account_id
        if isinstance(answer, AuthError):
            rule.update(status=answer.raw_status, code=answer.error_code, tag=answer.tag,
                        context=scrub.text(answer.context))
            outcome = f"status {answer.raw_status} ({answer.status.name})"
        elif isinstance(answer, Token):
            account = self._account(answer.account, call)
            if call != "acquire_token_silently":  # else the account it was given
                rule["signs_in"] = account
            rule["granted_scopes"] = list(answer.granted_scopes)
            rule["expires_in"] = max(0, round((answer.expires_at - now).total_seconds()))
            claims = sorted(answer.id_token) if answer.id_token is not None else None
            outcome = (f"a {'PoP' if answer.is_pop else 'bearer'} token for {account!r}, "
                       f"scopes {rule['granted_scopes']}, valid {rule['expires_in']} s, "
                       f"ID token claims {claims}")
        else:
            for account in answer if isinstance(answer, tuple) else (answer,):
                if isinstance(account, Account):
                    self._account(account, call)
            rule["pass"] = True
            outcome = "as the emulator answers"
        rule["description"] = f"{call}({', '.join(described)}) -> {outcome}"
        return rule

    def document(self) -> dict[str, Any]:
        """The scenario: the accounts met, in order, and the answers in the order of their
        requests; strict, so a request the recording does not hold fails."""
        return {"recorded": {"runtime": os.path.basename(_runtime.path()), "pii": self.pii},
                "strict": True, "accounts": list(self._accounts.values()),
                "outcomes": list(self._outcomes)}

    def _write(self) -> None:
        # Replaced whole, so a reader (or a program that ends now) never sees half a file.
        folder = os.path.dirname(os.path.abspath(self.path))
        handle, temporary = tempfile.mkstemp(dir=folder, prefix=".recording-", suffix=".json")
        try:
            with os.fdopen(handle, "w", encoding="utf-8") as file:
                json.dump(self.document(), file, indent=1)
            os.replace(temporary, self.path)
        except BaseException:
            with contextlib.suppress(OSError):
                os.unlink(temporary)
            raise


#: The recordings in progress; the layer reports to each.
active: list[Recording] = []
_active_lock = threading.Lock()


@contextlib.contextmanager
def recording(path: str | os.PathLike[str], *, pii: bool = False) -> Iterator[Recording]:
    """Record, for the duration of a ``with`` block, each request the application makes
    through `Client` and `AsyncClient` (in any thread) and the runtime's answer, into the file
    `path` (rewritten after each request): an emulator scenario that
    `pyvessaruntime.emulator.replay` answers the same requests with, in the same order. It works
    against any runtime. Token texts are never written; personal data is replaced by
    placeholders unless `pii` is true. Setting ``PYVESSARUNTIME_RECORD`` to a path records the
    whole process instead."""
    record = Recording(path, pii)
    with _active_lock:
        active.append(record)
    try:
        yield record
    finally:
        with _active_lock:
            active.remove(record)


def record_process() -> None:
    """Starts the process's recording when `ENV` names a file (the layer calls it once)."""
    path = os.environ.get(ENV)
    if path:
        try:
            active.append(Recording(os.path.expanduser(path), pii=False))
        except OSError as error:
            raise OSError(error.errno, f"{ENV}={path}: {error.strerror}") from None

"""Exceptions for runtime failures: `AuthError` and one subclass per kind of failure.

The runtime reports a failure as a status (`Status`), an error code, a tag and a context text.
`AuthError` carries all four; its subclass is chosen by the status, so callers catch the kind of
failure they can handle (`InteractionRequired`, `NetworkError`, ...) without looking at numbers.
"""

from __future__ import annotations

import enum
import re
from typing import Self

from .pyvessaruntime import Response_Status, VESSARuntimeError

__all__ = [
    "AccountNotFound",
    "AccountSwitch",
    "AccountUnusable",
    "AuthError",
    "ConfigurationError",
    "ContractViolation",
    "InteractionRequired",
    "NetworkError",
    "OperationCanceled",
    "OperationTimedOut",
    "Status",
    "TransientError",
    "UserCanceled",
]


class Status(enum.IntEnum):
    """The runtime's status of a failure. Names and values are those of the native module's
    `Response_Status`; unlike it, members are integers."""

    Status_Unexpected = 0
    Status_Reserved = 1
    Status_InteractionRequired = 2
    Status_NoNetwork = 3
    Status_NetworkTemporarilyUnavailable = 4
    Status_ServerTemporarilyUnavailable = 5
    Status_ApiContractViolation = 6
    Status_UserCanceled = 7
    Status_ApplicationCanceled = 8
    Status_IncorrectConfiguration = 9
    Status_InsufficientBuffer = 10
    Status_AuthorityUntrusted = 11
    Status_UserSwitch = 12
    Status_AccountUnusable = 13
    Status_UserDataRemovalRequired = 14
    Status_KeyNotFound = 15
    Status_AccountNotFound = 16
    Status_TransientError = 17
    Status_AccountSwitch = 18
    Status_RequiredBrokerMissing = 19
    Status_DeviceNotRegistered = 20
    Status_FallbackToNativeVessa = 21


class AuthError(Exception):
    """A failure reported by the runtime.

    Attributes: `status` (a `Status`), `error_code` and `tag` (the runtime's numbers, for its
    support staff), `context` (its explanation, or None) and `raw_status` (the runtime's status
    number: the value of `status`, or a number `Status` lacks, for which `status` is
    `Status_Unexpected`); a status is a number, a `Status` or a member of the native module's
    `Response_Status`. A client's error also says which call failed: `operation` is the name
    of the client method that was called (``"sign_out"`` also when the account read before the
    sign-out failed), `correlation_id` the request's (the caller's, or the one the client made)
    and `attempts` how many times the operation was tried; each is None when not known (an error
    raised by hand). Raising ``AuthError(status, ...)`` directly gives the subclass that matches
    the status, as the clients do; a subclass may be raised without a status (its own is taken)
    and refuses a status of another class.
    """

    status: Status
    error_code: int
    tag: int
    context: str | None
    raw_status: int
    operation: str | None
    correlation_id: str | None
    attempts: int | None

    def __new__(cls, status: int | Response_Status | None = None, error_code: int = 0,
                tag: int = 0, context: str | None = None, *, operation: str | None = None,
                correlation_id: str | None = None, attempts: int | None = None) -> Self:
        return super().__new__(_class_for(cls, _number(status)))  # type: ignore[return-value]

    def __init__(self, status: int | Response_Status | None = None, error_code: int = 0,
                 tag: int = 0, context: str | None = None, *, operation: str | None = None,
                 correlation_id: str | None = None, attempts: int | None = None) -> None:
        number = _number(status)
        raw = _default_status(type(self)) if number is None else int(number)
        self.raw_status = raw
        # A number the enumeration lacks still makes an error, not a ValueError that would hide
        # the failure; `raw_status` keeps it.
        self.status = Status(raw) if raw in Status._value2member_map_ else Status.Status_Unexpected
        self.error_code = error_code
        self.tag = tag
        self.context = context
        # Not in `args`: an error pickles them with its other attributes, and `args` stays what
        # it was before they existed.
        self.operation = operation
        self.correlation_id = correlation_id
        self.attempts = attempts
        # Set directly: a base such as TimeoutError (an OSError) would read these as its own.
        self.args = (raw, error_code, tag, context)

    def __str__(self) -> str:
        name = self.status.name
        if self.raw_status != self.status:
            name = f"{name} (runtime status {self.raw_status})"
        text = f"{name} (error code {self.error_code}, tag {self.tag})"
        if self.context:
            text = f"{text}: {self.context}"
        if self.operation is not None:
            text = f"{self.operation} failed: {text}"
        if self.attempts is not None and self.attempts > 1:
            text = f"{text} (after {self.attempts} attempts)"
        return text

    def __repr__(self) -> str:
        extra = "".join(f", {name}={value!r}" for name, value in (
            ("operation", self.operation), ("correlation_id", self.correlation_id),
            ("attempts", self.attempts)) if value is not None)
        return (f"{type(self).__name__}({self.raw_status!r}, error_code={self.error_code}, "
                f"tag={self.tag}, context={self.context!r}{extra})")


class InteractionRequired(AuthError):
    """The user must sign in interactively (status 2)."""


class TransientError(AuthError):
    """A passing failure; trying again later may succeed (status 17, and `NetworkError`)."""


class NetworkError(TransientError):
    """No network, or the network or the server is temporarily unavailable (statuses 3, 4, 5)."""


class ContractViolation(AuthError):
    """The runtime was called in a way it does not accept (status 6)."""


class UserCanceled(AuthError):
    """The user closed the sign-in prompt (status 7)."""


class OperationCanceled(AuthError):
    """The application cancelled the operation, or the runtime shut down (status 8)."""


class ConfigurationError(AuthError):
    """The client, its authority or the device is not set up for this request (statuses 9, 11,
    19, 20)."""


class AccountSwitch(AuthError):
    """The runtime signed in, or needs, a different user or account (statuses 12, 18)."""


class AccountUnusable(AuthError):
    """The account cannot be used any more, or its data must be removed (statuses 13, 14)."""


class AccountNotFound(AuthError):
    """No account with that identity is known to the runtime (status 16)."""


class OperationTimedOut(OperationCanceled, TimeoutError):
    """The runtime did not complete the operation within the call's timeout (the client's, or the
    one given to the call), so the client cancelled it (status 8). Also a `TimeoutError`, so
    ``except TimeoutError`` catches it."""


_S = Status
_STATUS_CLASSES: dict[int, type[AuthError]] = {
    _S.Status_InteractionRequired: InteractionRequired,
    _S.Status_NoNetwork: NetworkError,
    _S.Status_NetworkTemporarilyUnavailable: NetworkError,
    _S.Status_ServerTemporarilyUnavailable: NetworkError,
    _S.Status_ApiContractViolation: ContractViolation,
    _S.Status_UserCanceled: UserCanceled,
    _S.Status_ApplicationCanceled: OperationCanceled,
    _S.Status_IncorrectConfiguration: ConfigurationError,
    _S.Status_AuthorityUntrusted: ConfigurationError,
    _S.Status_UserSwitch: AccountSwitch,
    _S.Status_AccountUnusable: AccountUnusable,
    _S.Status_UserDataRemovalRequired: AccountUnusable,
    _S.Status_AccountNotFound: AccountNotFound,
    _S.Status_TransientError: TransientError,
    _S.Status_AccountSwitch: AccountSwitch,
    _S.Status_RequiredBrokerMissing: ConfigurationError,
    _S.Status_DeviceNotRegistered: ConfigurationError,
}
del _S


def _number(status: int | Response_Status | None) -> int | None:
    """A status of the native module's enumeration as its number; any other as it is."""
    if isinstance(status, Response_Status):
        return status.value
    return status


def _default_status(cls: type[AuthError]) -> int:
    """The status a class stands for when raised without one: its first in the table."""
    for klass in cls.__mro__:
        for status, mapped in _STATUS_CLASSES.items():
            if mapped is klass:
                return status
    return Status.Status_Unexpected


def _class_for(cls: type[AuthError], status: int | None) -> type[AuthError]:
    """The class of ``cls(status, ...)``: the table's class for the status when that is `cls`
    or a subclass of it, `cls` itself when it refines the table's class without statuses of its
    own (`OperationTimedOut`); any other status is not one `cls` stands for."""
    if status is None:
        return cls
    if isinstance(status, bool) or not isinstance(status, int):
        raise TypeError(f"status must be an int, not {type(status).__name__}")
    mapped = _STATUS_CLASSES.get(status, AuthError)
    if issubclass(mapped, cls):
        return mapped
    if mapped is not AuthError and issubclass(cls, mapped) and cls not in _STATUS_CLASSES.values():
        return cls
    raise ValueError(f"{cls.__name__} does not stand for status {status}; "
                     f"AuthError({status}, ...) gives the class that does")


def from_native(error: VESSARuntimeError) -> AuthError:
    """The `AuthError` for an error object of the native module, read in the order the native
    module reads one (status, code, tag, context) and not kept. A reader that fails raises the
    native module's exception, which `from_failure` turns into an `AuthError`."""
    try:
        status = error.get_status().value
    except ValueError as exc:
        unknown = _unknown_status(exc)
        if unknown is None:
            raise
        status = unknown
    return AuthError(status, error.get_error_code(), error.get_tag(), error.get_context())


# The native module's text for a refused call: tag, code, context and status, in this order. The
# context is free text, so the status is taken from the end.
_REFUSAL = re.compile(
    r"ErrorTag: (-?\d+), ErrorCode: (-?\d+), ErrorContext: (.*), "
    r"ErrorStatus: Response_Status\.(\w+)",
    re.DOTALL,
)
# The enumeration's own refusal of a number it lacks, raised where the native module reads a
# status.
_UNKNOWN = re.compile(r"(-?\d+) is not a valid Response_Status")


def _unknown_status(exc: ValueError) -> int | None:
    match = _UNKNOWN.fullmatch(str(exc))
    return None if match is None else int(match[1])


def from_failure(exc: BaseException) -> AuthError | None:
    """The `AuthError` for an exception with which the native module reports a failure of the
    runtime, or None for any other exception (a bad argument, a fault of the caller's code).

    The native module reports a refused call as a RuntimeError whose text carries the tag, code,
    context and status; a failure while the error itself was being read as a RuntimeError of
    another text (it becomes `Status_Unexpected` with the text as context); a status its
    enumeration lacks as that enumeration's ValueError (the number is kept in `raw_status`).
    The context comes back as the text shows it: the native text cannot tell a missing context
    from one that reads "None", so that text is kept rather than guessed away.
    """
    if type(exc) is RuntimeError:
        message = str(exc)
        match = _REFUSAL.fullmatch(message)
        if match is None or match[4] not in Status.__members__:
            return AuthError(Status.Status_Unexpected, context=message)
        tag, code, context, status = match.groups()
        return AuthError(Status[status], int(code), int(tag), context)
    if isinstance(exc, ValueError):
        status = _unknown_status(exc)
        if status is not None:
            return AuthError(status)
    return None

"""Exceptions for runtime failures: `AuthError` and one subclass per kind of failure.

The runtime reports a failure as a status (`Status`), an error code, a tag and a context text.
`AuthError` carries all four; its subclass is chosen by the status, so callers catch the kind of
failure they can handle (`InteractionRequired`, `NetworkError`, ...) without looking at numbers.
"""

from __future__ import annotations

import enum
import re

from .pyvessaruntime import VESSARuntimeError

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
    support staff) and `context` (its explanation, or None). Raising ``AuthError(status, ...)``
    directly gives the subclass that matches the status, as the clients do.
    """

    status: Status
    error_code: int
    tag: int
    context: str | None

    def __new__(
        cls, status: int, error_code: int = 0, tag: int = 0, context: str | None = None
    ) -> AuthError:
        if cls is AuthError:
            cls = _STATUS_CLASSES.get(status, AuthError)
        return super().__new__(cls)

    def __init__(
        self, status: int, error_code: int = 0, tag: int = 0, context: str | None = None
    ) -> None:
        if status not in Status._value2member_map_:
            # A status this package does not know still makes an error, not a ValueError that
            # would hide the failure; its number stays in the text.
            context = f"(status {status}) {context or ''}".rstrip()
            status = Status.Status_Unexpected
        self.status = Status(status)
        self.error_code = error_code
        self.tag = tag
        self.context = context
        super().__init__(status, error_code, tag, context)

    def __str__(self) -> str:
        text = f"{self.status.name} (error code {self.error_code}, tag {self.tag})"
        return f"{text}: {self.context}" if self.context else text

    def __repr__(self) -> str:
        return (f"{type(self).__name__}({self.status!r}, error_code={self.error_code}, "
                f"tag={self.tag}, context={self.context!r})")


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


def from_native(error: VESSARuntimeError) -> AuthError:
    """The `AuthError` for an error object of the native module (read once; not kept)."""
    context = error.get_context()
    try:
        status = error.get_status().value
    except ValueError as unknown:  # a status the native enumeration lacks: keep the failure
        status, context = Status.Status_Unexpected, f"({unknown}) {context or ''}".rstrip()
    return AuthError(status, error.get_error_code(), error.get_tag(), context)


# The native module's text for a refused call: tag, code, context and status, in this order. The
# context is free text, so the status is taken from the end.
_REFUSAL = re.compile(
    r"ErrorTag: (-?\d+), ErrorCode: (-?\d+), ErrorContext: (.*), "
    r"ErrorStatus: Response_Status\.(\w+)",
    re.DOTALL,
)


def from_refusal(exc: RuntimeError) -> AuthError:
    """The `AuthError` for the RuntimeError with which the native module reports a failed call.

    A message of another form (a failure while the error itself was being read) becomes an
    `AuthError` of status `Status_Unexpected` with the message as its context.
    """
    message = str(exc)
    match = _REFUSAL.fullmatch(message)
    if match is None or match[4] not in Status.__members__:
        return AuthError(Status.Status_Unexpected, context=message)
    tag, code, context, status = match.groups()
    return AuthError(Status[status], int(code), int(tag), None if context == "None" else context)

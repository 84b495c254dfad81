"""`VessaAuth`: authentication of httpx requests with a credential's tokens (the extra
``pyvessaruntime[httpx]``).

Each request gets the ``Authorization`` header of the credential's token (``Bearer ...``, or
``PoP ...`` where the runtime issued a proof-of-possession token). A 401 answer with a bearer
challenge is retried once with a new token: renewed for ``error="invalid_token"``, for the
challenge's scopes for ``error="insufficient_scope"``, with the challenge's ``claims``. The answer
to the retry goes to the caller as it is.
"""

from __future__ import annotations

from collections.abc import AsyncGenerator, Generator

import httpx

from ._challenge import renewed, renewed_async, retry_for
from .credential import AsyncCredential, Credential

__all__ = ["VessaAuth"]


class VessaAuth(httpx.Auth):
    """An `httpx.Auth` over a `Credential` (for `httpx.Client`) or an `AsyncCredential` (for
    `httpx.AsyncClient`), asking it for `scopes` (none: the credential's default scopes).

    The request's body is read before it is sent, so that a retry can send it again.
    """

    def __init__(self, credential: Credential | AsyncCredential, *scopes: str) -> None:
        if not isinstance(credential, (Credential, AsyncCredential)):
            raise TypeError(f"credential must be a Credential or an AsyncCredential, "
                            f"not {type(credential).__name__}")
        self.credential = credential
        self.scopes = scopes

    def sync_auth_flow(self, request: httpx.Request) -> Generator[httpx.Request, httpx.Response,
                                                                  None]:
        """The blocking flow: the credential must be a `Credential`."""
        credential = self.credential
        if not isinstance(credential, Credential):
            raise TypeError("an AsyncCredential authenticates the requests of an "
                            "httpx.AsyncClient; give an httpx.Client a Credential")
        request.read()
        token = credential.get_token(*self.scopes)
        request.headers["Authorization"] = token.authorization_header
        response = yield request
        retry = retry_for(response.status_code, response.headers.get_list("www-authenticate"))
        if retry is not None:
            token = renewed(credential, self.scopes, token, retry)
            request.headers["Authorization"] = token.authorization_header
            yield request

    async def async_auth_flow(self, request: httpx.Request
                              ) -> AsyncGenerator[httpx.Request, httpx.Response]:
        """The asyncio flow: the credential must be an `AsyncCredential`."""
        credential = self.credential
        if not isinstance(credential, AsyncCredential):
            raise TypeError("a Credential authenticates the requests of an httpx.Client; give "
                            "an httpx.AsyncClient an AsyncCredential")
        await request.aread()
        token = await credential.get_token(*self.scopes)
        request.headers["Authorization"] = token.authorization_header
        response = yield request
        retry = retry_for(response.status_code, response.headers.get_list("www-authenticate"))
        if retry is not None:
            token = await renewed_async(credential, self.scopes, token, retry)
            request.headers["Authorization"] = token.authorization_header
            yield request

"""`VessaAuth`: authentication of requests' requests with a credential's tokens (the extra
``pyvessaruntime[requests]``).

Each request gets the ``Authorization`` header of the credential's token (``Bearer ...``, or
``PoP ...`` where the runtime issued a proof-of-possession token). A 401 answer with a bearer
challenge is retried once, by a response hook, with a new token: renewed for
``error="invalid_token"``, for the challenge's scopes for ``error="insufficient_scope"``, with the
challenge's ``claims``. The answer to the retry goes to the caller as it is, the 401 in its
``history``.
"""

from __future__ import annotations

import functools
from collections.abc import Callable
from typing import Any

import requests
import requests.auth
from requests.cookies import extract_cookies_to_jar

from ._challenge import renewed, retry_for
from .credential import Credential
from .models import Token

__all__ = ["VessaAuth"]

# Typed here, where requests leaves it untyped: a 401's cookies go along with its retry.
_extract_cookies: Callable[[Any, Any, Any], None] = extract_cookies_to_jar


class VessaAuth(requests.auth.AuthBase):
    """A `requests.auth.AuthBase` over a `Credential`, asking it for `scopes` (none: the
    credential's default scopes). A body that is a file is sent again from where it began."""

    def __init__(self, credential: Credential, *scopes: str) -> None:
        if not isinstance(credential, Credential):
            raise TypeError(f"credential must be a Credential, not {type(credential).__name__}")
        self.credential = credential
        self.scopes = scopes

    def __call__(self, request: requests.PreparedRequest) -> requests.PreparedRequest:
        token = self.credential.get_token(*self.scopes)
        request.headers["Authorization"] = token.authorization_header
        tell = getattr(request.body, "tell", None)
        request.hooks["response"].append(functools.partial(
            self._retry, token, None if tell is None else tell()))
        return request

    def _retry(self, token: Token, body_at: int | None, response: requests.Response,
               **kwargs: Any) -> requests.Response:
        retry = retry_for(response.status_code, [response.headers.get("www-authenticate", "")])
        if retry is None:
            return response
        response.content  # noqa: B018  (read, so that the connection can be reused)
        response.close()
        again = response.request.copy()
        if body_at is not None:
            getattr(again.body, "seek")(body_at)
        cookies = getattr(again, "_cookies")
        _extract_cookies(cookies, response.request, response.raw)
        again.prepare_cookies(cookies)
        token = renewed(self.credential, self.scopes, token, retry)
        again.headers["Authorization"] = token.authorization_header
        answer: requests.Response = response.connection.send(again, **kwargs)
        answer.history.append(response)
        answer.request = again
        return answer

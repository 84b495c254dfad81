"""What the HTTP adapters do with a 401 answer: read its bearer challenge (RFC 6750, in the
``WWW-Authenticate`` syntax of RFC 9110) and decide the one retry it calls for, if any.

A header may carry several challenges, separated by commas as their parameters are, and a
server may send several headers; quoted values may hold commas, equals signs and escaped quotes.
"""

from __future__ import annotations

import base64
import binascii
import json
import re
from collections.abc import Iterable, Iterator
from dataclasses import dataclass
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from .credential import AsyncCredential, Credential
    from .models import Token

_TOKEN = r"[!#$%&'*+\-.^_`|~0-9A-Za-z]+"
_QUOTED = r'"(?:[^"\\]|\\.)*"'
_PARAM = re.compile(rf"[\s,]*({_TOKEN})\s*=\s*({_TOKEN}|{_QUOTED})", re.DOTALL)
_SCHEME = re.compile(rf"[\s,]*({_TOKEN})")
# A scheme's single value in token68 form, which no retry here reads.
_TOKEN68 = re.compile(r"\s+[A-Za-z0-9\-._~+/]+=*\s*(?=,|$)")
_ESCAPED = re.compile(r"\\(.)", re.DOTALL)


def challenges(headers: Iterable[str]) -> Iterator[tuple[str, dict[str, str]]]:
    """Each challenge of the headers: its scheme in lower case, its parameters by lower-case
    name, quoted values unquoted. Reading stops at text that fits no challenge."""
    for header in headers:
        scheme: str | None = None
        params: dict[str, str] = {}
        at = 0
        while True:
            param = _PARAM.match(header, at)
            if param is not None and scheme is not None:
                value = param[2]
                if value.startswith('"'):
                    value = _ESCAPED.sub(r"\1", value[1:-1])
                params.setdefault(param[1].lower(), value)
                at = param.end()
                continue
            found = _SCHEME.match(header, at)
            if found is None:
                break
            if scheme is not None:
                yield scheme, params
            scheme, params = found[1].lower(), {}
            token68 = _TOKEN68.match(header, found.end())
            at = found.end() if token68 is None else token68.end()
        if scheme is not None:
            yield scheme, params


@dataclass(frozen=True)
class Retry:
    """The retry a bearer challenge calls for: the token `renew`ed (``invalid_token``), or one
    for other `scopes` (``insufficient_scope``; empty: the request's own) or with `claims`."""

    renew: bool = False
    scopes: tuple[str, ...] = ()
    claims: str | None = None


def retry_for(status: int, headers: Iterable[str]) -> Retry | None:
    """The retry a 401 answer's bearer challenge calls for, or None: another status, no bearer
    challenge, an error no new token mends, a `claims` value that is not base64url JSON."""
    if status != 401:
        return None
    for scheme, params in challenges(headers):
        if scheme != "bearer":
            continue
        scopes = tuple(params.get("scope", "").split())
        if "claims" in params:
            claims = _decoded_claims(params["claims"])
            return None if claims is None else Retry(scopes=scopes, claims=claims)
        error = params.get("error")
        if error == "invalid_token":
            return Retry(renew=True)
        if error == "insufficient_scope" and scopes:
            return Retry(scopes=scopes)
        return None
    return None


def _decoded_claims(value: str) -> str | None:
    try:
        text = base64.urlsafe_b64decode(value + "=" * (-len(value) % 4)).decode()
        return text if isinstance(json.loads(text), dict) else None
    except (binascii.Error, ValueError):
        return None


def renewed(credential: Credential, scopes: tuple[str, ...], token: Token,
            retry: Retry) -> Token:
    """The token to retry with."""
    if retry.renew:
        credential.invalidate(token)
        return credential.get_token(*scopes)
    return credential.get_token(*(retry.scopes or scopes), claims=retry.claims)


async def renewed_async(credential: AsyncCredential, scopes: tuple[str, ...], token: Token,
                        retry: Retry) -> Token:
    """The token to retry with, awaited."""
    if retry.renew:
        credential.invalidate(token)
        return await credential.get_token(*scopes)
    return await credential.get_token(*(retry.scopes or scopes), claims=retry.claims)

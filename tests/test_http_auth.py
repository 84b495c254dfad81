"""The HTTP adapters against a real API on 127.0.0.1 (bearer_api.py), which checks each token's
audience, scopes and expiry by the emulator's clock and challenges as its paths ask."""

import asyncio
import datetime
import json
import subprocess
import sys
from pathlib import Path

import pytest

import pyvessaruntime as vrt

httpx = pytest.importorskip("httpx")
requests = pytest.importorskip("requests")
from pyvessaruntime import httpx as vrt_httpx, requests as vrt_requests  # noqa: E402

AUDIENCE = "api-client"
AUTHORITY = "https://login.example.test/common"
CLAIMS = {"access_token": {"acr": {"essential": True, "value": "c1"}}}


@pytest.fixture(scope="module")
def api():
    server = subprocess.Popen([sys.executable, str(Path(__file__).with_name("bearer_api.py")),
                               AUDIENCE], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    yield f"http://127.0.0.1:{server.stdout.readline().strip()}"
    server.stdin.close()
    server.wait(timeout=30)


def fetch(adapter, url, credential):
    """The status, the path's request count and the token claims the API saw."""
    headers = {"X-Now": str(int(vrt.now().timestamp()))}
    if adapter == "requests":
        answer = requests.get(url, auth=vrt_requests.VessaAuth(credential), headers=headers,
                              timeout=30)
    elif adapter == "httpx":
        with httpx.Client(auth=vrt_httpx.VessaAuth(credential)) as client:
            answer = client.get(url, headers=headers)
    else:
        async def get():
            async with httpx.AsyncClient(auth=vrt_httpx.VessaAuth(credential)) as client:
                return await client.get(url, headers=headers)
        answer = asyncio.run(get())
    return answer.status_code, int(answer.headers["X-Hits"]), answer.content


@pytest.mark.parametrize("adapter", ["requests", "httpx", "httpx-async"])
@pytest.mark.parametrize("path, status, hits, retried_with", [
    ("ok/user.read", 200, 1, None),
    ("revoke-first/user.read", 200, 2, "the token renewed"),
    ("always-invalid/user.read", 401, 2, "the token renewed"),
    ("ok/mail.send", 200, 2, ("mail.send", "openid")),
    ("claims/user.read", 200, 2, CLAIMS),
    ("expired/user.read", 200, 1, None),
])
def test_a_challenge_is_answered_by_one_retry_with_the_token_it_asks_for(
        emu, api, adapter, path, status, hits, retried_with):
    emu.freeze()
    emu.add_account(user_name="ada@example.test")
    with vrt.running():
        kind = vrt.AsyncCredential if adapter == "httpx-async" else vrt.Credential
        credential = kind(AUDIENCE, AUTHORITY, ["user.read"])
        if path.startswith("expired"):
            fetch(adapter, f"{api}/ok/user.read/{adapter}-before", credential)
            emu.advance(datetime.timedelta(hours=2))
        assert fetch(adapter, f"{api}/{path}/{adapter}", credential)[:2] == (status, hits)
    first, *retry = emu.requests("acquire_token_silently")[-hits:]
    if retried_with == "the token renewed":
        assert retry[0].parameters["access_token_to_renew"] is not None
    elif isinstance(retried_with, tuple):
        assert retry[0].scopes == retried_with
    elif retried_with is not None:
        assert json.loads(retry[0].claims) == retried_with
    else:
        assert retry == []

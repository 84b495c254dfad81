"""The API of the HTTP adapters' tests: ``python bearer_api.py AUDIENCE`` serves
``GET /SCENARIO/SCOPE/...`` on 127.0.0.1 (its port printed) until its input closes. It takes an
emulator token for AUDIENCE, unexpired at the request's ``X-Now`` (Unix seconds), holding SCOPE;
``revoke-first`` refuses the first token a path sees, ``always-invalid`` every one, ``claims``
one without CLAIMS. ``X-Hits`` counts the path's requests; a success's body is the token's claims.
"""

import base64
import json
import sys
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

CLAIMS = {"access_token": {"acr": {"essential": True, "value": "c1"}}}
ENCODED_CLAIMS = base64.urlsafe_b64encode(json.dumps(CLAIMS).encode()).decode().rstrip("=")
hits: dict[str, int] = {}
revoked: dict[str, str] = {}


def token_claims(authorization):
    scheme, _, token = authorization.partition(" ")
    if scheme != "Bearer" or token.count(".") != 2:
        return None
    payload = token.split(".")[1]
    return json.loads(base64.urlsafe_b64decode(payload + "=" * (-len(payload) % 4)))


class Api(BaseHTTPRequestHandler):
    def do_GET(self):
        scenario, scope, *_ = self.path.strip("/").split("/")
        count = hits[self.path] = hits.get(self.path, 0) + 1
        claims = token_claims(self.headers.get("Authorization", ""))
        if scenario == "revoke-first" and claims is not None:
            revoked.setdefault(self.path, claims["jti"])
        if (claims is None or claims["aud"] != sys.argv[1]
                or claims["exp"] <= int(self.headers["X-Now"]) or scenario == "always-invalid"
                or revoked.get(self.path) == claims["jti"]):
            return self.answer(401, count, 'error="invalid_token", error_description="no, not '
                                           'this one"')
        if scope not in claims["scp"].split():
            # With a quoted pair (a backslash before any character), as quoted strings allow.
            scopes = f"{scope[0]}\\{scope[1:]} openid"
            return self.answer(401, count, f'error="insufficient_scope", scope="{scopes}"')
        if scenario == "claims" and json.loads(claims.get("claims", "{}")) != CLAIMS:
            return self.answer(401, count, f'error="insufficient_claims", claims={ENCODED_CLAIMS}')
        self.answer(200, count, body=json.dumps(claims).encode())

    def answer(self, status, count, challenge=None, body=b""):
        self.send_response(status)
        self.send_header("X-Hits", str(count))
        self.send_header("Content-Length", str(len(body)))
        if challenge is not None:
            # Challenges of other schemes, with commas and quotes inside quoted values, first.
            self.send_header("WWW-Authenticate", 'Newauth realm="apps", title="Login to \\"apps'
                                                 '\\", error=invalid_token", Basic abc+/9==')
            self.send_header("WWW-Authenticate", f'Basic realm="simple", Bearer realm="api", '
                                                 f'{challenge}')
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


server = ThreadingHTTPServer(("127.0.0.1", 0), Api)
threading.Thread(target=server.serve_forever, daemon=True).start()
print(server.server_address[1], flush=True)
sys.stdin.read()
server.shutdown()

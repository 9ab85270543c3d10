#!/usr/bin/python3
"""Loopback OAuth2 authorization server for tests (authorization code with PKCE, refresh tokens,
token introspection for Dovecot and the SMTP sink). Everything is kept in memory.

  GET  /authorize   response_type=code, client_id, redirect_uri (http on a loopback address),
                    state, code_challenge with code_challenge_method=S256, scope, login_hint
                    (the user who signs in). Redirects to redirect_uri with code and state, or
                    with error=access_denied for a user set to deny.
  POST /token       grant_type=authorization_code (code, redirect_uri, client_id, code_verifier)
                    or grant_type=refresh_token (refresh_token, client_id). A refresh gives a new
                    access token and a new refresh token; the old refresh token stops working.
  POST /introspect  token=...: {"active": true, "username": ..., "exp": ...} or {"active": false}.

Test control:
  POST /test/issue    user, expires_in: tokens as /token would give them after a sign-in
  POST /test/revoke   user, what=access|refresh|all: the user's tokens stop working
  POST /test/reset    user: the user's counters start again from 0 and its tokens stop working
  POST /test/config   expires_in (of tokens issued from now on), deny (a user whose sign-in is refused)
  GET  /test/stats    user: {"introspections", "accepted", "refreshes", "refused_refreshes", "codes"}
"""
import argparse
import base64
import hashlib
import json
import secrets
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qs, urlencode, urlparse

CLIENT_ID = "lw-test-client"
LOOPBACK = ("127.0.0.1", "localhost", "[::1]", "::1")


class State:
    def __init__(self):
        self.lock = threading.Lock()
        self.codes = {}      # code -> (user, client_id, redirect_uri, challenge, scope)
        self.access = {}     # token -> (user, expires_at)
        self.refresh = {}    # token -> [user, usable]: a used or revoked one stays known, unusable
        self.stats = {}      # user -> counters
        self.expires_in = 3600
        self.deny = set()

    def count(self, user, what):
        counters = self.stats.setdefault(user, {
            "introspections": 0, "accepted": 0, "refreshes": 0, "refused_refreshes": 0, "codes": 0})
        counters[what] += 1

    def issue(self, user, expires_in=None):
        lifetime = self.expires_in if expires_in is None else int(expires_in)
        access = "at-" + secrets.token_urlsafe(24)
        refresh = "rt-" + secrets.token_urlsafe(24)
        self.access[access] = (user, time.time() + lifetime)
        self.refresh[refresh] = [user, True]
        return {"access_token": access, "token_type": "Bearer", "expires_in": lifetime,
                "refresh_token": refresh, "scope": "pop smtp"}


STATE = State()


def challenge_of(verifier):
    digest = hashlib.sha256(verifier.encode("ascii")).digest()
    return base64.urlsafe_b64encode(digest).rstrip(b"=").decode("ascii")


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, fmt, *args):
        pass

    def reply(self, status, body, headers=None):
        data = json.dumps(body).encode() if not isinstance(body, bytes) else body
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(data)))
        self.send_header("Cache-Control", "no-store")
        for k, v in (headers or {}).items():
            self.send_header(k, v)
        self.end_headers()
        self.wfile.write(data)

    def form(self):
        length = int(self.headers.get("Content-Length") or 0)
        raw = self.rfile.read(length).decode("utf-8", "replace") if length else ""
        return {k: v[0] for k, v in parse_qs(raw, keep_blank_values=True).items()}

    def do_GET(self):
        url = urlparse(self.path)
        query = {k: v[0] for k, v in parse_qs(url.query, keep_blank_values=True).items()}
        if url.path == "/authorize":
            return self.authorize(query)
        if url.path == "/test/stats":
            with STATE.lock:
                user = query.get("user", "")
                STATE.count(user, "codes")  # makes the entry
                STATE.stats[user]["codes"] -= 1
                return self.reply(200, STATE.stats[user])
        self.reply(404, {"error": "not_found"})

    def authorize(self, q):
        redirect = q.get("redirect_uri", "")
        target = urlparse(redirect)
        if q.get("client_id") != CLIENT_ID or target.scheme != "http" or target.hostname not in LOOPBACK:
            return self.reply(400, {"error": "invalid_request", "error_description": "unknown client or redirect"})
        if q.get("response_type") != "code" or q.get("code_challenge_method") != "S256" \
                or len(q.get("code_challenge", "")) != 43:
            return self.redirect(redirect, {"error": "invalid_request", "state": q.get("state", ""),
                                            "error_description": "PKCE with S256 is required"})
        user = q.get("login_hint", "")
        if not user or user in STATE.deny:
            return self.redirect(redirect, {"error": "access_denied", "state": q.get("state", ""),
                                            "error_description": "The user did not consent."})
        code = "code-" + secrets.token_urlsafe(16)
        with STATE.lock:
            STATE.codes[code] = (user, q["client_id"], redirect, q["code_challenge"], q.get("scope", ""))
            STATE.count(user, "codes")
        self.redirect(redirect, {"code": code, "state": q.get("state", "")})

    def redirect(self, uri, params):
        sep = "&" if "?" in uri else "?"
        self.send_response(302)
        self.send_header("Location", uri + sep + urlencode(params))
        self.send_header("Content-Length", "0")
        self.end_headers()

    def do_POST(self):
        url = urlparse(self.path)
        f = self.form()
        if url.path == "/token":
            return self.token(f)
        if url.path == "/introspect":
            with STATE.lock:
                entry = STATE.access.get(f.get("token", ""))
                if entry is None:
                    STATE.count("", "introspections")
                    return self.reply(200, {"active": False})
                user, expires_at = entry
                STATE.count(user, "introspections")
                if expires_at < time.time():
                    return self.reply(200, {"active": False})
                STATE.count(user, "accepted")
                return self.reply(200, {"active": True, "username": user, "exp": int(expires_at)})
        if url.path == "/test/issue":
            with STATE.lock:
                return self.reply(200, STATE.issue(f["user"], f.get("expires_in")))
        if url.path == "/test/revoke":
            user, what = f.get("user", ""), f.get("what", "all")
            with STATE.lock:
                if what in ("access", "all"):
                    for t in [t for t, (u, _) in STATE.access.items() if u == user]:
                        # Kept, marked expired: a refused login still counts for its user.
                        STATE.access[t] = (user, 0)
                if what in ("refresh", "all"):
                    for entry in STATE.refresh.values():
                        if entry[0] == user:
                            entry[1] = False
            return self.reply(200, {"revoked": what})
        if url.path == "/test/reset":
            user = f.get("user", "")
            with STATE.lock:
                STATE.stats.pop(user, None)
                for t in [t for t, (u, _) in STATE.access.items() if u == user]:
                    del STATE.access[t]
                for t in [t for t, (u, _) in STATE.refresh.items() if u == user]:
                    del STATE.refresh[t]
            return self.reply(200, {"reset": user})
        if url.path == "/test/config":
            with STATE.lock:
                if "expires_in" in f:
                    STATE.expires_in = int(f["expires_in"])
                if "deny" in f:
                    STATE.deny = {u for u in f["deny"].split(",") if u}
            return self.reply(200, {"expires_in": STATE.expires_in, "deny": sorted(STATE.deny)})
        self.reply(404, {"error": "not_found"})

    def token(self, f):
        if f.get("client_id") != CLIENT_ID:
            return self.reply(401, {"error": "invalid_client", "error_description": "unknown client"})
        grant = f.get("grant_type")
        with STATE.lock:
            if grant == "authorization_code":
                entry = STATE.codes.pop(f.get("code", ""), None)
                if entry is None:
                    return self.reply(400, {"error": "invalid_grant", "error_description": "unknown or used code"})
                user, client, redirect, challenge, _scope = entry
                if f.get("redirect_uri") != redirect:
                    return self.reply(400, {"error": "invalid_grant", "error_description": "redirect_uri differs"})
                if challenge_of(f.get("code_verifier", "")) != challenge:
                    return self.reply(400, {"error": "invalid_grant", "error_description": "PKCE verification failed"})
                return self.reply(200, STATE.issue(user))
            if grant == "refresh_token":
                user, usable = STATE.refresh.get(f.get("refresh_token", ""), ["", False])
                if not usable:
                    STATE.count(user, "refused_refreshes")
                    return self.reply(400, {"error": "invalid_grant",
                                            "error_description": "The refresh token has been revoked."})
                STATE.refresh[f["refresh_token"]][1] = False  # rotated: each refresh token works once
                STATE.count(user, "refreshes")
                return self.reply(200, STATE.issue(user))
        return self.reply(400, {"error": "unsupported_grant_type"})


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--port", type=int, required=True)
    a = p.parse_args()
    server = ThreadingHTTPServer(("127.0.0.1", a.port), Handler)
    server.daemon_threads = True
    server.serve_forever()


if __name__ == "__main__":
    main()

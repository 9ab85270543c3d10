#!/usr/bin/python3
"""Loopback SMTP sink for tests: AUTH LOGIN/PLAIN/CRAM-MD5, STARTTLS and implicit TLS, and
XOAUTH2/OAUTHBEARER (over TLS only) with tokens checked at an introspection endpoint.

Every accepted message is stored as N.eml (the data exactly as received, CRLF line ends)
and N.json (envelope: mail_from, rcpt_tos, auth_login, auth_mechanism, tls, port).
Fault injection by recipient local part:
  refuse-rcpt...@  the recipient is refused with 550
  tempfail...@     the recipient is refused with 451
  refuse-data...@  the whole message is refused with 554 after DATA
  hang...@         the server stops answering at RCPT (sleeps an hour)
A file named "mode" in the store folder holding "refuse" or "hang" applies to every message.
"""
import argparse
import asyncio
import base64
import hashlib
import hmac
import json
import os
import ssl
import time
import urllib.parse
import urllib.request

from aiosmtpd.smtp import SMTP, AuthResult, LoginPassword


class Sink:
    def __init__(self, store, users, introspect=None):
        self.store = store
        self.users = users
        self.introspect = introspect
        os.makedirs(store, exist_ok=True)

    def token_user(self, token):
        """The user a bearer token was issued to, or None when the server refuses it."""
        if not self.introspect:
            return None
        body = urllib.parse.urlencode({"token": token}).encode()
        try:
            with urllib.request.urlopen(self.introspect, body, timeout=10) as reply:
                answer = json.load(reply)
        except (OSError, ValueError):
            return None
        return answer.get("username") if answer.get("active") is True else None

    async def bearer(self, server, args, parse):
        """XOAUTH2 and OAUTHBEARER: the initial response, checked; a refusal is the JSON error
        challenge, answered by the client, then 535."""
        if server.transport.get_extra_info("ssl_object") is None:
            await server.push("538 5.7.11 Encryption required for requested authentication mechanism")
            return AuthResult(success=False, handled=True)
        if len(args) > 1:
            try:
                raw = base64.b64decode(args[1], validate=True)
            except ValueError:
                return AuthResult(success=False, handled=False)
        else:
            raw = await server.challenge_auth("")
            if not isinstance(raw, bytes):
                return AuthResult(success=False, handled=True)
        login, token = parse(raw.decode("utf-8", "replace"))
        user = await asyncio.get_running_loop().run_in_executor(None, self.token_user, token or "")
        if user is None or user != login:
            error = json.dumps({"status": "401", "schemes": "bearer", "scope": "smtp"})
            await server.challenge_auth(error)
            return AuthResult(success=False, handled=False)
        return AuthResult(success=True, auth_data=LoginPassword(login.encode(), b""))

    async def auth_XOAUTH2(self, server, args):
        def parse(text):
            fields = dict(f.split("=", 1) for f in text.split("\x01") if "=" in f)
            auth = fields.get("auth", "")
            return fields.get("user", ""), auth[7:] if auth.startswith("Bearer ") else None
        return await self.bearer(server, args, parse)

    async def auth_OAUTHBEARER(self, server, args):
        def parse(text):
            head, _, rest = text.partition("\x01")
            login = next((p[2:] for p in head.split(",") if p.startswith("a=")), "")
            fields = dict(f.split("=", 1) for f in rest.split("\x01") if "=" in f)
            auth = fields.get("auth", "")
            return login, auth[7:] if auth.startswith("Bearer ") else None
        return await self.bearer(server, args, parse)

    def mode(self):
        try:
            with open(os.path.join(self.store, "mode")) as f:
                return f.read().strip()
        except OSError:
            return ""

    async def auth_CRAM__MD5(self, server, args):
        challenge = "<%d.%d@lw-sink>" % (os.getpid(), time.time_ns())
        reply = await server.challenge_auth(challenge)
        if not isinstance(reply, bytes) or b" " not in reply:
            return AuthResult(success=False, handled=False)
        login, digest = reply.decode("utf-8", "replace").rsplit(" ", 1)
        password = self.users.get(login)
        if password is None:
            return AuthResult(success=False, handled=False)
        expected = hmac.new(password.encode(), challenge.encode(), hashlib.md5).hexdigest()
        if not hmac.compare_digest(expected, digest.lower()):
            return AuthResult(success=False, handled=False)
        return AuthResult(success=True, auth_data=LoginPassword(login.encode(), b""))

    def authenticate(self, server, session, envelope, mechanism, data):
        if isinstance(data, LoginPassword):
            login = data.login.decode("utf-8", "replace")
            if self.users.get(login) == data.password.decode("utf-8", "replace"):
                return AuthResult(success=True, auth_data=data)
        return AuthResult(success=False, handled=False)

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        local = address.split("@", 1)[0].lower()
        if local.startswith("hang") or self.mode() == "hang":
            await asyncio.sleep(3600)
        if local.startswith("refuse-rcpt"):
            return "550 5.1.1 <%s>: Recipient address rejected" % address
        if local.startswith("tempfail"):
            return "451 4.3.0 <%s>: Temporary failure" % address
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        if self.mode() == "refuse" or any(
                a.split("@", 1)[0].lower().startswith("refuse-data") for a in envelope.rcpt_tos):
            return "554 5.6.0 Message refused by the sink"
        data = envelope.original_content or envelope.content
        if isinstance(data, str):
            data = data.encode("utf-8")
        name = "%d-%d-%06d" % (time.time_ns(), os.getpid(), id(envelope) % 1000000)
        tmp = os.path.join(self.store, "." + name + ".tmp")
        with open(tmp, "wb") as f:
            f.write(data)
        meta = {
            "mail_from": envelope.mail_from,
            "rcpt_tos": envelope.rcpt_tos,
            "auth_login": None,
            "auth_mechanism": getattr(session, "lw_mechanism", None),
            "tls": session.ssl is not None
            or server.transport.get_extra_info("ssl_object") is not None,
            "port": server.transport.get_extra_info("sockname")[1],
        }
        auth = session.auth_data
        if isinstance(auth, LoginPassword):
            meta["auth_login"] = auth.login.decode("utf-8", "replace")
        with open(os.path.join(self.store, name + ".json.tmp"), "w") as f:
            json.dump(meta, f)
        os.rename(tmp, os.path.join(self.store, name + ".eml"))
        # The envelope is renamed last: readers wait for the .json.
        os.rename(os.path.join(self.store, name + ".json.tmp"), os.path.join(self.store, name + ".json"))
        return "250 OK stored as " + name


class RecordingSMTP(SMTP):
    """Remembers the AUTH mechanism a session used, for the envelope file."""

    async def smtp_AUTH(self, arg):
        mechanism = arg.split()[0].upper() if arg else None
        await super().smtp_AUTH(arg)
        if self.session.authenticated:
            self.session.lw_mechanism = mechanism


async def main():
    p = argparse.ArgumentParser()
    p.add_argument("--port", type=int, required=True)
    p.add_argument("--tls-port", type=int, required=True)
    p.add_argument("--cert", required=True)
    p.add_argument("--key", required=True)
    p.add_argument("--store", required=True)
    p.add_argument("--users", required=True, help="file of user:password lines")
    p.add_argument("--introspect", help="token introspection URL for XOAUTH2 and OAUTHBEARER")
    a = p.parse_args()

    users = {}
    with open(a.users) as f:
        for line in f:
            line = line.rstrip("\n")
            if ":" in line:
                u, pw = line.split(":", 1)
                users[u] = pw
    sink = Sink(a.store, users, a.introspect)
    ctx = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    ctx.load_cert_chain(a.cert, a.key)

    def factory(implicit):
        def make():
            return RecordingSMTP(
                sink, hostname="localhost", authenticator=sink.authenticate,
                auth_require_tls=False, tls_context=None if implicit else ctx,
                require_starttls=False, decode_data=False, data_size_limit=64 * 1024 * 1024)
        return make

    loop = asyncio.get_running_loop()
    plain = await loop.create_server(factory(False), "127.0.0.1", a.port)
    tls = await loop.create_server(factory(True), "127.0.0.1", a.tls_port, ssl=ctx)
    async with plain, tls:
        await asyncio.gather(plain.serve_forever(), tls.serve_forever())


if __name__ == "__main__":
    asyncio.run(main())

#!/usr/bin/python3
"""Mail servers of the e-mail login modes for the delivery tests, on 127.0.0.1.

  mail_auth.py oauth2 <port-file> <out-dir> <cert.pem> <key.pem> <mails> <expires_in>
      An HTTPS token endpoint (POST /token) and an SMTP server that requires
      STARTTLS and takes only AUTH XOAUTH2 with a token the endpoint issued.
      The endpoint saves each request's form body as token_body.<n> and
      answers {"access_token":"e2e.<n>.<random>","expires_in":<expires_in>};
      the issued tokens go to `tokens`, one a line. Each mail saves
      mail.<n>.user, mail.<n>.token and mail.<n>.data. Ends after <mails>
      mails (exit 0) or 60 seconds (exit 3). The port file holds
      "<smtp port> <token port>".
  mail_auth.py relay <port-file> <out-dir>
      An SMTP relay without STARTTLS and without AUTH; saves mail_from, rcpt
      (one a line), data, and `ehlo`: the EHLO answer's extension lines. Ends
      after one mail (exit 0), or when <out-dir>/stop appears or after 60
      seconds (exit 3).
"""

import asyncio
import base64
import logging
import os
import secrets
import ssl
import sys
import threading
import urllib.parse
from http.server import BaseHTTPRequestHandler, HTTPServer

LIFETIME = 60


def save(out_dir, name, data):
    if isinstance(data, str):
        data = data.encode("utf-8", "surrogateescape")
    with open(os.path.join(out_dir, name), "wb") as f:
        f.write(data)


def announce(port_file, text):
    tmp = port_file + ".tmp"
    with open(tmp, "w") as f:
        f.write(text + "\n")
    os.replace(tmp, port_file)


def token_endpoint(out_dir, cert, key, expires_in, issued):
    lock = threading.Lock()

    class Handler(BaseHTTPRequestHandler):
        def do_POST(self):
            length = int(self.headers.get("Content-Length", "0"))
            body = self.rfile.read(length)
            form = urllib.parse.parse_qs(body.decode("ascii"), strict_parsing=True)
            with lock:
                n = len(issued) + 1
                save(out_dir, "token_body.%d" % n, body)
                if self.path != "/token" or form.get("grant_type") != ["client_credentials"]:
                    answer, status = b'{"error":"unsupported_grant_type"}', 400
                else:
                    token = "e2e.%d.%s" % (n, secrets.token_urlsafe(24))
                    issued.append(token)
                    save(out_dir, "tokens", "\n".join(issued))
                    answer = ('{"token_type":"Bearer","expires_in":%d,"access_token":"%s"}'
                              % (expires_in, token)).encode()
                    status = 200
            self.send_response(status)
            self.send_header("Content-Type", "application/json")
            self.send_header("Content-Length", str(len(answer)))
            self.end_headers()
            self.wfile.write(answer)

        def log_message(self, *args):
            pass

    server = HTTPServer(("127.0.0.1", 0), Handler)
    context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    context.load_cert_chain(cert, key)
    server.socket = context.wrap_socket(server.socket, server_side=True)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


def run_oauth2(port_file, out_dir, cert, key, mails, expires_in):
    from aiosmtpd.smtp import SMTP, AuthResult

    logging.getLogger("mail.log").setLevel(logging.ERROR)
    issued = []
    endpoint = token_endpoint(out_dir, cert, key, int(expires_in), issued)
    received = {"count": 0, "user": "", "token": ""}

    class Handler:
        async def auth_XOAUTH2(self, server, args):
            if len(args) == 2:
                blob = base64.b64decode(args[1])
            else:
                blob = await server.challenge_auth("")
                if not isinstance(blob, bytes):
                    return AuthResult(success=False, handled=True)
            fields = dict(part.split("=", 1) for part in blob.decode().split("\x01") if part)
            bearer = fields.get("auth", "")
            token = bearer[len("Bearer "):] if bearer.startswith("Bearer ") else ""
            if token not in issued:
                return AuthResult(success=False, message="535 5.7.3 Authentication unsuccessful")
            received["user"], received["token"] = fields.get("user", ""), token
            return AuthResult(success=True)

        async def handle_DATA(self, server, session, envelope):
            received["count"] += 1
            n = received["count"]
            save(out_dir, "mail.%d.user" % n, received["user"])
            save(out_dir, "mail.%d.token" % n, received["token"])
            save(out_dir, "mail.%d.data" % n, envelope.original_content)
            return "250 OK"

    context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    context.load_cert_chain(cert, key)

    async def main():
        loop = asyncio.get_running_loop()
        server = await loop.create_server(
            lambda: SMTP(Handler(), hostname="oauth2.test", tls_context=context,
                         require_starttls=True, auth_required=True, auth_require_tls=True,
                         auth_exclude_mechanism=["LOGIN", "PLAIN"]),
            "127.0.0.1", 0)
        announce(port_file, "%d %d" % (server.sockets[0].getsockname()[1],
                                       endpoint.server_address[1]))
        for _ in range(LIFETIME * 10):
            if received["count"] >= int(mails):
                await asyncio.sleep(1.0)  # let the client finish with QUIT
                break
            await asyncio.sleep(0.1)
        server.close()

    asyncio.run(main())
    endpoint.shutdown()
    return 0 if received["count"] >= int(mails) else 3


def run_relay(port_file, out_dir):
    from aiosmtpd.smtp import SMTP

    logging.getLogger("mail.log").setLevel(logging.ERROR)
    done = {"ok": False}

    class Handler:
        async def handle_EHLO(self, server, session, envelope, hostname, responses):
            session.host_name = hostname
            save(out_dir, "ehlo", "\n".join(responses))
            return responses

        async def handle_DATA(self, server, session, envelope):
            save(out_dir, "mail_from", envelope.mail_from)
            save(out_dir, "rcpt", "\n".join(envelope.rcpt_tos))
            save(out_dir, "data", envelope.original_content)
            done["ok"] = True
            return "250 OK"

    async def main():
        loop = asyncio.get_running_loop()
        server = await loop.create_server(
            lambda: SMTP(Handler(), hostname="relay.test", auth_exclude_mechanism=["LOGIN", "PLAIN"]),
            "127.0.0.1", 0)
        announce(port_file, "%d" % server.sockets[0].getsockname()[1])
        for _ in range(LIFETIME * 10):
            if done["ok"]:
                await asyncio.sleep(1.0)
                break
            if os.path.exists(os.path.join(out_dir, "stop")):
                break
            await asyncio.sleep(0.1)
        server.close()

    asyncio.run(main())
    return 0 if done["ok"] else 3


def main(argv):
    mode, port_file, out_dir = argv[1], argv[2], argv[3]
    os.makedirs(out_dir, exist_ok=True)
    if mode == "oauth2":
        return run_oauth2(port_file, out_dir, *argv[4:8])
    if mode == "relay":
        return run_relay(port_file, out_dir)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))

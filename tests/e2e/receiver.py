#!/usr/bin/python3
"""Receives on 127.0.0.1 for the delivery tests; writes the bound port to <port-file>.

  receiver.py smtp <port-file> <out-dir> <cert.pem> <key.pem>
      requires STARTTLS and a login (any); saves login, password, mail_from,
      rcpt (one a line) and data (the bytes as received) of one message.
  receiver.py http <port-file> <out-dir>
      saves method, path, content_type and body of one POST; a path under
      /gone is answered 404 and not saved (a web hook that no longer exists).
  receiver.py hang <port-file> <out-dir> <cert.pem> <key.pem> [seconds]
      HTTPS that reads and never answers, counting connections into
      <out-dir>/connections; ends at <out-dir>/stop or after `seconds` (60).

smtp and http end after one message (exit 0) or after 60 seconds (exit 3).
"""

import asyncio
import os
import logging
import ssl
import sys
import time

LIFETIME = 60


def save(out_dir, name, data):
    """Writes whole: a reader never sees half a file."""
    if isinstance(data, str):
        data = data.encode("utf-8", "surrogateescape")
    with open(os.path.join(out_dir, name + ".tmp"), "wb") as f:
        f.write(data)
    os.replace(os.path.join(out_dir, name + ".tmp"), os.path.join(out_dir, name))


def announce(port_file, port):
    save(".", port_file, "%d\n" % port)


def run_smtp(port_file, out_dir, cert, key):
    from aiosmtpd.smtp import SMTP, AuthResult

    logging.getLogger("mail.log").setLevel(logging.ERROR)

    done = {"ok": False}
    logins = {}

    def authenticator(server, session, envelope, mechanism, auth_data):
        logins["login"] = auth_data.login
        logins["password"] = auth_data.password
        return AuthResult(success=True)

    class Handler:
        async def handle_DATA(self, server, session, envelope):
            for name, data in (("login", logins.get("login", b"")),
                               ("password", logins.get("password", b"")),
                               ("mail_from", envelope.mail_from),
                               ("rcpt", "\n".join(envelope.rcpt_tos)),
                               ("data", envelope.original_content)):
                save(out_dir, name, data)
            done["ok"] = True
            return "250 OK"

    context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    context.load_cert_chain(cert, key)

    async def main():
        loop = asyncio.get_running_loop()
        server = await loop.create_server(
            lambda: SMTP(Handler(), hostname="receiver.test", tls_context=context,
                         require_starttls=True, authenticator=authenticator,
                         auth_require_tls=True),
            "127.0.0.1", 0)
        announce(port_file, server.sockets[0].getsockname()[1])
        for _ in range(LIFETIME * 10):
            if done["ok"]:
                await asyncio.sleep(1.0)  # let the client finish with QUIT
                break
            await asyncio.sleep(0.1)
        server.close()

    asyncio.run(main())
    return 0 if done["ok"] else 3


def run_http(port_file, out_dir):
    from http.server import BaseHTTPRequestHandler, HTTPServer

    class Handler(BaseHTTPRequestHandler):
        def do_POST(self):
            length = int(self.headers.get("Content-Length", "0"))
            body = self.rfile.read(length)
            if self.path.startswith("/gone"):
                self.send_error(404)
                return
            save(out_dir, "method", "POST")
            save(out_dir, "path", self.path)
            save(out_dir, "content_type", self.headers.get("Content-Type", ""))
            save(out_dir, "body", body)
            self.send_response(200)
            self.send_header("Content-Length", "1")
            self.end_headers()
            self.wfile.write(b"1")

        def log_message(self, *args):
            pass

    server = HTTPServer(("127.0.0.1", 0), Handler)
    announce(port_file, server.server_address[1])
    saved = os.path.join(out_dir, "body")
    deadline = time.monotonic() + LIFETIME
    while not os.path.exists(saved) and time.monotonic() < deadline:
        server.timeout = max(0.1, deadline - time.monotonic())
        server.handle_request()
    server.server_close()
    return 0 if os.path.exists(saved) else 3


def run_hang(port_file, out_dir, cert, key, lifetime):
    context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    context.load_cert_chain(cert, key)
    held = []

    class Silent(asyncio.Protocol):
        def connection_made(self, transport):
            held.append(transport)
            save(out_dir, "connections", "%d\n" % len(held))

        def data_received(self, data):
            pass  # the request is read and never answered

    async def main():
        loop = asyncio.get_running_loop()
        server = await loop.create_server(Silent, "127.0.0.1", 0, ssl=context)
        announce(port_file, server.sockets[0].getsockname()[1])
        stop = os.path.join(out_dir, "stop")
        deadline = time.monotonic() + lifetime
        while not os.path.exists(stop) and time.monotonic() < deadline:
            await asyncio.sleep(0.1)
        server.close()
        for transport in held:
            transport.abort()

    asyncio.run(main())
    return 0


def main(argv):
    if len(argv) > 3:
        os.makedirs(argv[3], exist_ok=True)
    if len(argv) == 6 and argv[1] == "smtp":
        return run_smtp(*argv[2:6])
    if len(argv) == 4 and argv[1] == "http":
        return run_http(argv[2], argv[3])
    if len(argv) in (6, 7) and argv[1] == "hang":
        return run_hang(*argv[2:6], float(argv[6]) if len(argv) == 7 else LIFETIME)
    sys.stderr.write(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))

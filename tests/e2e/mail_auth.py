#!/usr/bin/python3
"""mail_auth.py <dir> [<expires_in>]: an SMTP relay on 127.0.0.1 without STARTTLS or AUTH, or with
expires_in one that takes only XOAUTH2 after STARTTLS, with tokens of its HTTPS endpoint. Writes
<dir>/port and each mail as mail.<n>: "<user> <token> <from> <to> <subject>"; ends on ./stop."""

import asyncio, base64, email, os, secrets, ssl, subprocess, sys, threading
from http.server import BaseHTTPRequestHandler, HTTPServer
from aiosmtpd.smtp import SMTP, AuthResult

out, life = sys.argv[1], sys.argv[2:]  # life: the tokens' expires_in
os.makedirs(out, exist_ok=True)
issued, mails = [], []


def save(name, text):
    with open(os.path.join(out, name + ".tmp"), "w") as f:
        f.write(text)
    os.replace(os.path.join(out, name + ".tmp"), os.path.join(out, name))


class Token(BaseHTTPRequestHandler):  # HTTP/1.0: the answer ends with the connection
    def do_POST(self):
        issued.append("e2e.%d.%s" % (len(issued) + 1, secrets.token_urlsafe(24)))
        self.rfile.read(int(self.headers["Content-Length"]))
        save("tokens", "\n".join(issued))
        self.send_response(200)
        self.end_headers()
        self.wfile.write(('{"expires_in":%s,"access_token":"%s"}' % (life[0], issued[-1])).encode())


class Mail:
    user = token = ""

    async def auth_XOAUTH2(self, server, args):
        blob = base64.b64decode(args[1]) if len(args) == 2 else await server.challenge_auth("")
        fields = dict(p.split("=", 1) for p in blob.decode().split("\x01") if p)
        self.user, self.token = fields.get("user", ""), fields.get("auth", "")[len("Bearer "):]
        return AuthResult(success=self.token in issued)

    async def handle_DATA(self, server, session, envelope):
        mails.append(" ".join([self.user, self.token, envelope.mail_from] + envelope.rcpt_tos +
                              [email.message_from_bytes(envelope.original_content)["Subject"]]))
        save("mail.%d" % len(mails), mails[-1])
        return "250 OK"


async def main():
    context, ports = None, []
    if life:
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout",
                        out + "/key.pem", "-out", out + "/cert.pem", "-days", "1", "-subj",
                        "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1"], check=True,
                       capture_output=True)
        context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        context.load_cert_chain(out + "/cert.pem", out + "/key.pem")
        http = HTTPServer(("127.0.0.1", 0), Token)
        http.socket = context.wrap_socket(http.socket, server_side=True)
        threading.Thread(target=http.serve_forever, daemon=True).start()
        ports.append(http.server_address[1])
    server = await asyncio.get_running_loop().create_server(
        lambda: SMTP(Mail(), hostname="mail.test", tls_context=context, auth_required=bool(context),
                     require_starttls=bool(context), auth_exclude_mechanism=["LOGIN", "PLAIN"]),
        "127.0.0.1", 0)
    save("port", " ".join(str(p) for p in [server.sockets[0].getsockname()[1]] + ports))
    for _ in range(600):
        if os.path.exists("stop"):
            break
        await asyncio.sleep(0.1)


asyncio.run(main())

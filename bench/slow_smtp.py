#!/usr/bin/python3
"""A slow mail server on 127.0.0.1 for the delivery benchmark.

  slow_smtp.py <dir> <cert.pem> <key.pem>

Plain SMTP that offers (and requires) STARTTLS and accepts any login. Every
message is held DELAY seconds in DATA, then counted. The bound port is
printed and written to <dir>/port once the server listens; the count is
rewritten to <dir>/count after every message. The server ends when
<dir>/stop appears or after LIFETIME seconds.
"""

import asyncio
import logging
import os
import ssl
import sys

DELAY = 0.3
LIFETIME = 30 * 60


def write_atomic(path, text):
    tmp = path + ".tmp"
    with open(tmp, "w") as f:
        f.write(text)
    os.replace(tmp, path)


def main(argv):
    if len(argv) != 4:
        sys.stderr.write(__doc__)
        return 2
    out_dir, cert, key = argv[1:]
    from aiosmtpd.smtp import SMTP, AuthResult

    logging.getLogger("mail.log").setLevel(logging.ERROR)
    count = {"n": 0}

    def authenticator(server, session, envelope, mechanism, auth_data):
        return AuthResult(success=True)

    class Handler:
        async def handle_DATA(self, server, session, envelope):
            await asyncio.sleep(DELAY)
            count["n"] += 1
            write_atomic(os.path.join(out_dir, "count"), "%d\n" % count["n"])
            return "250 OK"

    context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    context.load_cert_chain(cert, key)

    async def serve():
        loop = asyncio.get_running_loop()
        server = await loop.create_server(
            lambda: SMTP(Handler(), hostname="slow.test", tls_context=context,
                         require_starttls=True, authenticator=authenticator,
                         auth_require_tls=True),
            "127.0.0.1", 0)
        port = server.sockets[0].getsockname()[1]
        print(port, flush=True)
        write_atomic(os.path.join(out_dir, "port"), "%d\n" % port)
        stop = os.path.join(out_dir, "stop")
        for _ in range(LIFETIME * 10):
            if os.path.exists(stop):
                break
            await asyncio.sleep(0.1)
        server.close()

    asyncio.run(serve())
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))

#!/usr/bin/python3
"""A slow mail server on 127.0.0.1 for the delivery benchmarks.

  slow_smtp.py <dir> <cert.pem> <key.pem> [--fail-rate R] [--seed N]
               [--journal FILE] [--lifetime SECONDS]

Plain SMTP that offers (and requires) STARTTLS and accepts any login. Every
message is held DELAY seconds in DATA, then counted. The bound port is
printed and written to <dir>/port once the server listens; the count is
rewritten to <dir>/count after every message. The server ends when
<dir>/stop appears or after LIFETIME seconds (--lifetime).

--fail-rate R refuses that share of the messages (0 to 1) at random at the
end of DATA with "451 4.3.0" (a temporary failure: the sender may try
again); --seed N fixes the random sequence (default 1). Refused messages are
not counted. --journal FILE gets one line per message that reached the end
of DATA, in arrival order: "<arrival, ms since the epoch> <reply code>
<subject>", the subject decoded and on one line. Without these options the
server behaves as before: every message is accepted, nothing is journaled.
"""

import asyncio
import email
import email.policy
import logging
import os
import random
import ssl
import sys
import time

DELAY = 0.3
LIFETIME = 30 * 60


def write_atomic(path, text):
    tmp = path + ".tmp"
    with open(tmp, "w") as f:
        f.write(text)
    os.replace(tmp, path)


def subject_of(content):
    """The decoded subject of a raw message on one line; "" when none."""
    try:
        message = email.message_from_bytes(content, policy=email.policy.default)
        subject = str(message.get("Subject", ""))
    except Exception:  # a message the parser refuses still gets its line
        return ""
    return " ".join(subject.split())


def parse_options(args):
    """Returns (positional, options) or None when an option is malformed."""
    options = {"fail_rate": 0.0, "seed": 1, "journal": None, "lifetime": LIFETIME}
    names = {"--fail-rate": ("fail_rate", float), "--seed": ("seed", int),
             "--journal": ("journal", str), "--lifetime": ("lifetime", float)}
    positional = []
    i = 0
    while i < len(args):
        if args[i] in names:
            if i + 1 >= len(args):
                return None
            key, kind = names[args[i]]
            try:
                options[key] = kind(args[i + 1])
            except ValueError:
                return None
            i += 2
        else:
            positional.append(args[i])
            i += 1
    if not 0.0 <= options["fail_rate"] <= 1.0 or options["lifetime"] <= 0:
        return None
    return positional, options


def main(argv):
    parsed = parse_options(argv[1:])
    if parsed is None or len(parsed[0]) != 3:
        sys.stderr.write(__doc__)
        return 2
    (out_dir, cert, key), options = parsed
    from aiosmtpd.smtp import SMTP, AuthResult

    logging.getLogger("mail.log").setLevel(logging.ERROR)
    count = {"n": 0}
    chance = random.Random(options["seed"])
    journal = open(options["journal"], "a", encoding="utf-8") if options["journal"] else None

    def authenticator(server, session, envelope, mechanism, auth_data):
        return AuthResult(success=True)

    class Handler:
        async def handle_DATA(self, server, session, envelope):
            arrival_ms = int(time.time() * 1000)
            await asyncio.sleep(DELAY)
            refused = options["fail_rate"] > 0 and chance.random() < options["fail_rate"]
            if journal:
                journal.write("%d %d %s\n" % (arrival_ms, 451 if refused else 250,
                                              subject_of(envelope.original_content)))
                journal.flush()
            if refused:
                return "451 4.3.0 Temporary failure, try again later"
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
        for _ in range(int(options["lifetime"] * 10)):
            if os.path.exists(stop):
                break
            await asyncio.sleep(0.1)
        server.close()

    asyncio.run(serve())
    if journal:
        journal.close()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))

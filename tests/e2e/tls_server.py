"""python3 tls_server.py make NAME DAYS: writes NAME.pem and NAME.key, a self-signed
certificate for 127.0.0.1 (CN "cert-DAYS") that expires DAYS days and an hour from now
(a negative DAYS: already expired).

python3 tls_server.py direct|smtp PORT_FILE NAME SECONDS: serves TLS on 127.0.0.1 with
the certificate NAME.pem (read afresh for every connection, so a test can swap it),
writes the port to PORT_FILE and ends after SECONDS or once a file "stop" appears. "direct" speaks TLS at once and
closes without a word of HTTP; "smtp" is an SMTP server (aiosmtpd) that offers STARTTLS.
"""
import asyncio
import datetime
import os
import socket
import ssl
import sys
import threading
import time


def make(name, days):
    from cryptography import x509
    from cryptography.hazmat.primitives import hashes, serialization
    from cryptography.hazmat.primitives.asymmetric import ec
    import ipaddress

    key = ec.generate_private_key(ec.SECP256R1())
    subject = x509.Name([x509.NameAttribute(x509.NameOID.COMMON_NAME, "cert-%s" % days)])
    now = datetime.datetime.now(datetime.timezone.utc)
    end = now + datetime.timedelta(days=int(days), hours=1)
    cert = (x509.CertificateBuilder().subject_name(subject).issuer_name(subject)
            .public_key(key.public_key()).serial_number(x509.random_serial_number())
            .not_valid_before(min(now, end) - datetime.timedelta(days=1)).not_valid_after(end)
            .add_extension(x509.SubjectAlternativeName(
                [x509.IPAddress(ipaddress.ip_address("127.0.0.1"))]), critical=False)
            .sign(key, hashes.SHA256()))
    with open(name + ".pem", "wb") as f:
        f.write(cert.public_bytes(serialization.Encoding.PEM))
    with open(name + ".key", "wb") as f:
        f.write(key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                                  serialization.NoEncryption()))


def context(name):
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ctx.load_cert_chain(name + ".pem", name + ".key")
    return ctx


def direct(port_file, name, seconds):
    server = socket.socket()
    server.bind(("127.0.0.1", 0))
    server.listen()
    server.settimeout(0.2)
    with open(port_file, "w") as f:
        f.write(str(server.getsockname()[1]))
    end = time.monotonic() + seconds
    while time.monotonic() < end and not os.path.exists("stop"):
        try:
            conn, _ = server.accept()
        except socket.timeout:
            continue
        try:
            conn.settimeout(5)
            context(name).wrap_socket(conn, server_side=True).close()
        except (OSError, ssl.SSLError):
            conn.close()


def smtp(port_file, name, seconds):
    from aiosmtpd.controller import Controller
    from aiosmtpd.smtp import SMTP

    class Handler:
        async def handle_DATA(self, server, session, envelope):
            return "250 OK"

    class Starttls(Controller):
        def factory(self):
            return SMTP(self.handler, tls_context=context(name), require_starttls=False)

    probe = socket.socket()
    probe.bind(("127.0.0.1", 0))
    port = probe.getsockname()[1]
    probe.close()
    controller = Starttls(Handler(), hostname="127.0.0.1", port=port)
    controller.start()
    with open(port_file, "w") as f:
        f.write(str(port))
    end = time.monotonic() + seconds
    while time.monotonic() < end and not os.path.exists("stop"):
        time.sleep(0.1)
    controller.stop()


if __name__ == "__main__":
    if sys.argv[1] == "make":
        make(sys.argv[2], sys.argv[3])
    else:
        {"direct": direct, "smtp": smtp}[sys.argv[1]](sys.argv[2], sys.argv[3], float(sys.argv[4]))

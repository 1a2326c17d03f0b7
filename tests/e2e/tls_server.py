"""tls_server.py make NAME DAYS: NAME.pem and NAME.key, self-signed for 127.0.0.1, CN
"cert-DAYS", expiring DAYS days and an hour from now (negative: expired).
tls_server.py direct|smtp PORT_FILE NAME SECONDS: TLS on 127.0.0.1 with NAME.pem (direct:
read afresh per connection), the port in PORT_FILE, until SECONDS pass or a file "stop" appears.
"direct": TLS at once, closed without a word; "smtp": aiosmtpd offering STARTTLS.
"""
import datetime, ipaddress, os, socket, ssl, sys, time


def make(name, days):
    from cryptography import x509
    from cryptography.hazmat.primitives import hashes, serialization
    from cryptography.hazmat.primitives.asymmetric import ec
    key = ec.generate_private_key(ec.SECP256R1())
    subject = x509.Name([x509.NameAttribute(x509.NameOID.COMMON_NAME, "cert-" + days)])
    end = datetime.datetime.now(datetime.timezone.utc) + datetime.timedelta(int(days), hours=1)
    cert = (x509.CertificateBuilder().subject_name(subject).issuer_name(subject)
            .public_key(key.public_key()).serial_number(x509.random_serial_number())
            .not_valid_before(end - datetime.timedelta(400)).not_valid_after(end)
            .add_extension(x509.SubjectAlternativeName(
                [x509.IPAddress(ipaddress.ip_address("127.0.0.1"))]), critical=False)
            .sign(key, hashes.SHA256()))
    open(name + ".pem", "wb").write(cert.public_bytes(serialization.Encoding.PEM))
    open(name + ".key", "wb").write(key.private_bytes(
        serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8, serialization.NoEncryption()))


def context(name):
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ctx.load_cert_chain(name + ".pem", name + ".key")
    return ctx


def serve(mode, port_file, name, seconds):
    end = time.monotonic() + float(seconds)
    server = socket.socket()
    server.bind(("127.0.0.1", 0))
    port = server.getsockname()[1]
    if mode == "smtp":
        from aiosmtpd.controller import Controller
        server.close()
        controller = Controller(object(), hostname="127.0.0.1", port=port,
                                tls_context=context(name))
        controller.start()
    else:
        server.listen()
        server.settimeout(0.2)
    open(port_file + ".tmp", "w").write(str(port))
    os.rename(port_file + ".tmp", port_file)  # whole when it appears
    while time.monotonic() < end and not os.path.exists("stop"):
        if mode == "smtp":
            time.sleep(0.1)
            continue
        try:
            conn = server.accept()[0]
            conn.settimeout(5)
            context(name).wrap_socket(conn, server_side=True).close()
        except (OSError, ssl.SSLError):
            pass
    if mode == "smtp":
        controller.stop()


if __name__ == "__main__":
    make(*sys.argv[2:]) if sys.argv[1] == "make" else serve(*sys.argv[1:])

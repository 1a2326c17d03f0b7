#!/usr/bin/python3
"""HTTPS receiver on 127.0.0.1: <port-file> <out-file> <cert.pem> <key.pem> <count>.
Writes each request as "<n>\t<path>\t<field>\t<value>" lines (@method, @header:<name>,
@json, each JSON leaf); exits 0 after <count> requests, 3 after 60 s."""
import http.server, json, os, pathlib, ssl, sys, threading


ESCAPES = str.maketrans({"\\": "\\\\", "\n": "\\n", "\r": "\\r", "\t": "\\t"})


def show(v):
    return v.translate(ESCAPES) if isinstance(v, str) else json.dumps(v)


def leaves(v, prefix=""):
    if isinstance(v, dict):
        return [x for k, i in v.items() for x in leaves(i, prefix + "." + k if prefix else k)]
    if isinstance(v, list):
        return [x for n, i in enumerate(v) for x in leaves(i, "%s[%d]" % (prefix, n))]
    return [(prefix, v)]


def strict(constant): raise ValueError(constant)  # no NaN or Infinity


class Handler(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        body = self.rfile.read(int(self.headers.get("Content-Length", "0")))
        fields = [("@method", self.command)]
        fields += [("@header:" + k.lower(), v) for k, v in self.headers.items()]
        try:
            fields += [("@json", 1)] + leaves(json.loads(body.decode("utf-8"), parse_constant=strict))
        except ValueError:
            fields += [("@json", 0), ("@body", body.decode("utf-8", "replace"))]
        self.send_response(200)
        self.send_header("Content-Length", "0")
        self.end_headers()
        with lock, open(out_file, "a", encoding="utf-8") as f:
            seen[0] += 1
            f.writelines("%d\t%s\t%s\t%s\n" % (seen[0], self.path, k, show(v)) for k, v in fields)
            if seen[0] >= int(count):
                done.set()


port_file, out_file, cert, key, count = sys.argv[1:6]
lock, seen, done = threading.Lock(), [0], threading.Event()
server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
context.load_cert_chain(cert, key)
server.socket = context.wrap_socket(server.socket, server_side=True)
threading.Thread(target=server.serve_forever, daemon=True).start()
pathlib.Path(port_file + ".tmp").write_text("%d\n" % server.server_address[1])
os.replace(port_file + ".tmp", port_file)
sys.exit(0 if done.wait(60) else 3)

#!/usr/bin/python3
"""HTTPS web hook receiver on 127.0.0.1 for tests/e2e_webhook_test.cc:
webhook_receiver.py <port-file> <out-file> <cert.pem> <key.pem> <count>
Answers 200; writes each request as lines "<n>\t<path>\t<field>\t<value>": @method,
@header:<lower-case name>, @json (1: strict JSON), then each JSON leaf by dotted key
(else @body), strings with \\, \n, \r, tab escaped. Exits 0 after <count>
requests, 3 after 60 s; the port goes to <port-file> once it listens."""
import http.server, json, os, ssl, sys, threading


def show(v):
    if not isinstance(v, str):
        return json.dumps(v)
    return v.replace("\\", "\\\\").replace("\n", "\\n").replace("\r", "\\r").replace("\t", "\\t")


def leaves(v, prefix=""):
    if isinstance(v, dict):
        return [x for k, i in v.items() for x in leaves(i, prefix + "." + k if prefix else k)]
    if isinstance(v, list):
        return [x for n, i in enumerate(v) for x in leaves(i, "%s[%d]" % (prefix, n))]
    return [(prefix, v)]


def strict(constant): raise ValueError(constant)  # no NaN or Infinity


class Handler(http.server.BaseHTTPRequestHandler):
    def log_message(self, *args): pass

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

    do_PUT = do_POST


port_file, out_file, cert, key, count = sys.argv[1:6]
lock, seen, done = threading.Lock(), [0], threading.Event()
server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
context.load_cert_chain(cert, key)
server.socket = context.wrap_socket(server.socket, server_side=True)
threading.Thread(target=server.serve_forever, daemon=True).start()
with open(port_file + ".tmp", "w") as f:
    f.write("%d\n" % server.server_address[1])
os.replace(port_file + ".tmp", port_file)
sys.exit(0 if done.wait(60) else 3)

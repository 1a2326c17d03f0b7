#!/usr/bin/python3
"""HTTPS web hook receiver on 127.0.0.1 for the web hook end-to-end test.

  webhook_receiver.py <port-file> <out-file> <cert.pem> <key.pem> <count>

Answers every request 200 with {"status":"success"} and records it, until
<count> requests have come (exit 0) or 60 seconds have passed (exit 3).
Each request becomes lines of <out-file>, fields separated by tabs:

  <n> <path> @method <method>
  <n> <path> @header:<lower-case name> <value>
  <n> <path> @json <1 when the body is strict JSON, else 0>
  <n> <path> <dotted.key> <value>     one per leaf of a JSON body
  <n> <path> @body <the body>         a body that is no JSON

A string value is written with backslash, line feed, carriage return and
tab as \\, \n, \r and \t, so each stays on one line; any other value as
JSON (5, true, null).
The port is written to <port-file> once the server listens.
"""

import http.server
import json
import os
import ssl
import sys
import threading

LIFETIME = 60


def show(value):
    if isinstance(value, str):
        return (value.replace("\\", "\\\\").replace("\n", "\\n").replace("\r", "\\r")
                .replace("\t", "\\t"))
    return json.dumps(value)


def flatten(value, prefix, out):
    if isinstance(value, dict):
        for key, item in value.items():
            flatten(item, prefix + "." + key if prefix else key, out)
    elif isinstance(value, list):
        for index, item in enumerate(value):
            flatten(item, "%s[%d]" % (prefix, index), out)
    else:
        out.append((prefix, value))


def main():
    port_file, out_file, cert, key, count = sys.argv[1:6]
    count = int(count)
    lock = threading.Lock()
    state = {"n": 0}
    done = threading.Event()

    class Handler(http.server.BaseHTTPRequestHandler):
        def log_message(self, *args):
            pass

        def handle_body(self):
            length = int(self.headers.get("Content-Length", "0"))
            body = self.rfile.read(length)
            lines = []
            with lock:
                state["n"] += 1
                n = state["n"]
            head = "%d\t%s\t" % (n, self.path)
            lines.append(head + "@method\t" + show(self.command))
            for name, value in self.headers.items():
                lines.append(head + "@header:" + name.lower() + "\t" + show(value))

            def strict(constant):
                raise ValueError(constant)

            try:
                parsed = json.loads(body.decode("utf-8"), parse_constant=strict)
                lines.append(head + "@json\t1")
                leaves = []
                flatten(parsed, "", leaves)
                for name, value in leaves:
                    lines.append(head + name + "\t" + show(value))
            except ValueError:
                lines.append(head + "@json\t0")
                lines.append(head + "@body\t" + show(body.decode("utf-8", "replace")))
            answer = b'{"status":"success"}'
            self.send_response(200)
            self.send_header("Content-Type", "application/json")
            self.send_header("Content-Length", str(len(answer)))
            self.end_headers()
            self.wfile.write(answer)
            with lock:
                with open(out_file, "a", encoding="utf-8") as f:
                    f.write("\n".join(lines) + "\n")
                if state["n"] >= count:
                    done.set()

        do_POST = handle_body
        do_PUT = handle_body

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    server.socket = context.wrap_socket(server.socket, server_side=True)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    tmp = port_file + ".tmp"
    with open(tmp, "w") as f:
        f.write("%d\n" % server.server_address[1])
    os.replace(tmp, port_file)
    finished = done.wait(LIFETIME)
    server.shutdown()
    sys.exit(0 if finished else 3)


if __name__ == "__main__":
    main()

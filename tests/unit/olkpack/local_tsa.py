#!/usr/bin/env python3
"""A throwaway RFC 3161 time-stamp server on the loopback address, for the
signing tests: `local_tsa.py DIR` makes a time-stamping key and certificate
in DIR (DIR/tsa.pem verifies the stamps), prints the port it listens on,
answers one request with `openssl ts -reply`, and ends; it ends after 60
seconds without a request too."""

import http.server
import os
import subprocess
import sys

folder = os.path.abspath(sys.argv[1])
path = lambda name: os.path.join(folder, name)
subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", path("tsa.key"),
                "-out", path("tsa.pem"), "-days", "2", "-subj", "/CN=olkpack test time stamps",
                "-addext", "extendedKeyUsage=critical,timeStamping"], check=True, capture_output=True)
with open(path("serial"), "w") as f:
    f.write("01\n")
with open(path("tsa.cnf"), "w") as f:
    f.write("[ tsa ]\ndefault_tsa = stamps\n[ stamps ]\n"
            "serial = %s\nsigner_cert = %s\ncerts = %s\nsigner_key = %s\n"
            "signer_digest = sha256\ndefault_policy = 1.2.3.4.1\ndigests = sha1, sha256\n"
            "accuracy = secs:1\ness_cert_id_alg = sha256\n"
            % (path("serial"), path("tsa.pem"), path("tsa.pem"), path("tsa.key")))


class Stamper(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        with open(path("request.tsq"), "wb") as f:
            f.write(self.rfile.read(int(self.headers["Content-Length"])))
        subprocess.run(["openssl", "ts", "-reply", "-config", path("tsa.cnf"), "-queryfile", path("request.tsq"),
                        "-out", path("reply.tsr")], check=True, capture_output=True)
        with open(path("reply.tsr"), "rb") as f:
            reply = f.read()
        self.send_response(200)
        self.send_header("Content-Type", "application/timestamp-reply")
        self.send_header("Content-Length", str(len(reply)))
        self.end_headers()
        self.wfile.write(reply)

    def log_message(self, *args):
        pass


server = http.server.HTTPServer(("127.0.0.1", 0), Stamper)
server.timeout = 60
print(server.server_address[1], flush=True)
server.handle_request()

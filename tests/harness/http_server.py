#!/usr/bin/env python3
"""HTTP server for tests: python3 http_server.py ROOT LOG_DIR [CERT KEY]

Listens on 127.0.0.1 at a free port, printed as the first line of standard
output; with CERT and KEY (PEM files) it speaks TLS. Serves the files under
ROOT and these routes:
  /status/<code>    answers that status (200-599) with the body "status <code>\\n"
  /redirect/<path>  answers 302 with Location /<path>
  /redirect-to?<url> answers 302 with Location <url>, as written
  /bytes/<n>        answers n bytes of "a"
  /slow             accepts the request and never answers
  /drip             announces 1000 bytes and sends one every 2 seconds
Each request ("GET /path") is appended to LOG_DIR/requests.log as it
arrives; errors of the handlers go to LOG_DIR/errors.log.
"""

import functools
import http.server
import os
import re
import ssl
import sys
import threading

CHUNK = 64 * 1024
log_lock = threading.Lock()
never = threading.Event()
DRIP_BYTES = 1000
DRIP_PERIOD = 2


class Handler(http.server.SimpleHTTPRequestHandler):
    requests_log = None

    def do_GET(self):
        self.route(with_body=True)

    def do_HEAD(self):
        self.route(with_body=False)

    def log_message(self, format, *args):
        pass

    def route(self, with_body):
        with log_lock:
            self.requests_log.write(f"{self.command} {self.path}\n")
            self.requests_log.flush()
        path = self.path.split("?", 1)[0]
        if match := re.fullmatch(r"/status/(\d{3})", path):
            self.answer_status(int(match.group(1)), with_body)
        elif self.path.startswith("/redirect/"):
            self.redirect("/" + self.path[len("/redirect/"):])
        elif path == "/redirect-to":
            self.redirect(self.path.partition("?")[2])
        elif match := re.fullmatch(r"/bytes/(\d+)", path):
            self.answer_bytes(int(match.group(1)), with_body)
        elif path == "/slow":
            never.wait()
        elif path == "/drip":
            self.drip(with_body)
        elif with_body:
            super().do_GET()
        else:
            super().do_HEAD()

    def redirect(self, location):
        self.send_response(302)
        self.send_header("Location", location)
        self.send_header("Content-Length", "0")
        self.end_headers()

    def drip(self, with_body):
        self.send_response(200)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Content-Length", str(DRIP_BYTES))
        self.end_headers()
        if not with_body:
            return
        try:
            for _ in range(DRIP_BYTES):
                self.wfile.write(b"a")
                self.wfile.flush()
                never.wait(DRIP_PERIOD)
        except (BrokenPipeError, ConnectionResetError):
            pass

    def answer_status(self, code, with_body):
        if not 200 <= code <= 599:
            self.send_error(404)
            return
        self.send_response(code)
        if code in (204, 304):
            self.end_headers()
            return
        body = f"status {code}\n".encode()
        self.send_header("Content-Type", "text/plain")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if with_body:
            self.wfile.write(body)

    def answer_bytes(self, count, with_body):
        self.send_response(200)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Content-Length", str(count))
        self.end_headers()
        if not with_body:
            return
        chunk = b"a" * CHUNK
        try:
            while count > 0:
                self.wfile.write(chunk[:count])
                count -= min(count, CHUNK)
        except (BrokenPipeError, ConnectionResetError):
            pass


def main():
    root, log_dir = sys.argv[1], sys.argv[2]
    Handler.requests_log = open(os.path.join(log_dir, "requests.log"), "a", encoding="utf-8")
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), functools.partial(Handler, directory=root))
    if len(sys.argv) == 5:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(sys.argv[3], sys.argv[4])
        server.socket = context.wrap_socket(server.socket, server_side=True)
    sys.stderr = open(os.path.join(log_dir, "errors.log"), "a", buffering=1, encoding="utf-8")
    print(server.server_address[1], flush=True)
    server.serve_forever()


if __name__ == "__main__":
    main()

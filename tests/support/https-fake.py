#!/usr/bin/env python3
"""A small HTTPS server for tests: it records every request it gets and
answers from a scenario. Standard library only.

    https-fake.py --cert PEM --key PEM --scenario JSON --record FILE
                  [--address 127.0.0.1] [--port 443]

Scenario (a JSON file):

    {"routes": {"POST /api/servers/register": ANSWER, "/api/myip": ANSWER},
     "default": ANSWER, "handshake": "stall"}

With "handshake": "stall" no connection gets past its TLS handshake: the
fake reads what the client sends and never answers, until the client goes.

A request is answered by the route "METHOD PATH", else "PATH" (the path with
its query), else "default", else 404. An ANSWER is an object, or a list of
objects of which the n-th request on that route gets the n-th (the last one
repeats):

    {"status": 200, "body": "text", "headers": {"Location": "https://..."},
     "delay": 2.5, "drop": false}

"delay" waits that many seconds before answering; "drop" closes the
connection without any answer.

Record: one JSON object per line, appended and flushed; a request when it has
been read, its answer just before that goes out (so a client holding its
answer finds both recorded):

    {"event": "request", "method": "POST", "path": "/x", "version": "HTTP/1.1",
     "headers": [["Host", "..."], ...], "body_hex": "7b7d"}
    {"event": "answer", "method": "POST", "path": "/x", "status": 200}
    {"event": "tls-failed", "error": "..."}
    {"event": "stalled"}            (a connection whose handshake is held)

The line "listening PORT" on standard output says that connections are
accepted from now on. SIGTERM ends the server at once.
"""

import argparse
import http.server
import json
import socketserver
import ssl
import sys
import threading
import time


class Recorder:
    def __init__(self, path):
        self._lock = threading.Lock()
        self._file = open(path, "a", encoding="utf-8")

    def write(self, entry):
        with self._lock:
            self._file.write(json.dumps(entry, separators=(",", ":")) + "\n")
            self._file.flush()


class Scenario:
    def __init__(self, doc):
        self._routes = doc.get("routes", {})
        self._default = doc.get("default", {"status": 404, "body": ""})
        self._counts = {}
        self._lock = threading.Lock()

    def answer(self, method, path):
        for key in (method + " " + path, path):
            if key in self._routes:
                return self._pick(key, self._routes[key])
        return self._pick("", self._default)

    def _pick(self, key, answer):
        if isinstance(answer, list):
            with self._lock:
                n = self._counts.get(key, 0)
                self._counts[key] = n + 1
            return answer[min(n, len(answer) - 1)]
        return answer


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, fmt, *args):  # the record is the log
        pass

    def _serve(self):
        length = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(length) if length > 0 else b""
        self.server.recorder.write({
            "event": "request",
            "method": self.command,
            "path": self.path,
            "version": self.request_version,
            "headers": [[k, v] for k, v in self.headers.items()],
            "body_hex": body.hex(),
        })
        answer = self.server.scenario.answer(self.command, self.path)
        delay = float(answer.get("delay", 0))
        if delay > 0:
            time.sleep(delay)
        if answer.get("drop"):
            self.close_connection = True
            return
        payload = answer.get("body", "").encode("utf-8")
        status = int(answer.get("status", 200))
        # Before the answer leaves: a client holding it finds this recorded.
        self.server.recorder.write({"event": "answer", "method": self.command, "path": self.path,
                                    "status": status})
        self.send_response(status)
        for name, value in answer.get("headers", {}).items():
            self.send_header(name, value)
        self.send_header("Content-Type", "text/plain")
        self.send_header("Content-Length", str(len(payload)))
        self.send_header("Connection", "close")
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(payload)
        self.close_connection = True

    do_GET = do_POST = do_DELETE = do_PUT = do_PATCH = do_HEAD = _serve


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, address, context, scenario, recorder, stall):
        self.context = context
        self.stall = stall
        self.scenario = scenario
        self.recorder = recorder
        super().__init__(address, Handler)

    # The handshake runs on the connection's own thread, so that a client
    # that never completes it holds up nobody else.
    def finish_request(self, request, client_address):
        if self.stall:
            self.recorder.write({"event": "stalled"})
            try:
                request.settimeout(None)
                while request.recv(4096):
                    pass
            except OSError:
                pass
            return
        try:
            request.settimeout(60)
            tls = self.context.wrap_socket(request, server_side=True)
        except (ssl.SSLError, OSError) as e:
            self.recorder.write({"event": "tls-failed", "error": str(e)})
            return
        try:
            self.RequestHandlerClass(tls, client_address, self)
        finally:
            try:
                tls.close()
            except OSError:
                pass

    def handle_error(self, request, client_address):
        pass  # a client that goes away mid-request is nothing to report


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--cert", required=True)
    parser.add_argument("--key", required=True)
    parser.add_argument("--scenario", required=True)
    parser.add_argument("--record", required=True)
    parser.add_argument("--address", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=443)
    args = parser.parse_args()

    with open(args.scenario, encoding="utf-8") as f:
        doc = json.load(f)
    scenario = Scenario(doc)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(args.cert, args.key)
    server = Server((args.address, args.port), context, scenario, Recorder(args.record),
                    doc.get("handshake") == "stall")
    # One write: the reader may act on the line as soon as it sees it.
    sys.stdout.write("listening %d\n" % server.server_address[1])
    sys.stdout.flush()
    server.serve_forever()


if __name__ == "__main__":
    sys.exit(main())

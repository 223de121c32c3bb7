#!/usr/bin/env python3
"""A small stand-in for a HashiCorp Vault server, for the remote KMS connector tests.

HTTPS on 127.0.0.1 with a self-signed certificate made at start (openssl CLI) in the
state directory. Once listening it prints "PORT <n>" on standard output, so a test
waits for that line instead of sleeping.

Files in the state directory:
  cert.pem, key.pem   the server certificate (made when missing; shared by restarts)
  control.json        what the server does; re-read whenever its content changes.
                      The test replaces it atomically (write, then rename).
  requests.jsonl      one JSON line per request: connection number, method, path,
                      raw header lines as received, body text.

control.json members (all optional):
  users  {"name": "password"}          userpass logins accepted
  roles  {"role_id": "secret_id"}      AppRole logins accepted
  kv     {"path": "value"}             replaces the key/value store when present
  rules  [ {"method": "GET", "path": "/v1/kv/", "times": 2,
            "action": "close" | "respond" | "cut", "status": 403, "body": {...}} ]
         A request matching a rule (method when given, path prefix) with times left
         (-1: unlimited) is answered by it instead of the normal behaviour: "close"
         drops the connection without an answer, "respond" sends status and body,
         "cut" sends the normal answer's status line, headers and first half of its
         body, then drops the connection. A "respond" rule with "text" sends that
         text, repeated "repeat" times (default 1) and followed by "tail", as the
         body instead of "body".
Without a rule the server answers like Vault: health 200, logins issue tokens, the
key/value version 2 store checks the token (403 "permission denied"), answers 404
{"errors":[]} for a missing key and 400 with the check-and-set text on a conflict.
"""

import argparse
import datetime
import http.server
import json
import os
import secrets
import socket
import ssl
import subprocess
import sys
import threading
import urllib.parse

CAS_TEXT = "check-and-set parameter did not match the current version"


class State:
    def __init__(self, directory):
        self.dir = directory
        self.lock = threading.Lock()
        self.control_text = None
        self.users = {}
        self.roles = {}
        self.rules = []
        self.kv = {}  # path -> list of versions (value strings)
        self.tokens = set()
        self.connections = 0
        self.log = open(os.path.join(directory, "requests.jsonl"), "a", buffering=1)

    def refresh(self):
        """Takes over control.json when its content changed since the last look."""
        try:
            with open(os.path.join(self.dir, "control.json")) as f:
                text = f.read()
        except FileNotFoundError:
            text = ""
        if text == self.control_text:
            return
        self.control_text = text
        control = json.loads(text) if text.strip() else {}
        self.users = control.get("users", {})
        self.roles = control.get("roles", {})
        self.rules = [dict(rule) for rule in control.get("rules", [])]
        if "kv" in control:
            self.kv = {path: [value] for path, value in control["kv"].items()}

    def match_rule(self, method, path):
        for rule in self.rules:
            if rule.get("times", -1) == 0:
                continue
            if "method" in rule and rule["method"] != method:
                continue
            if not path.startswith(rule.get("path", "")):
                continue
            if rule.get("times", -1) > 0:
                rule["times"] -= 1
            return rule
        return None


class RecordingReader:
    """Forwards reads and keeps every line read with readline()."""

    def __init__(self, inner, lines):
        self.inner = inner
        self.lines = lines

    def readline(self, *args):
        line = self.inner.readline(*args)
        self.lines.append(line)
        return line

    def __getattr__(self, name):
        return getattr(self.inner, name)


def now_text():
    return datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%S.%fZ")


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    state = None  # set by main

    def setup(self):
        super().setup()
        with self.state.lock:
            self.state.connections += 1
            self.connection_number = self.state.connections
        # Keep the raw header lines: a test checks how they were written.
        self.raw_lines = []
        self.rfile = RecordingReader(self.rfile, self.raw_lines)

    def log_message(self, *args):
        pass

    def do_GET(self):
        self.serve("GET")

    def do_POST(self):
        self.serve("POST")

    def send_json(self, status, body):
        self.send_raw(status, json.dumps(body).encode())

    def send_raw(self, status, data):
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)

    def serve(self, method):
        length = int(self.headers.get("Content-Length", "0"))
        body = self.rfile.read(length).decode(errors="replace") if length else ""
        header_lines = [line.decode(errors="replace").rstrip("\r\n") for line in self.raw_lines[1:]]
        header_lines = [line for line in header_lines if line]
        del self.raw_lines[:]
        st = self.state
        with st.lock:
            st.refresh()
            st.log.write(json.dumps({"conn": self.connection_number, "method": method, "path": self.path,
                                     "headers": header_lines, "body": body}) + "\n")
            rule = st.match_rule(method, self.path)
            if rule is not None:
                if rule.get("action") == "close":
                    self.close_connection = True
                    self.connection.shutdown(socket.SHUT_RDWR)
                    return
                if rule.get("action") != "cut":
                    if "text" in rule:
                        text = rule["text"] * rule.get("repeat", 1) + rule.get("tail", "")
                        self.send_raw(rule.get("status", 200), text.encode())
                    else:
                        self.send_json(rule.get("status", 200), rule.get("body", {}))
                    return
            status, answer = self.vault(method, body)
            if rule is not None:
                data = json.dumps(answer).encode()
                self.send_response(status)
                self.send_header("Content-Type", "application/json")
                self.send_header("Content-Length", str(len(data)))
                self.end_headers()
                self.wfile.write(data[: len(data) // 2])
                self.wfile.flush()
                self.close_connection = True
                self.connection.shutdown(socket.SHUT_RDWR)
                return
        self.send_json(status, answer)

    def vault(self, method, body):
        st = self.state
        path = self.path
        try:
            request = json.loads(body) if body else {}
        except ValueError:
            return 400, {"errors": ["failed to parse JSON input"]}
        if path == "/v1/sys/health":
            return 200, {"initialized": True, "sealed": False, "standby": False}
        if method == "POST" and path.startswith("/v1/auth/userpass/login/"):
            user = urllib.parse.unquote(path[len("/v1/auth/userpass/login/"):])
            if user in st.users and st.users[user] == request.get("password"):
                return 200, self.issue_token()
            return 400, {"errors": ["invalid username or password"]}
        if method == "POST" and path == "/v1/auth/approle/login":
            role = request.get("role_id")
            if role in st.roles and st.roles[role] == request.get("secret_id"):
                return 200, self.issue_token()
            return 400, {"errors": ["invalid role or secret ID"]}
        if path.startswith("/v1/kv/data/"):
            token = self.headers.get("X-Vault-Token", "")
            if token not in st.tokens:
                return 403, {"errors": ["permission denied"]}
            key = urllib.parse.unquote(path[len("/v1/kv/data/"):])
            versions = st.kv.get(key, [])
            if method == "GET":
                if not versions:
                    return 404, {"errors": []}
                return 200, {"data": {"data": {"value": versions[-1]},
                                      "metadata": {"created_time": now_text(), "version": len(versions)}}}
            options = request.get("options", {})
            if "cas" in options and int(options["cas"]) != len(versions):
                return 400, {"errors": [CAS_TEXT]}
            data = request.get("data")
            if not isinstance(data, dict):
                return 400, {"errors": ["no data provided"]}
            st.kv.setdefault(key, []).append(data.get("value"))
            return 200, {"data": {"created_time": now_text(), "deletion_time": "", "destroyed": False,
                                  "version": len(st.kv[key])}}
        return 404, {"errors": []}

    def issue_token(self):
        token = "hvs." + secrets.token_urlsafe(18)
        self.state.tokens.add(token)
        return {"auth": {"client_token": token, "lease_duration": 2764800, "renewable": True}}


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def __init__(self, address, handler, context):
        self.context = context
        super().__init__(address, handler)

    def finish_request(self, request, client_address):
        # The TLS handshake runs in the connection's own thread, so a client that
        # never completes it cannot stall the others.
        # Headers and body leave in separate writes; without this the second one
        # waits for the client's delayed acknowledgement (about 40 ms).
        request.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        try:
            tls = self.context.wrap_socket(request, server_side=True)
        except (ssl.SSLError, OSError):
            return
        self.RequestHandlerClass(tls, client_address, self)


def make_certificate(directory):
    cert = os.path.join(directory, "cert.pem")
    key = os.path.join(directory, "key.pem")
    if not (os.path.exists(cert) and os.path.exists(key)):
        subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256",
                        "-nodes", "-days", "2", "-subj", "/CN=127.0.0.1",
                        "-addext", "subjectAltName=IP:127.0.0.1", "-keyout", key, "-out", cert],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return cert, key


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--dir", required=True, help="state directory")
    parser.add_argument("--port", type=int, default=0)
    args = parser.parse_args()
    cert, key = make_certificate(args.dir)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    Handler.state = State(args.dir)
    server = Server(("127.0.0.1", args.port), Handler, context)
    print("PORT %d" % server.server_address[1], flush=True)
    server.serve_forever()


if __name__ == "__main__":
    sys.exit(main())

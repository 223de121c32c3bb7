#!/usr/bin/env python3
"""Stand-in for Patroni's REST interface: answers GET /cluster with the status
and body stored in <dir>/answer ("<status>\n<body>"), appends each request path
to <dir>/requests, and writes the port it listens on to <dir>/port once ready."""
import http.server
import os
import sys

directory = sys.argv[1]


class Handler(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        with open(os.path.join(directory, "requests"), "a") as f:
            f.write(self.path + "\n")
        with open(os.path.join(directory, "answer")) as f:
            status, _, body = f.read().partition("\n")
        data = body.encode()
        self.send_response(int(status))
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)

    def log_message(self, *args):
        pass


server = http.server.HTTPServer(("127.0.0.1", 0), Handler)
tmp = os.path.join(directory, "port.tmp")
with open(tmp, "w") as f:
    f.write(str(server.server_address[1]))
os.rename(tmp, os.path.join(directory, "port"))
server.serve_forever()

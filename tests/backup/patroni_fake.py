#!/usr/bin/env python3
"""Stand-in for Patroni's REST interface: answers GET /cluster with the status
and body stored in <dir>/answer ("<status>\n<body>"; the status "cut" sends
200, the headers and half the body, then closes the connection; "hang" sends 200
and the headers, then nothing more), appends each request path
to <dir>/requests, and writes the port it listens on to <dir>/port once ready."""
import http.server
import os
import sys
import time

directory = sys.argv[1]


class Handler(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        with open(os.path.join(directory, "requests"), "a") as f:
            f.write(self.path + "\n")
        with open(os.path.join(directory, "answer")) as f:
            status, _, body = f.read().partition("\n")
        data = body.encode()
        cut = status == "cut"
        hang = status == "hang"
        self.send_response(200 if cut or hang else int(status))
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        if hang:
            self.wfile.flush()
            while True:
                time.sleep(3600)
        if cut:
            self.wfile.write(data[: len(data) // 2])
            self.wfile.flush()
            self.close_connection = True
            return
        self.wfile.write(data)

    def log_message(self, *args):
        pass


server = http.server.HTTPServer(("127.0.0.1", 0), Handler)
tmp = os.path.join(directory, "port.tmp")
with open(tmp, "w") as f:
    f.write(str(server.server_address[1]))
os.rename(tmp, os.path.join(directory, "port"))
server.serve_forever()

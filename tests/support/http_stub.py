"""A loopback HTTP server that answers every request with one fixed status, type and body."""

import socket
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer


class StubService:
    """A loopback HTTP server answering every request with one fixed (status, type, body)."""

    def __init__(self, status, body, content_type="application/json"):
        self.answer = (status, content_type, body.encode())
        self.requests = []  # (method, path, headers, body bytes)
        stub = self

        class Handler(BaseHTTPRequestHandler):
            def do_GET(self):
                length = int(self.headers.get("Content-Length") or 0)
                stub.requests.append(
                    (self.command, self.path, dict(self.headers), self.rfile.read(length))
                )
                status, kind, payload = stub.answer
                self.send_response(status)
                self.send_header("Content-Type", kind)
                self.send_header("Content-Length", str(len(payload)))
                self.end_headers()
                self.wfile.write(payload)

            do_POST = do_GET

            def log_message(self, *args):
                pass

        class Server(ThreadingHTTPServer):
            daemon_threads = True

            def server_bind(self):
                # The base class looks the host name up, which can stall without a resolver.
                socket.socket.bind(self.socket, self.server_address)
                self.server_address = self.socket.getsockname()

        self.server = Server(("127.0.0.1", 0), Handler)
        self.url = f"http://127.0.0.1:{self.server.server_address[1]}"
        self.thread = threading.Thread(
            target=self.server.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True
        )
        self.thread.start()

    def close(self):
        self.server.shutdown()
        self.server.server_close()

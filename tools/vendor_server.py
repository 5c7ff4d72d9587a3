#!/usr/bin/env python3
"""Local stand-in for the vendor's web server.

Serves product packages under /upload/pc/<name> and the agreement page, and takes the
installer's operation-log records (POST /v1/operationLog), appending each body as one line to a
file. For tests it can also misbehave, either on chosen paths or on every package request:

  /fault/<mode>/<path>   answers <path> in the given mode
  --mode-file FILE       the mode for /upload/pc/ requests is read from FILE at each request
                         (missing or empty file: normal)

Modes: normal, status-<code> (that status with an error page), redirect (302 to the plain
path), chunked (no Content-Length), stall (headers, then the first bytes, then nothing),
drop (headers announcing the whole size, half the body, then the connection is closed),
hangup (the connection is closed without an answer), slow-<KiB/s> (the body at that rate),
trickle (the body at 2 bytes a second), redirect-chain (after a short pause, a redirect to the
same path with a new query, for ever), redirect-chain-<ms> (the same after a pause of <ms>).

--tls-cert FILE --tls-key FILE serve HTTPS with that certificate (PEM) instead of HTTP;
--redirect-base URL makes the redirect mode send clients to URL followed by the path, for example
from an https:// server to a plain http:// one.

Signatures are files like any other: <name>.minisig beside <name> is served as
/upload/pc/<name>.minisig (tools/make_package.py --sign writes one).

--oplog-delay-ms N holds each operation-log record up to N ms (at random) before it is noted, so
records posted side by side arrive out of order.

--oplog-arrivals FILE notes each record's body once more, after the time its request line
arrived (the system's monotonic clock, seconds): the benchmark's clock for the finished page, which
sends its record at once, while the record's body may follow a moment later.

Only the Python standard library is used.
"""

import argparse
import json
import os
import random
import ssl
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

AGREEMENT_PAGE = b"""<!DOCTYPE html>
<html><head><meta charset="utf-8"><title>User Agreement</title></head>
<body><h1>User Agreement</h1><p>Local vendor server: sample agreement page.</p></body></html>
"""

STALL_SECONDS = 600
CHUNK = 256 * 1024


class VendorServer(ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, address, root, oplog, requests_log, mode_file, oplog_delay_ms=0,
                 tls=None, redirect_base="", arrivals=""):
        super().__init__(address, VendorHandler)
        self.arrivals = arrivals
        self.tls = tls
        self.redirect_base = redirect_base
        self.oplog_delay_ms = oplog_delay_ms
        self.root = os.path.abspath(root)
        self.oplog = oplog
        self.requests_log = requests_log
        self.mode_file = mode_file
        self.lock = threading.Lock()

    def package_mode(self):
        if not self.mode_file:
            return "normal"
        try:
            with open(self.mode_file, encoding="utf-8") as f:
                return f.read().strip() or "normal"
        except OSError:
            return "normal"

    def finish_request(self, request, client_address):
        # The TLS handshake runs in the connection's own thread: a client that stalls it holds
        # up no one else.
        if self.tls:
            request = self.tls.wrap_socket(request, server_side=True)
        super().finish_request(request, client_address)

    def handle_error(self, request, client_address):
        # A client that hangs up mid-answer (a stopped or failed download), or that refuses the
        # certificate, is no server fault.
        if isinstance(sys.exc_info()[1], (BrokenPipeError, ConnectionResetError, ssl.SSLError)):
            return
        super().handle_error(request, client_address)

    def append(self, path, line):
        if not path:
            return
        with self.lock, open(path, "ab") as f:
            f.write(line + b"\n")
            f.flush()


class VendorHandler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "KovraVendor/1.0"

    def log_message(self, fmt, *args):  # keep test output quiet
        if os.environ.get("VENDOR_SERVER_VERBOSE"):
            sys.stderr.write("vendor: " + (fmt % args) + "\n")

    def parse_request(self):
        # The request line has just arrived.
        self.arrived = time.monotonic()
        return super().parse_request()

    def record_request(self, body=b""):
        entry = {
            "method": self.command,
            "path": self.path,
            "contentType": self.headers.get("Content-Type", ""),
            "length": len(body),
        }
        self.server.append(self.server.requests_log, json.dumps(entry).encode())

    # --- answers -----------------------------------------------------------------------

    def send_bytes(self, status, body, content_type="text/html; charset=utf-8"):
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def send_error_page(self, status):
        body = ("<html><body><h1>%d</h1><p>error page of the local vendor server</p>"
                "</body></html>\n" % status).encode()
        self.send_bytes(status, body)

    def serve_file(self, path, mode):
        pause = 0.5
        if mode.startswith("redirect-chain-"):
            mode, pause = "redirect-chain", int(mode[len("redirect-chain-"):]) / 1000.0
        if mode == "hangup":
            self.close_connection = True
            return
        if mode.startswith("status-"):
            self.send_error_page(int(mode[len("status-"):]))
            return
        if mode in ("redirect", "redirect-chain"):
            location = self.server.redirect_base + path
            if mode == "redirect-chain":
                time.sleep(pause)
                hop = int(self.path.rpartition("hop=")[2] or 0) if "hop=" in self.path else 0
                location = "%s?hop=%d" % (path, hop + 1)
            self.send_response(302)
            self.send_header("Location", location)
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        local = self.local_path(path)
        if local is None or not os.path.isfile(local):
            self.send_error_page(404)
            return
        size = os.path.getsize(local)
        with open(local, "rb") as f:
            self.send_response(200)
            self.send_header("Content-Type", "application/octet-stream")
            if mode == "chunked":
                self.send_header("Transfer-Encoding", "chunked")
            else:
                self.send_header("Content-Length", str(size))
            if mode == "drop":
                self.send_header("Connection", "close")
            self.end_headers()
            if self.command == "HEAD":
                return
            if mode == "chunked":
                self.send_chunked(f)
            elif mode == "stall":
                self.wfile.write(f.read(min(size // 4, CHUNK)))
                self.wfile.flush()
                self.stall()
            elif mode == "drop":
                self.wfile.write(f.read(size // 2))
                self.wfile.flush()
                self.close_connection = True
            elif mode == "trickle":
                self.send_slowly(f, 2, 2)
            elif mode.startswith("slow-"):
                self.send_slowly(f, int(mode[len("slow-"):]) * 1024)
            else:
                self.wfile.flush()
                self.connection.sendfile(f)

    def send_chunked(self, f):
        while True:
            block = f.read(64 * 1024)
            if not block:
                break
            self.wfile.write(b"%x\r\n" % len(block) + block + b"\r\n")
        self.wfile.write(b"0\r\n\r\n")
        self.wfile.flush()

    def send_slowly(self, f, rate, per_second=10):
        step = max(rate // per_second, 1)
        while True:
            block = f.read(step)
            if not block:
                break
            self.wfile.write(block)
            self.wfile.flush()
            time.sleep(1.0 / per_second)

    def stall(self):
        # Keep the connection open and silent until the client gives up or the server ends.
        deadline = time.monotonic() + STALL_SECONDS
        while time.monotonic() < deadline:
            time.sleep(0.2)
        self.close_connection = True

    def local_path(self, path):
        prefix = "/upload/pc/"
        if not path.startswith(prefix):
            return None
        name = path[len(prefix):]
        if not name or "/" in name or name.startswith("."):
            return None
        return os.path.join(self.server.root, name)

    # --- dispatch ----------------------------------------------------------------------

    def split_fault(self):
        path = self.path.split("?", 1)[0]
        if path.startswith("/fault/"):
            rest = path[len("/fault/"):]
            mode, _, plain = rest.partition("/")
            return mode, "/" + plain
        if path.startswith("/upload/pc/"):
            return self.server.package_mode(), path
        return "normal", path

    def do_GET(self):
        self.record_request()
        mode, path = self.split_fault()
        if path == "/agreement.html":
            self.send_bytes(200, AGREEMENT_PAGE)
        elif path.startswith("/upload/pc/"):
            self.serve_file(path, mode)
        else:
            self.send_error_page(404)

    do_HEAD = do_GET

    def do_POST(self):
        length = int(self.headers.get("Content-Length", "0") or 0)
        body = self.rfile.read(length) if length > 0 else b""
        self.record_request(body)
        if self.path.split("?", 1)[0] != "/v1/operationLog":
            self.send_error_page(404)
            return
        if self.server.oplog_delay_ms:
            time.sleep(random.uniform(0, self.server.oplog_delay_ms) / 1000.0)
        # One record a line: the installer's compact JSON holds no line break.
        self.server.append(self.server.oplog, body.replace(b"\n", b" "))
        self.server.append(self.server.arrivals,
                           b"%.6f " % self.arrived + body.replace(b"\n", b" "))
        self.send_bytes(200, b'{"code":0}', "application/json;charset=utf-8")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--bind", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=18080, help="0 picks a free port")
    parser.add_argument("--root", default=".", help="folder with the package files")
    parser.add_argument("--oplog", default="", help="file the operation-log bodies go to")
    parser.add_argument("--requests", default="", help="file every request is noted in")
    parser.add_argument("--mode-file", default="", help="file naming the package mode")
    parser.add_argument("--oplog-delay-ms", type=int, default=0,
                        help="hold each record up to this long before noting it")
    parser.add_argument("--oplog-arrivals", default="",
                        help="file each record goes to after the time its request arrived")
    parser.add_argument("--tls-cert", default="", help="serve HTTPS with this certificate (PEM)")
    parser.add_argument("--tls-key", default="", help="the certificate's private key (PEM)")
    parser.add_argument("--redirect-base", default="",
                        help="scheme and host the redirect mode sends clients to")
    parser.add_argument("--exit-with-stdin", action="store_true",
                        help="stop when standard input closes (the starting process has ended)")
    args = parser.parse_args()

    tls = None
    if args.tls_cert:
        tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        tls.load_cert_chain(args.tls_cert, args.tls_key or None)
    server = VendorServer((args.bind, args.port), args.root, args.oplog, args.requests,
                          args.mode_file, args.oplog_delay_ms, tls, args.redirect_base,
                          args.oplog_arrivals)
    host, port = server.server_address[:2]
    print("vendor server listening on %s://%s:%d" % ("https" if tls else "http", host, port),
          flush=True)
    if args.exit_with_stdin:
        # A test that crashed must not leave its server behind, holding ctest's output pipe.
        def watch_stdin():
            while sys.stdin.buffer.read(4096):
                pass
            server.shutdown()
        threading.Thread(target=watch_stdin, daemon=True).start()
    try:
        server.serve_forever(poll_interval=0.1)
    except KeyboardInterrupt:
        pass
    finally:
        server.server_close()


if __name__ == "__main__":
    main()

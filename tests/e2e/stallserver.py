#!/usr/bin/env python3
"""A static mirror that can hang: serves a folder over HTTP on 127.0.0.1,
logs every request line to a file, and answers the first request for a
chosen path with half of the body and then nothing, the way a mirror that
stalls mid-transfer looks to the updater. Later requests for that path are
served in full, so the same mirror lets a broken run be resumed."""

import argparse
import functools
import http.server
import os
import sys
import threading
import time

# Long enough that the run under test is broken off from outside, short
# enough that a forgotten server thread lets go by itself.
STALL_SECONDS = 120


def make_handler(root, log_path, stall_path):
    lock = threading.Lock()
    stalled = set()

    class Handler(http.server.SimpleHTTPRequestHandler):
        def log_request(self, code="-", size="-"):
            with lock, open(log_path, "a", encoding="utf-8") as log:
                log.write(f'"{self.requestline}" {code}\n')

        def log_message(self, format, *args):
            pass

        def do_GET(self):
            path = self.path.split("?", 1)[0]
            with lock:
                stall = path == stall_path and path not in stalled
                if stall:
                    stalled.add(path)
            if not stall:
                return super().do_GET()
            with open(os.path.join(root, path.lstrip("/")), "rb") as f:
                body = f.read()
            self.log_request(200)
            self.send_response_only(200)
            self.send_header("Content-Type", "application/octet-stream")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body[: len(body) // 2])
            self.wfile.flush()
            time.sleep(STALL_SECONDS)

    return functools.partial(Handler, directory=root)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--directory", required=True)
    parser.add_argument("--port-file", required=True, help="written with the bound port once listening")
    parser.add_argument("--log", required=True)
    parser.add_argument("--stall", default="", help="URL path whose first request stalls")
    args = parser.parse_args()

    handler = make_handler(os.path.abspath(args.directory), args.log, args.stall)
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
    server.daemon_threads = True
    tmp = args.port_file + ".tmp"
    with open(tmp, "w") as f:
        f.write(str(server.server_address[1]))
    os.replace(tmp, args.port_file)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())

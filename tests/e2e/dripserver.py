#!/usr/bin/env python3
"""A static mirror that is slow on purpose: serves a folder over HTTP on
127.0.0.1 and logs every request line to a file. The first request for a
path given with --drip gets its body in small pieces with a pause after
each; the first request for a path given with --hold waits before it is
answered at all; the first request for a path given with --stall gets half
of its body and then nothing, the way a mirror that stalls mid-transfer
looks to the updater. Later requests are served at once, so a run broken
off while it waited can be finished against the same mirror."""

import argparse
import functools
import http.server
import os
import sys
import threading
import time

# A forgotten server thread lets go by itself after this long.
MAX_HOLD_SECONDS = 60
# Long enough that the run under test is broken off from outside, short
# enough that a forgotten server thread lets go by itself.
STALL_SECONDS = 120


def parse_rules(items, convert):
    rules = {}
    for item in items:
        path, _, value = item.rpartition("=")
        rules[path] = convert(value)
    return rules


def make_handler(root, log_path, drips, holds, stalls):
    lock = threading.Lock()
    served = set()

    class Handler(http.server.SimpleHTTPRequestHandler):
        def log_request(self, code="-", size="-"):
            with lock, open(log_path, "a", encoding="utf-8") as log:
                log.write(f'"{self.requestline}" {code}\n')

        def log_message(self, format, *args):
            pass

        def do_GET(self):
            path = self.path.split("?", 1)[0]
            with lock:
                first = path not in served
                served.add(path)
            drip = drips.get(path) if first else None
            hold = holds.get(path) if first else None
            if first and path in stalls:
                return self.stall(path)
            if hold is None and drip is None:
                return super().do_GET()
            if hold is not None:
                # Logged before the wait: the request has arrived.
                self.log_request(200)
                time.sleep(min(hold, MAX_HOLD_SECONDS))
                if drip is None:
                    self.log_request = lambda *a: None
                    return super().do_GET()
            with open(os.path.join(root, path.lstrip("/")), "rb") as f:
                body = f.read()
            if hold is None:
                self.log_request(200)
            self.send_response_only(200)
            self.send_header("Content-Type", "application/octet-stream")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            chunk, pause = drip
            try:
                for i in range(0, len(body), chunk):
                    self.wfile.write(body[i:i + chunk])
                    self.wfile.flush()
                    time.sleep(pause)
            except OSError:
                pass

        def stall(self, path):
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
    parser.add_argument("--drip", action="append", default=[], metavar="PATH=BYTES:MS",
                        help="send the first answer for PATH in BYTES-sized pieces, MS apart")
    parser.add_argument("--hold", action="append", default=[], metavar="PATH=SECONDS",
                        help="answer the first request for PATH only after SECONDS")
    parser.add_argument("--stall", action="append", default=[], metavar="PATH",
                        help="answer the first request for PATH with half its body, then stall")
    args = parser.parse_args()

    drips = parse_rules(args.drip, lambda v: (int(v.split(":")[0]), int(v.split(":")[1]) / 1000.0))
    holds = parse_rules(args.hold, float)
    handler = make_handler(os.path.abspath(args.directory), args.log, drips, holds, set(args.stall))
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

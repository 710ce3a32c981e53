"""A mirror that has moved: answers every GET with 302 to the same path
below --to, and logs the request like http.server does.

  redirectserver.py --bind ADDRESS --port N --to BASE_URL
"""

import argparse
import http.server


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--bind", required=True)
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--to", required=True, help="base URL ending in /")
    args = parser.parse_args()

    class Moved(http.server.BaseHTTPRequestHandler):
        def do_GET(self):
            self.send_response(302)
            self.send_header("Location", args.to + self.path.lstrip("/"))
            self.send_header("Content-Length", "0")
            self.end_headers()

    http.server.ThreadingHTTPServer((args.bind, args.port), Moved).serve_forever()


if __name__ == "__main__":
    main()

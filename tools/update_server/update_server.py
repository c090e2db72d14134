#!/usr/bin/env python3
"""Local update server for KarvenZop: answers the version queries and
serves the downloads from a folder, on 127.0.0.1 only."""

import argparse
import http.server
import os
import sys
import urllib.parse

VERSION_FILES = {
    "karvenzop": "karvenzop.txt",
    "karvenfir": "karvenfir.txt",
}
DOWNLOADS = {
    "/ZOP-Update.exe": "ZOP-Update.exe",
    "/karvenc469.acy": "karvenc469.acy",
}
# Each download's detached signature beside it, when the folder has one.
DOWNLOADS.update({path + ".minisig": name + ".minisig" for path, name in list(DOWNLOADS.items())})


class UpdateHandler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    root = "."

    def do_GET(self):
        file_name = self.resolve(self.path)
        body = None
        if file_name is not None:
            try:
                with open(os.path.join(self.root, file_name), "rb") as f:
                    body = f.read()
            except OSError:
                body = None
        if body is None:
            self.reply(404, "Not Found", b"Not Found\n")
        else:
            content_type = "text/plain" if file_name.endswith(".txt") else "application/octet-stream"
            self.reply(200, "OK", body, content_type)

    @staticmethod
    def resolve(target):
        path, _, query = target.partition("?")
        if path == "/firmware.php":
            ids = urllib.parse.parse_qs(query).get("id", [])
            return VERSION_FILES.get(ids[0]) if len(ids) == 1 else None
        if not query:
            return DOWNLOADS.get(path)
        return None

    def reply(self, code, text, body, content_type="text/plain"):
        self.send_response(code, text)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, fmt, *args):
        sys.stdout.write("%s %s\n" % (self.log_date_time_string(), fmt % args))
        sys.stdout.flush()


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--port", type=int, default=8469,
                        help="TCP port on 127.0.0.1 (0 picks a free one; default 8469)")
    parser.add_argument("--root", default=os.path.join(os.path.dirname(os.path.abspath(__file__)), "content"),
                        help="folder with karvenzop.txt, karvenfir.txt, ZOP-Update.exe, karvenc469.acy "
                             "and their .minisig signatures")
    args = parser.parse_args()

    UpdateHandler.root = os.path.abspath(args.root)
    server = http.server.ThreadingHTTPServer(("127.0.0.1", args.port), UpdateHandler)
    server.daemon_threads = True
    print("Serving %s on 127.0.0.1 port %d" % (UpdateHandler.root, server.server_address[1]), flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    finally:
        server.server_close()


if __name__ == "__main__":
    main()

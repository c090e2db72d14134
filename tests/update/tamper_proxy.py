#!/usr/bin/env python3
"""Someone on the path to the update server, for tests: a proxy on
127.0.0.1 that passes requests to the server and rewrites the replies.

  --replace DIR   a file in DIR named like the requested resource is sent
                  instead of the server's reply (an image, a signature)
  --strip         requests for *.minisig are answered 404
  --truncate      *.minisig replies are cut to their first 60 bytes
  --huge          *.minisig replies are 100 MB of text, without a length
"""

import argparse
import http.server
import os
import sys
import urllib.error
import urllib.request


class Proxy(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    options = None

    def do_GET(self):
        name = os.path.basename(self.path.partition("?")[0])
        signature = name.endswith(".minisig")
        if signature and self.options.strip:
            return self.reply(404, b"Not Found\n")
        if signature and self.options.huge:
            self.send_response(200)
            self.send_header("Connection", "close")
            self.end_headers()
            block = b"A" * 65536
            try:
                for _ in range(100 * 16):
                    self.wfile.write(block)
            except OSError:
                pass
            self.close_connection = True
            return
        if self.options.replace and name and os.path.isfile(os.path.join(self.options.replace, name)):
            with open(os.path.join(self.options.replace, name), "rb") as f:
                return self.reply(200, f.read())
        try:
            with urllib.request.urlopen("http://127.0.0.1:%d%s" % (self.options.upstream, self.path)) as r:
                code, body = r.status, r.read()
        except urllib.error.HTTPError as e:
            code, body = e.code, e.read()
        if signature and self.options.truncate:
            body = body[:60]
        self.reply(code, body)

    def reply(self, code, body):
        self.send_response(code)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, fmt, *args):
        pass


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--upstream", type=int, required=True)
    parser.add_argument("--replace")
    parser.add_argument("--strip", action="store_true")
    parser.add_argument("--truncate", action="store_true")
    parser.add_argument("--huge", action="store_true")
    Proxy.options = parser.parse_args()
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Proxy)
    server.daemon_threads = True
    print("Proxy on 127.0.0.1 port %d" % server.server_address[1], flush=True)
    server.serve_forever()


if __name__ == "__main__":
    main()

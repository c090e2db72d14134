#!/usr/bin/env python3
"""A TLS server on 127.0.0.1 for tests of how a reply read until the end of
the connection ends. Every request gets "HTTP/1.1 200 OK" without a length
and the body "10.2.3", then:

  --cut    only the body's first byte, then a TCP close without close_notify
           (what anyone on the path can do)
  --hold   the whole body and close_notify, with the TCP connection kept
           open until the test ends
"""

import argparse
import socket
import ssl
import sys
import threading
import time


def serve(conn, cut):
    try:
        request = b""
        while b"\r\n\r\n" not in request:
            piece = conn.recv(4096)
            if not piece:
                return
            request += piece
        head = b"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\n"
        if cut:
            conn.sendall(head + b"1")
            # Drops the TLS layer without its close_notify.
            conn.shutdown(socket.SHUT_RDWR)
            conn.close()
            return
        conn.sendall(head + b"10.2.3")
        try:
            conn.unwrap()   # sends close_notify; then waits for the client's
        except (OSError, ssl.SSLError):
            pass
        time.sleep(3600)
    except (OSError, ssl.SSLError):
        pass


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--cert", required=True)
    parser.add_argument("--key", required=True)
    mode = parser.add_mutually_exclusive_group(required=True)
    mode.add_argument("--cut", action="store_true")
    mode.add_argument("--hold", action="store_true")
    options = parser.parse_args()
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(options.cert, options.key)
    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 0))
    listener.listen(8)
    print("listening on 127.0.0.1 port %d" % listener.getsockname()[1], flush=True)
    while True:
        raw, _ = listener.accept()
        try:
            conn = context.wrap_socket(raw, server_side=True)
        except (OSError, ssl.SSLError):
            raw.close()
            continue
        threading.Thread(target=serve, args=(conn, options.cut), daemon=True).start()


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""Serves one file over HTTP on 127.0.0.1 only, slowly enough that a person can watch it arrive.

The file is sent under its own name ("/<file name>"); every other path gets 404. The port is chosen by
the system and written to --port-file once the server listens.
"""
import argparse
import http.server
import os
import time

STEPS = 50


def make_handler(path, body, seconds):
    class Handler(http.server.BaseHTTPRequestHandler):
        def do_GET(self):
            if self.path != path:
                self.send_error(404)
                return
            self.send_response(200)
            self.send_header("Content-Type", "application/zip")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            chunk = max(1, -(-len(body) // STEPS))
            for start in range(0, len(body), chunk):
                self.wfile.write(body[start:start + chunk])
                self.wfile.flush()
                time.sleep(seconds / STEPS)
            print("demo server: sent %d bytes of %s" % (len(body), path), flush=True)

        def log_message(self, fmt, *args):
            print("demo server: " + fmt % args, flush=True)

    return Handler


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("file")
    parser.add_argument("--port-file", required=True)
    parser.add_argument("--seconds", type=float, default=8.0, help="how long one transfer takes")
    args = parser.parse_args()
    with open(args.file, "rb") as f:
        body = f.read()
    handler = make_handler("/" + os.path.basename(args.file), body, args.seconds)
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
    with open(args.port_file + ".part", "w") as f:
        f.write(str(server.server_address[1]))
    os.replace(args.port_file + ".part", args.port_file)
    server.serve_forever()


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""Serves a folder on loopback, the way a release host would, for the update tests.

    serve-folder.py FOLDER PORT

A request for PATH answers with the file FOLDER/PATH; when FOLDER/PATH.redirect exists instead,
it answers "302 Found" to the address that file holds, as release hosts send their downloads to
another server.
"""
import functools
import http.server
import os
import sys


class Handler(http.server.SimpleHTTPRequestHandler):
    def do_GET(self):
        local = self.translate_path(self.path)
        redirect = local + ".redirect"
        if not os.path.exists(local) and os.path.isfile(redirect):
            with open(redirect, encoding="utf-8") as f:
                location = f.read().strip()
            self.send_response(302)
            self.send_header("Location", location)
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        super().do_GET()

    def log_message(self, format, *args):
        sys.stderr.write("%s\n" % (format % args))


def main():
    folder, port = sys.argv[1], int(sys.argv[2])
    handler = functools.partial(Handler, directory=folder)
    server = http.server.ThreadingHTTPServer(("127.0.0.1", port), handler)
    server.serve_forever()


if __name__ == "__main__":
    main()

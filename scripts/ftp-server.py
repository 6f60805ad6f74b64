#!/usr/bin/env python3
"""A read-only FTP server on loopback for the tests, the benchmarks and the demo.

Admits "anonymous" and "ftp" with any password, the way the workstations log in.
Prints "PORT <number>" on its first line once it listens, then serves until killed.
"""
import argparse
import os
import sys

try:
    from pyftpdlib.authorizers import DummyAuthorizer
    from pyftpdlib.handlers import FTPHandler
    from pyftpdlib.servers import FTPServer
except ImportError:
    # Debian's python3-pyftpdlib lives in the system interpreter; another python3 may be
    # first on PATH.
    if os.path.realpath(sys.executable) != os.path.realpath("/usr/bin/python3") and \
            os.path.exists("/usr/bin/python3"):
        os.execv("/usr/bin/python3", ["/usr/bin/python3"] + sys.argv)
    raise

import logging

ANONYMOUS_USERS = ("anonymous", "ftp")


class AnonymousAuthorizer(DummyAuthorizer):
    """Any password is good for the anonymous names."""

    def validate_authentication(self, username, password, handler):
        if username in ANONYMOUS_USERS:
            return
        super().validate_authentication(username, password, handler)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--root", required=True, help="folder served read-only")
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=0, help="0: a free port")
    parser.add_argument("--verbose", action="store_true", help="log every command")
    args = parser.parse_args()

    logging.basicConfig(level=logging.INFO if args.verbose else logging.WARNING,
                        stream=sys.stderr)
    authorizer = AnonymousAuthorizer()
    for name in ANONYMOUS_USERS:
        authorizer.add_user(name, "", os.path.abspath(args.root), perm="elr")

    handler = FTPHandler
    handler.authorizer = authorizer
    handler.banner = "Quorvane test FTP server ready."
    server = FTPServer((args.host, args.port), handler)
    print("PORT %d" % server.address[1], flush=True)
    server.serve_forever()


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""A stand-in for the database server on the network path, as an attacker runs one.

It answers a client's TLS request with "no" (or, given --cert and --key, with a TLS session
under a certificate of its own), asks for the password in clear and prints every password it
receives as "PASSWORD <text>". Prints "PORT <n>" once it listens on 127.0.0.1.

    pg-standin.py [--cert FILE --key FILE]
"""
import argparse
import socket
import ssl
import struct
import sys

SSL_REQUEST = 80877103
GSSENC_REQUEST = 80877104


def read_exact(conn, size):
    data = b""
    while len(data) < size:
        chunk = conn.recv(size - len(data))
        if not chunk:
            raise EOFError
        data += chunk
    return data


def read_startup(conn):
    length, code = struct.unpack("!ii", read_exact(conn, 8))
    read_exact(conn, length - 8)
    return code


def serve(conn, context):
    code = read_startup(conn)
    while code in (SSL_REQUEST, GSSENC_REQUEST):
        if code == SSL_REQUEST and context:
            conn.sendall(b"S")
            conn = context.wrap_socket(conn, server_side=True)
        else:
            conn.sendall(b"N")
        code = read_startup(conn)
    # AuthenticationCleartextPassword, then the client's PasswordMessage.
    conn.sendall(b"R" + struct.pack("!ii", 8, 3))
    kind, length = struct.unpack("!ci", read_exact(conn, 5))
    body = read_exact(conn, length - 4)
    if kind == b"p":
        print("PASSWORD " + body.rstrip(b"\0").decode("utf-8", "replace"), flush=True)
    message = b"SFATAL\0C28P01\0Mstand-in got the password\0\0"
    conn.sendall(b"E" + struct.pack("!i", len(message) + 4) + message)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--cert")
    parser.add_argument("--key")
    args = parser.parse_args()
    context = None
    if args.cert:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(args.cert, args.key)
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(8)
    print("PORT %d" % listener.getsockname()[1], flush=True)
    while True:
        conn, _ = listener.accept()
        try:
            serve(conn, context)
        except (EOFError, OSError, ssl.SSLError):
            pass
        finally:
            conn.close()


if __name__ == "__main__":
    sys.exit(main())

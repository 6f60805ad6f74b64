#!/usr/bin/env python3
# A database server's stand-in on the network path: answers the TLS request with "no" (--tls
# CERT KEY: with TLS under that certificate), asks for the password in clear and prints it as
# "PASSWORD <text>". Prints "PORT <n>" once it listens on 127.0.0.1.
import socket
import ssl
import struct
import sys


def read(conn, size):
    data = b""
    while len(data) < size:
        chunk = conn.recv(size - len(data))
        if not chunk:
            raise EOFError
        data += chunk
    return data


def serve(conn, context):
    while True:
        length, code = struct.unpack("!ii", read(conn, 8))
        read(conn, length - 8)
        if code == 80877103 and context:  # SSLRequest
            conn.sendall(b"S")
            conn = context.wrap_socket(conn, server_side=True)
        elif code in (80877103, 80877104):  # SSLRequest, GSSENCRequest
            conn.sendall(b"N")
        else:
            break
    conn.sendall(b"R" + struct.pack("!ii", 8, 3))  # AuthenticationCleartextPassword
    (length,) = struct.unpack("!xi", read(conn, 5))  # PasswordMessage
    password = read(conn, length - 4).rstrip(b"\0")
    print("PASSWORD " + password.decode(errors="replace"), flush=True)
    error = b"SFATAL\0C28P01\0Mstand-in got the password\0\0"
    conn.sendall(b"E" + struct.pack("!i", len(error) + 4) + error)


context = None
if sys.argv[1:2] == ["--tls"]:
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(sys.argv[2], sys.argv[3])
listener = socket.create_server(("127.0.0.1", 0))
print("PORT %d" % listener.getsockname()[1], flush=True)
while True:
    conn, _ = listener.accept()
    try:
        serve(conn, context)
    except (EOFError, OSError):
        pass
    conn.close()

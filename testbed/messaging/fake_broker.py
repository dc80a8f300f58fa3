#!/usr/bin/env python3
"""A minimal MQTT 3.1.1 broker that accepts every login and refuses every subscription (SUBACK 0x80).

Usage: fake_broker.py PORTFILE  -- binds a free loopback port, writes it to PORTFILE, serves until killed."""
import os, socket, sys, threading

def read_exact(s, n):
    b = b""
    while len(b) < n:
        c = s.recv(n - len(b))
        if not c:
            raise EOFError
        b += c
    return b

def read_packet(s):
    head = read_exact(s, 1)[0]
    mult, length = 1, 0
    while True:
        d = read_exact(s, 1)[0]
        length += (d & 127) * mult
        mult *= 128
        if not d & 128:
            break
    return head >> 4, read_exact(s, length)

def serve(s):
    try:
        while True:
            kind, body = read_packet(s)
            if kind == 1:      # CONNECT -> CONNACK accepted
                s.sendall(bytes([0x20, 2, 0, 0]))
            elif kind == 8:    # SUBSCRIBE -> SUBACK failure for each filter
                s.sendall(bytes([0x90, 3]) + body[:2] + b"\x80")
            elif kind == 12:   # PINGREQ
                s.sendall(bytes([0xD0, 0]))
            elif kind == 14:   # DISCONNECT
                break
    except (EOFError, OSError):
        pass
    s.close()

srv = socket.socket()
srv.bind(("127.0.0.1", 0))
srv.listen(8)
with open(sys.argv[1] + ".tmp", "w") as f:
    f.write(str(srv.getsockname()[1]))
os.rename(sys.argv[1] + ".tmp", sys.argv[1])
while True:
    c, _ = srv.accept()
    threading.Thread(target=serve, args=(c,), daemon=True).start()

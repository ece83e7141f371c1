#!/usr/bin/env python3
"""Attacks kel36-host's web view on 127.0.0.1:PORT until killed, with every
abuse its bounds are for, all at once (or those named after the port): endless header lines, clients that
trickle a header line every half second, more connections than it takes,
many overlapping Ranges, pipelined requests that are never read, and plain
requests as fast as they are answered. Used by bench/web_attack.sh."""

import socket
import sys
import threading
import time

PORT = int(sys.argv[1])
HOST = "Host: 127.0.0.1\r\n"


def connect():
    s = socket.create_connection(("127.0.0.1", PORT), timeout=5)
    return s


def forever(attack):
    def run():
        while True:
            try:
                attack()
            except OSError:
                time.sleep(0.01)
    threading.Thread(target=run, daemon=True).start()


def endless_headers():
    s = connect()
    s.sendall(("GET / HTTP/1.1\r\n" + HOST).encode())
    line = ("X-Padding: " + "p" * 1000 + "\r\n").encode()
    while True:
        s.sendall(line)


def trickle():
    s = connect()
    s.sendall(("GET /metrics HTTP/1.1\r\n" + HOST).encode())
    while True:
        time.sleep(0.5)
        s.sendall(b"X-Slow: y\r\n")


def flood_connections():
    held = [connect() for _ in range(100)]
    time.sleep(1)
    for s in held:
        s.close()


def ranges():
    s = connect()
    s.sendall(("GET /dashboard.js HTTP/1.1\r\n" + HOST + "Range: bytes=0-" + ",0-" * 1500 +
               "\r\nConnection: close\r\n\r\n").encode())
    while s.recv(65536):
        pass
    s.close()


def unread_pipeline():
    s = connect()
    burst = ("GET /dashboard.js HTTP/1.1\r\n" + HOST + "\r\n").encode() * 100
    while True:
        s.sendall(burst)


def hammer():
    s = connect()
    s.sendall(("GET /metrics HTTP/1.1\r\n" + HOST + "Connection: close\r\n\r\n").encode())
    while s.recv(65536):
        pass
    s.close()


ATTACKS = ((endless_headers, 8), (trickle, 16), (flood_connections, 2), (ranges, 2),
           (unread_pipeline, 4), (hammer, 2))
chosen = sys.argv[2:]  # names of the attacks to run; all of them by default
for attack, copies in ATTACKS:
    if not chosen or attack.__name__ in chosen:
        for _ in range(copies):
            forever(attack)
while True:
    time.sleep(60)

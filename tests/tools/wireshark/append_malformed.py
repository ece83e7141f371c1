#!/usr/bin/env python3
"""Appends to a kel36 capture (pcapng written in this machine's byte order,
interface 0) the packets a reader must survive: an unknown format version, a
packet shorter than the header, an unknown kind, a record cut short, a reply
whose data digits are no hex, a reply with no bytes.

  append_malformed.py CAPTURE
"""
import struct, sys, time


def packet(data):
    us = time.time_ns() // 1000
    pad = (4 - len(data) % 4) % 4
    body = struct.pack("=IIIII", 0, us >> 32, us & 0xFFFFFFFF, len(data), len(data)) + data + b"\0" * pad
    return struct.pack("=II", 6, 12 + len(body)) + body + struct.pack("=I", 12 + len(body))


def header(kind, register, version=1):
    return struct.pack(">BBBBQHBB", version, kind, 0, 65, time.monotonic_ns(), register, 0, 0)


with open(sys.argv[1], "ab") as out:
    out.write(packet(header(2, 0, version=2) + b"DE9E"))
    out.write(packet(b"\x01\x02\x00"))
    out.write(packet(header(99, 65535) + b"xyz"))
    out.write(packet(header(17, 65535) + struct.pack(">I", 9) + b"\0" * 10))
    out.write(packet(header(1, 12) + b"|DF5692"))
    out.write(packet(header(2, 12) + b"zz92"))
    out.write(packet(header(2, 12)))

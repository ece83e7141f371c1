#!/usr/bin/env python3
"""Polls a simulated controller on a pseudo-terminal as the driver would (one
round: registers 0, 2..50, 52..64) and writes what the line carried as a
kel36 capture (docs/capture.md): one packet per write and per read, round
start, stall and record markers, then a few malformed packets that a reader
must survive. The record is built from the replies by docs/record.md.

  poll_to_capture.py PTY OUT.pcapng ROUNDS
"""
import os, select, struct, sys, termios, time, tty

MASK = 0x9E
POLLED = [0] + list(range(2, 51)) + list(range(52, 65))
NONE = 65535


def option(code, value):
    pad = (4 - len(value) % 4) % 4
    return struct.pack("<HH", code, len(value)) + value + b"\0" * pad


def block(kind, body):
    length = 12 + len(body)
    return struct.pack("<II", kind, length) + body + struct.pack("<I", length)


class Capture:
    def __init__(self, path, port):
        self.out = open(path, "wb")
        opts = option(4, b"poll_to_capture.py") + option(0, b"")
        self.out.write(block(0x0A0D0D0A, struct.pack("<IHHq", 0x1A2B3C4D, 1, 0, -1) + opts))
        opts = (option(2, port.encode()) + option(3, b"19200 baud 8N1, polled by poll_to_capture.py")
                + option(9, b"\x06") + option(1, b"device 0 kel36 address 65 data-id 1") + option(0, b""))
        self.out.write(block(1, struct.pack("<HHI", 147, 0, 0) + opts))

    def packet(self, kind, register, payload, device=0, address=65, reason=0, version=1):
        header = struct.pack(">BBBBQHBB", version, kind, device, address,
                             time.monotonic_ns(), register, 0, reason)
        self.raw(header + payload)

    def raw(self, data):
        us = time.time_ns() // 1000
        pad = (4 - len(data) % 4) % 4
        body = struct.pack("<IIIII", 0, us >> 32, us & 0xFFFFFFFF, len(data), len(data))
        self.out.write(block(6, body + data + b"\0" * pad))


def record(regs):
    f = lambda v: struct.pack("<f", v)
    r = lambda n: regs[n]
    digits = lambda a: r(a) / 10 + r(a + 1) + 10 * r(a + 2) + 100 * r(a + 3) + 1000 * r(a + 4) + 10000 * r(a + 5)
    b = struct.pack("<IB", 1, r(0))
    b += f((r(5) * 256 + r(2)) / 100) + f((r(6) * 256 + r(3)) / 100) + f((r(7) * 256 + r(4)) / 100)
    b += f(r(8) + r(9) / 10) + f(r(10)) + f(r(11)) + f(r(12)) + f(r(13)) + f(digits(14))
    b += f(sum(r(20 + i) * 10 ** i for i in range(6))) + struct.pack("<BH", r(26), r(27) * 256 + r(28))
    b += f((r(29) + r(29)) / 10) + f(r(30)) + bytes(r(n) for n in range(31, 42))
    b += f(r(45) * 256 + r(42)) + f(r(46) * 256 + r(43)) + f(r(47) * 256 + r(44))
    b += bytes(r(n) for n in range(48, 51)) + f(digits(52))
    b += struct.pack("<h", struct.unpack("<h", bytes([r(58), r(59)]))[0]) + bytes(r(n) for n in range(60, 65))
    t = time.gmtime()
    return b + struct.pack("<HBBBBB", t.tm_year, t.tm_mon, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec)


def exchange(fd, cap, reg, round_no, step):
    frame = b"|%02X56%02X" % (65 ^ MASK, reg ^ MASK)
    os.write(fd, frame)
    cap.packet(1, reg, frame)
    got = b""
    deadline = time.monotonic() + 0.3
    while len(got) < 4:
        left = deadline - time.monotonic()
        if left <= 0 or not select.select([fd], [], [], left)[0]:
            cap.packet(18, reg, struct.pack(">IH", round_no, step), reason=1)
            return None
        chunk = os.read(fd, 64)
        cap.packet(2, reg, chunk)
        got += chunk
    return int(got[:2], 16) ^ MASK


def main():
    pty, path, rounds = sys.argv[1], sys.argv[2], int(sys.argv[3])
    fd = os.open(pty, os.O_RDWR | os.O_NOCTTY)
    tty.setraw(fd)
    termios.tcflush(fd, termios.TCIOFLUSH)
    cap = Capture(path, os.path.realpath(pty))
    done = number = 0
    while done < rounds and number < rounds * 20:
        number += 1
        cap.packet(16, NONE, struct.pack(">I", number))
        regs = {1: 0, 51: 0}
        for step, reg in enumerate(POLLED, start=1):
            value = exchange(fd, cap, reg, number, step)
            if value is None:
                break
            regs[reg] = value
        else:
            cap.packet(17, NONE, struct.pack(">I", number) + record(regs))
            done += 1
        time.sleep(0.35)  # a late reply lands before the next round
        termios.tcflush(fd, termios.TCIFLUSH)
    # What a reader must survive: an unknown version, a short packet, an
    # unknown kind, a record cut short, a reply with no digits.
    cap.packet(2, 0, b"DE9E", version=2)
    cap.raw(b"\x01\x02\x00")
    cap.packet(99, NONE, b"xyz")
    cap.packet(17, NONE, struct.pack(">I", 9) + b"\0" * 10)
    cap.packet(1, 12, b"|DF5692")
    cap.packet(2, 12, b"zz92")
    cap.out.close()
    print(done, "rounds", number - done, "stalled")


main()

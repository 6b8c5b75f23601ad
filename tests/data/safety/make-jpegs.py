#!/usr/bin/python3
"""Writes the hostile JPEGs of tests/data/safety (README there), bit by bit.

  make-jpegs.py scans W H FILE      grey progressive JPEG of W x H zero samples
                                    in every scan the format allows (14 DC, 14
                                    per AC coefficient: 896), each valid
  make-jpegs.py dc-repeat W H N FILE  one 4-byte DC scan N times (not valid)
  make-jpegs.py tiny W H FILE       baseline header of W x H, 4 data bytes, EOI
  make-jpegs.py twelve-bit FILE     an 8 x 8 JPEG whose frame says 12 bits
  make-jpegs.py lossless FILE       the same 8 x 8 JPEG as SOF3 (lossless)

Every table is the smallest that works: quantizers of 1, a DC table whose
one code (0, one bit) means "no change", an AC table of the 15 EOB-run
codes (four bits each).
"""
import struct
import sys


def segment(marker, body):
    return bytes([0xFF, marker]) + struct.pack(">H", len(body) + 2) + body


class Bits:
    def __init__(self):
        self.out, self.acc, self.n = bytearray(), 0, 0

    def put(self, value, count):
        for i in range(count - 1, -1, -1):
            self.acc = (self.acc << 1) | ((value >> i) & 1)
            self.n += 1
            if self.n == 8:
                self.out.append(self.acc)
                if self.acc == 0xFF:
                    self.out.append(0)  # byte stuffing
                self.acc, self.n = 0, 0

    def done(self):
        if self.n:
            self.put((1 << (8 - self.n)) - 1, 8 - self.n)  # padded with ones
        return bytes(self.out)


def header(sof, width, height, precision=8):
    dqt = segment(0xDB, bytes([0]) + bytes([1] * 64))
    frame = segment(sof, struct.pack(">BHHB", precision, height, width, 1) + bytes([1, 0x11, 0]))
    dc = segment(0xC4, bytes([0x00, 1] + [0] * 15 + [0]))
    ac = segment(0xC4, bytes([0x10, 0, 0, 0, 15] + [0] * 12) + bytes(r << 4 for r in range(15)))
    return b"\xFF\xD8" + dqt + frame + dc + ac


def scan(ss, se, ah, al, data):
    return segment(0xDA, bytes([1, 1, 0x00, ss, se, (ah << 4) | al])) + data


def eob_runs(blocks):
    bits = Bits()
    while blocks:
        run = min(blocks, 32767)
        r = run.bit_length() - 1
        bits.put(r, 4)  # the code of EOB-run symbol r << 4 is r
        bits.put(run - (1 << r), r)
        blocks -= run
    return bits.done()


def zero_bits(count):
    bits = Bits()
    for _ in range(count):
        bits.put(0, 1)
    return bits.done()


def blocks_of(width, height):
    return ((width + 7) // 8) * ((height + 7) // 8)


def main(argv):
    kind = argv[1]
    if kind == "scans":
        width, height, path = int(argv[2]), int(argv[3]), argv[4]
        blocks = blocks_of(width, height)
        out = header(0xC2, width, height)
        out += scan(0, 0, 0, 13, zero_bits(blocks))  # DC, then its refinements
        out += b"".join(scan(0, 0, a, a - 1, zero_bits(blocks)) for a in range(13, 0, -1))
        for k in range(1, 64):
            out += scan(k, k, 0, 13, eob_runs(blocks))
            out += b"".join(scan(k, k, a, a - 1, eob_runs(blocks)) for a in range(13, 0, -1))
    elif kind == "dc-repeat":
        width, height, count, path = int(argv[2]), int(argv[3]), int(argv[4]), argv[5]
        out = header(0xC2, width, height) + scan(0, 0, 0, 0, bytes(4)) * count
    elif kind == "tiny":
        width, height, path = int(argv[2]), int(argv[3]), argv[4]
        out = header(0xC0, width, height) + scan(0, 63, 0, 0, bytes(4))
    elif kind in ("twelve-bit", "lossless"):
        path = argv[2]
        bits = Bits()
        bits.put(0, 2)  # DC unchanged, end of block
        out = header(0xC1 if kind == "twelve-bit" else 0xC3, 8, 8, 12 if kind == "twelve-bit" else 8)
        out += scan(0, 63, 0, 0, bits.done())
    else:
        sys.exit(__doc__)
    with open(path, "wb") as f:
        f.write(out + b"\xFF\xD9")


main(sys.argv)

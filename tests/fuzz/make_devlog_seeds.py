"""Writes the seed inputs of the devlog fuzz target into corpus/devlog/.

Input layout (see devlog_fuzz.cpp): flags (1 byte), buffer records - 1 (1),
writers' byte offset (4, signed), single-record format offset (2), then the
buffer's bytes: 256-byte records (magic 0xC811, format offset, two writer
identifiers, 16-byte argument slots, then an 8-byte slot head and the format)
or regions (a 256-byte header with magic 0xC810, size and write offset, then
records).
"""

import pathlib
import struct

HERE = pathlib.Path(__file__).resolve().parent / "corpus" / "devlog"


def record(fmt, args=(), id1=0, id2=0):
    r = bytearray(256)
    off = 8 + 16 * len(args)
    struct.pack_into("<HHHH", r, 0, 0xC811, off, id1, id2)
    for i, (length, val) in enumerate(args):
        struct.pack_into("<i", r, 8 + 16 * i, length)
        r[16 + 16 * i : 16 + 16 * i + len(val)] = val
    r[off + 8 : off + 8 + len(fmt)] = fmt
    return bytes(r)


def head(flags, records, writer, format_offset):
    return struct.pack("<BBiH", flags, records - 1, writer, format_offset)


def region(size, write_offset):
    h = bytearray(256)
    struct.pack_into("<HHIII", h, 0, 0xC810, 0, 0, size, write_offset)
    return bytes(h)


def main():
    i32 = lambda v: struct.pack("<i", v)  # noqa: E731
    u32 = lambda v: struct.pack("<I", v)  # noqa: E731
    ring = (
        record(b"gen %d best %u\n", [(4, i32(50)), (4, u32(65000))], 3, 7)
        + record(b"%5.2f|%-8s|%x\n", [(4, struct.pack("<f", 3.25)), (6, b"lane\0"), (4, u32(255))])
        + record(
            b"%e %g %% %n%c\n",
            [(8, struct.pack("<d", 1e-7)), (8, struct.pack("<d", 2.5)), (4, bytes(4)), (4, i32(65))],
        )
        + bytes(256)
    )
    regions = (
        region(3 * 256, 256)
        + record(b"region one %d\n", [(4, i32(1))])
        + record(b"tail\n")
        + region(2 * 256, 256)
        + record(
            b"%.3s|%*d|%hhd|%lld\n",
            [(4, b"abcd"), (4, i32(300)), (4, i32(7)), (8, struct.pack("<q", 1))],
        )
    )
    overflow = bytes([0x11, 0xC8, 0, 0, 1, 0, 2, 0]) + bytes(248) + record(b"%s\n", [(999, b"x")])
    seeds = {
        "ring.bin": head(1, 4, 3 * 256, 8 + 16 * 2) + ring,
        "ring-wrapped.bin": head(0, 4, 256, 8) + ring,
        "regions.bin": head(3, 5, 0, 8) + regions,
        "overflow-and-corrupt.bin": head(1, 2, 512, 0) + overflow,
    }
    HERE.mkdir(parents=True, exist_ok=True)
    for name, data in seeds.items():
        (HERE / name).write_bytes(data)


if __name__ == "__main__":
    main()

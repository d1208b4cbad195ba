#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets (fuzz/corpus/<target>/), laid out from the
partition's byte layout alone: management header (checksum, size, version, initTime,
refCount), end marker, queue header at 64 (mWriteOffset, mAttachCount, mCapacity at 12,
mReadOffset at 64), elements in the data area from 192 in 64-byte slots of (length + 8).

Run it from anywhere; it overwrites the seeds it knows and leaves other files alone.
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
QUEUE = 64
DATA = 192


def slot(length):
    return (length + 71) & ~63


class Image:
    def __init__(self, size, init_time=0x1234567890, ref_count=1, attach_count=1):
        self.b = bytearray(size)
        self.size = size
        name = b"plixtrace"
        self.b[0:len(name)] = name
        struct.pack_into("<IIQ", self.b, 32, size, 0x00020000, init_time)
        self.b[48] = (-sum(self.b[0:48])) & 0xFF
        struct.pack_into("<i", self.b, 52, ref_count)
        struct.pack_into("<I", self.b, size - 4, 0xDEDEDEDE)
        self.capacity = ((size - 68) - 128) & ~63
        struct.pack_into("<I", self.b, QUEUE + 4, attach_count & 0xFFFFFFFF)
        struct.pack_into("<I", self.b, QUEUE + 12, self.capacity)
        self.write = 0
        self.read = 0
        self.sync()

    def sync(self):
        struct.pack_into("<I", self.b, QUEUE, self.write)
        struct.pack_into("<I", self.b, QUEUE + 64, self.read)

    def element(self, offset, payload, wrap=0):
        struct.pack_into("<IB", self.b, DATA + offset, len(payload), wrap)
        self.b[DATA + offset + 8:DATA + offset + 8 + len(payload)] = payload

    def push(self, payload):
        self.element(self.write, payload)
        self.write += slot(len(payload))
        if self.write == self.capacity:
            self.write = 0
        self.sync()

    def knobs(self, buffer=0, flags=0):
        self.b[56] = buffer
        self.b[57] = flags
        return self


def record(n, length=64):
    text = (b"%d " % n).ljust(length - 2, b"x")[:length - 2]
    return text + b"\n\0"


def seeds_partition_image():
    s = {}
    s["zeroed_4096"] = Image(4096).b
    s["zeroed_4096"][:] = bytes(4096)

    s["empty_queue"] = Image(4096).b

    img = Image(4096)
    for n, r in enumerate([b"abc\ndef\n\0", b"\0hidden", b"\0", b"crlf\r\nsecond\n\0", b"",
                           record(6, 57), record(7, 120)], 1):
        img.push(r)
    s["several_records"] = img.b

    # A wrap marker at the read offset and the element at offset 0 behind it.
    img = Image(4096)
    img.read = img.capacity - 128
    img.element(img.read, b"", wrap=1)
    img.element(0, record(1, 100))
    img.element(slot(100), record(2, 30))
    img.write = slot(100) + slot(30)
    img.sync()
    s["wrap_marker"] = img.b

    # The same, read with a 16-byte buffer: status 8 passes the marker, the buffer grows.
    s["wrap_marker_small_buffer"] = bytearray(s["wrap_marker"])
    s["wrap_marker_small_buffer"][56] = 1

    # An element whose slot ends exactly at the capacity: the read offset goes back to 0.
    img = Image(4096)
    img.read = img.capacity - 128
    img.element(img.read, record(1, 120))
    img.element(0, record(2))
    img.write = 64
    img.sync()
    s["slot_ends_at_capacity"] = img.b

    # A record longer than the first buffer: status 8, then a larger buffer.
    img = Image(16384)
    img.push(b"L" * 6000 + b"\n\0")
    img.push(record(2))
    s["long_record"] = img.b

    # Header taken as it is: a wrong checksum, and a size smaller than the image.
    img = Image(4096).knobs(flags=1)
    img.b[48] ^= 0x5A
    s["raw_bad_checksum"] = img.b
    img = Image(4096)
    struct.pack_into("<I", img.b, 32, 2048)
    img.b[48] = 0
    img.b[48] = (-sum(img.b[0:48])) & 0xFF
    img.knobs(flags=3)
    s["raw_smaller_size"] = img.b

    # Nobody set the queue up, and a queue that claims more than the partition holds.
    s["attach_count_zero"] = Image(4096, attach_count=0).b
    img = Image(4096)
    img.push(record(1))
    struct.pack_into("<I", img.b, QUEUE + 12, 1 << 30)
    s["capacity_too_large"] = img.b
    return s


def op(offset, kind, value, delay=0):
    return struct.pack("<HBBI", offset, kind, delay, value & 0xFFFFFFFF)


def seeds_concurrent_writer():
    s = {}
    img = Image(4096)
    for n in range(1, 9):
        img.push(record(n, 40 + 13 * n))
    s["records_no_script"] = bytes(img.b)

    # Flip the write offset, the capacity and an element length while the reader reads.
    script = (op(0, 0, 64) + op(0, 0, 4032) + op(12, 3, 1 << 20) + op(128 + 0, 0, 5000) +
              op(128 + 64, 1, 1) + op(64, 2, 64) + op(4, 0, 0) + op(4, 0, 1))
    s["records_scribbled"] = bytes(img.b) + script

    # A writer that keeps publishing: the write offset moves on over the data area.
    img = Image(4096)
    for n in range(1, 30):
        img.element(slot(64) * (n - 1), record(n))
    script = b"".join(op(0, 0, 64 * k, delay=20) for k in range(1, 30))
    s["writer_publishing"] = bytes(img.b) + script

    # Wrap markers that appear and go under the reader.
    img = Image(4096)
    img.read = 64
    img.element(64, record(1))
    img.element(0, record(2))
    img.write = 128
    img.sync()
    script = op(128 + 64 + 4, 1, 1) + op(128 + 64 + 4, 1, 0) + op(0, 3, 0)
    s["wrap_flicker"] = bytes(img.b) + script
    return s


def write(target, seeds):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    for name, data in seeds.items():
        with open(os.path.join(folder, name), "wb") as f:
            f.write(bytes(data))


if __name__ == "__main__":
    write("partition_image", seeds_partition_image())
    write("concurrent_writer", seeds_concurrent_writer())

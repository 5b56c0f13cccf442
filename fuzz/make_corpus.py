#!/usr/bin/env python3
"""Writes the handler fuzzer's seed corpus: one file per kind of conversation a
peer can hold, in the exchange's wire units."""
import os
import struct

here = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus", "handler")


def i32(v):
    return struct.pack("<i", v)


def frame(text):
    return i32(len(text.encode("utf-16-le")) // 2) + text.encode("utf-16-le")


def file_transfer(name, data, size=None):
    return frame("#SendFile#") + i32(len(data) if size is None else size) + frame(name) + data


seeds = {
    "text": frame("09:05:03: hi"),
    "empty-frame": frame(""),
    "two-texts": frame("one") + frame("two"),
    "worked-example": frame("09:05:03: hi") + file_transfer("a.txt", bytes(range(256)) * 19 + b"x" * 136),
    "file-2048": file_transfer("b.bin", b"\xAB" * 2048),
    "file-empty": file_transfer("empty.txt", b""),
    "file-then-text": file_transfer("c.bin", b"0123456789") + frame("after"),
    "negative-size": file_transfer("neg.bin", b"", size=-1),
    "huge-size": file_transfer("huge.bin", b"abc", size=0x7FFFFFFF),
    "parent-name": file_transfer("../up.txt", b"up"),
    "absolute-name": file_transfer("/tmp/abs.txt", b"abs"),
    "empty-name": file_transfer("", b"e"),
    "dot-name": file_transfer("..", b"d"),
    "control-name": file_transfer("a\x01b", b"c"),
    "negative-count": i32(-5) + b"rest",
    "huge-count": i32(0x3FFFFFFF) + b"ab",
    "max-count": i32(0x7FFFFFFF) + b"ab",
    "cut-count": b"\x05\x00",
    "cut-text": i32(10) + "abc".encode("utf-16-le"),
    "request-cut-size": frame("#SendFile#") + b"\x10\x00",
    "request-name-huge-count": frame("#SendFile#") + i32(5) + i32(0x40000000) + b"xx",
    "request-lower-case": frame("#sendfile#"),
    "odd-utf16": i32(3) + b"\x00\xD8\x41\x00\xFF\xDF",
}

os.makedirs(here, exist_ok=True)
for name, data in seeds.items():
    with open(os.path.join(here, name), "wb") as f:
        f.write(data)
print(f"{len(seeds)} seeds in {here}")

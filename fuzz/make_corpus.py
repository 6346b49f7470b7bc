#!/usr/bin/env python3
"""Writes the small seed corpus of the fuzz targets (run from this folder)."""
import struct

def file_header(count):
    return b"\x55\xAA" + b"abcdef" + struct.pack(">H", count) + b"wxyz"

def record(number, payload):
    return b"ZZ" + struct.pack(">H", number) + b"hdr!" + struct.pack(">I", len(payload)) + payload + b"TRLR"

def token(t):
    return b"\x05" + t.encode()

two = file_header(2) + record(0, b"hello") + record(1, b"x" * 30)
images = {
    "two_records": two,
    "header_only": file_header(0),
    "empty_payload": file_header(1) + record(0, b""),
    "swapped_magic": b"\xAA\x55" + two[2:],
    "cut_in_body": two[:40],
    "bytes_after_last": two + b"ZZ",
    "too_long": file_header(1) + b"ZZ\x00\x00hdr!\x00\x00\xff\xf1",
}
for name, data in images.items():
    open(f"corpus/image_reader/{name}", "wb").write(data)

def healthy(records):
    s = token("2QXI3") + token("2NXT3") + token("2ACK3")
    s += (token("2ACK3") * 2) * records
    return s + token("2ACK3") + token("2DLD3") + token("2DBD3") + token("2DVD3")

def conversation(image, script):
    return struct.pack(">H", len(image)) + image + script

seeds = {
    "healthy": conversation(two, healthy(2)),
    "header_only": conversation(file_header(0), healthy(0)),
    # wrong word, short read, timed-out read, then a good handshake
    "handshake_retries": conversation(two, token("2ACK3") + b"\x022N\x06" + b"\x07" + healthy(2)),
    "nxt_for_ack": conversation(two, token("2QXI3") + token("2NXT3") + token("2NXT3") + healthy(2)[12:]),
    "burn_failed": conversation(two, healthy(2)[:-18] + token("2DLD3") + token("2PER3")),
    "escaped_reply": conversation(two, b"\x05\x1b[2J\x07" + healthy(2)),
}
for name, data in seeds.items():
    open(f"corpus/conversation/{name}", "wb").write(data)

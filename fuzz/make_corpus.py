#!/usr/bin/env python3
"""Writes the seed corpora and dictionaries of the fuzz targets: corpus/receive/ and receive.dict
for the receive side (valid frames of every registered type, frames cut at each boundary, bad
counts), corpus/kepmsg_body/ and kepmsg_body.dict for the kepmsg tool's message bodies. The
corpora also keep inputs that fuzzing runs found and merged in (hash-named files).

A frame is a header (4-byte little-endian length N, then N bytes of type name) and the body that
the test message classes write: Text = seq, len, bytes; Fixed = seq, u32, u64;
Blob = seq, len, bytes, FNV-1a of the bytes; Empty and Unread have no body.
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def header(name):
    raw = name.encode("utf-8") if isinstance(name, str) else name
    return struct.pack("<I", len(raw)) + raw


def fnv1a(data):
    value = 2166136261
    for byte in data:
        value = ((value ^ byte) * 16777619) & 0xFFFFFFFF
    return value


def text(seq, body):
    raw = body.encode("utf-8")
    return header("Text") + struct.pack("<II", seq, len(raw)) + raw


def fixed(seq, value=0xC0FFEE, wide=0x0123456789ABCDEF):
    return header("Fixed") + struct.pack("<IIQ", seq, value, wide)


def blob(seq, data, checksum=None):
    if checksum is None:
        checksum = fnv1a(data)
    return header("Blob") + struct.pack("<II", seq, len(data)) + data + struct.pack("<I", checksum)


def empty():
    return header("Empty")


def unread():
    return header("Unread")


def seeds():
    filler = bytes((i * 37 + 11) & 0xFF for i in range(300))
    every = text(1, "hello") + fixed(2) + blob(3, filler) + empty() + unread() + fixed(4)
    whole = text(7, "split me")
    return {
        "valid_text": text(1, "hello, world"),
        "valid_text_empty": text(2, ""),
        "valid_fixed": fixed(1),
        "valid_blob": blob(1, filler),
        "valid_blob_empty": blob(2, b""),
        "valid_empty": empty(),
        "valid_unread": unread() + fixed(5),
        "valid_every_type": every,
        "valid_many_fixed": b"".join(fixed(i, i * 3, i * 5) for i in range(64)),
        "valid_non_ascii_name": header("T\u00e9xt\u2713") + fixed(9),
        "blob_bad_checksum": blob(4, filler, checksum=0),
        "blob_length_at_limit": header("Blob") + struct.pack("<II", 5, 16 * 1024 * 1024) + filler,
        "blob_length_over_limit": header("Blob") + struct.pack("<II", 6, 0xFFFFFFFF) + filler,
        "text_length_over_limit": header("Text") + struct.pack("<II", 8, 0x80000000),
        "split_in_count": whole[:2],
        "split_after_count": whole[:4],
        "split_in_name": whole[:6],
        "split_after_name": whole[:8],
        "split_in_body": whole[:14],
        "split_before_last_byte": whole[:-1],
        "split_second_frame": fixed(1) + whole[:10],
        "count_zero": struct.pack("<I", 0) + text(1, "after zero"),
        "count_zero_only": struct.pack("<I", 0) * 4,
        "count_one": struct.pack("<I", 1) + b"X" + fixed(1),
        "count_at_limit_cut": struct.pack("<I", 65536) + b"N" * 100,
        "count_over_limit": struct.pack("<I", 65537) + fixed(1),
        "count_top_bit": struct.pack("<I", 0x80000000) + fixed(1),
        "count_all_bits": b"\xff\xff\xff\xff" + fixed(1),
        "unknown_type_then_valid": header("Nope") + struct.pack("<I", 3) + b"abc" + text(1, "x"),
        "unknown_type_body_as_header": header("Nope") + fixed(1)[0:4] + b"Fixed" + b"\0" * 16,
        "type_with_nul": header(b"Te\0t") + fixed(1),
        "no_bytes": b"",
    }


def dictionary():
    entries = [
        header("Text"), header("Fixed"), header("Blob"), header("Empty"), header("Unread"),
        b"Text", b"Fixed", b"Blob", b"Empty", b"Unread",
        struct.pack("<I", 0), struct.pack("<I", 65536), struct.pack("<I", 65537),
        struct.pack("<I", 0x80000000), b"\xff\xff\xff\xff", struct.pack("<I", 16 * 1024 * 1024),
        text(1, "hi"), fixed(1), blob(1, b"abc"),
    ]
    lines = []
    for entry in entries:
        lines.append('"' + "".join("\\x%02x" % b for b in entry) + '"')
    return "\n".join(lines) + "\n"


# kepmsg bodies: a first byte that picks the class (0 raw, 1 ping, 2 pong) and the largest piece
# one read hands out (bits 2-7, plus 1), then the body: raw = length, bytes; ping/pong = u32, u64.
RAW_LIMIT = 512 * 1024 * 1024


def body_input(kind, piece, body):
    return bytes([kind | ((piece - 1) << 2)]) + body


def raw_body(data, length=None):
    return struct.pack("<I", len(data) if length is None else length) + data


def kepmsg_seeds():
    echo = struct.pack("<IQ", 7, 0x0102030405060708)
    return {
        "raw_empty": body_input(0, 64, raw_body(b"")),
        "raw_small": body_input(0, 64, raw_body(b"hello")),
        "raw_one_byte_pieces": body_input(0, 1, raw_body(b"piece by piece")),
        "raw_cut": body_input(0, 3, raw_body(b"abc", 10)),
        "raw_length_at_limit": body_input(0, 64, raw_body(b"x" * 16, RAW_LIMIT)),
        "raw_length_over_limit": body_input(0, 64, raw_body(b"x" * 16, RAW_LIMIT + 1)),
        "raw_length_all_bits": body_input(0, 64, raw_body(b"x" * 16, 0xFFFFFFFF)),
        "raw_count_cut": body_input(0, 64, b"\x05\x00"),
        "ping": body_input(1, 64, echo),
        "ping_one_byte_pieces": body_input(1, 1, echo),
        "ping_cut": body_input(1, 64, echo[:5]),
        "pong": body_input(2, 5, echo),
        "pong_cut": body_input(2, 64, echo[:11]),
    }


def kepmsg_dictionary():
    entries = [struct.pack("<I", 0), struct.pack("<I", RAW_LIMIT), struct.pack("<I", RAW_LIMIT + 1),
               b"\xff\xff\xff\xff", struct.pack("<IQ", 1, 0)]
    return "\n".join('"' + "".join("\\x%02x" % b for b in e) + '"' for e in entries) + "\n"


def write_corpus(name, seed_map):
    corpus = os.path.join(HERE, "corpus", name)
    os.makedirs(corpus, exist_ok=True)
    for seed, data in sorted(seed_map.items()):
        with open(os.path.join(corpus, seed), "wb") as out:
            out.write(data)


def main():
    # Inputs the fuzzer found (named by their hash) stay beside the seeds.
    write_corpus("receive", seeds())
    write_corpus("kepmsg_body", kepmsg_seeds())
    with open(os.path.join(HERE, "receive.dict"), "w") as out:
        out.write("# Frames and header pieces of the receive side (see make_corpus.py).\n")
        out.write(dictionary())
    with open(os.path.join(HERE, "kepmsg_body.dict"), "w") as out:
        out.write("# Length fields of the kepmsg tool's message bodies (see make_corpus.py).\n")
        out.write(kepmsg_dictionary())


if __name__ == "__main__":
    main()

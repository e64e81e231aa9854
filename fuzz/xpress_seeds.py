#!/usr/bin/env python3
"""Writes the seed corpus of the xpress fuzz target into the folder given as argument: the Windows-made
raw streams (mode 1), the same streams wrapped in containers (mode 0) and a little plain data
(mode 2)."""
import pathlib
import struct
import sys
import zlib

out = pathlib.Path(sys.argv[1])
out.mkdir(parents=True, exist_ok=True)
vectors = pathlib.Path(__file__).resolve().parents[1] / "content" / "tests" / "data" / "xpress-raw"
for stream_path in sorted(vectors.glob("*.compressed")):
    stream = stream_path.read_bytes()
    size = len(stream_path.with_suffix(".expected").read_bytes())
    (out / (stream_path.stem + ".raw")).write_bytes(b"\x01" + size.to_bytes(3, "little") + stream)
    header = bytearray(b"\x0a\x51\xe5\xc0" + struct.pack("<H", 24) + b"\x00\x04" +
                       struct.pack("<QQ", size, 1 << 20))
    header[6] = zlib.crc32(bytes(header[:6] + header[7:])) & 0xFF
    container = bytes(header) + struct.pack("<I", len(stream)) + stream
    (out / (stream_path.stem + ".container")).write_bytes(b"\x00" + container)
(out / "plain-text").write_bytes(b"\x02" + b"nyra saga brasil pacote " * 200 + b"\x00" * 70000)

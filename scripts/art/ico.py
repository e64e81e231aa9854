"""Write and read .ico files whose images are stored as PNG."""
import struct

PNG_SIG = b"\x89PNG\r\n\x1a\n"


def write_ico(path, pngs):
    """pngs: list of (size, png_bytes) in the order the directory should list them."""
    head = struct.pack("<HHH", 0, 1, len(pngs))
    offset = 6 + 16 * len(pngs)
    entries, blobs = b"", b""
    for size, data in pngs:
        if not data.startswith(PNG_SIG):
            raise ValueError("icon image is not a PNG")
        dim = 0 if size >= 256 else size  # 0 means 256 in the directory
        entries += struct.pack("<BBBBHHII", dim, dim, 0, 0, 1, 32, len(data), offset)
        blobs += data
        offset += len(data)
    with open(path, "wb") as f:
        f.write(head + entries + blobs)


def read_ico(path):
    """-> list of (width, height, is_png, png_width, png_height) per directory entry."""
    data = open(path, "rb").read()
    reserved, kind, count = struct.unpack_from("<HHH", data, 0)
    if reserved != 0 or kind != 1:
        raise ValueError("not an icon file")
    out = []
    for i in range(count):
        w, h, _, _, _, _, size, off = struct.unpack_from("<BBBBHHII", data, 6 + 16 * i)
        blob = data[off:off + size]
        is_png = blob.startswith(PNG_SIG)
        pw, ph = struct.unpack(">II", blob[16:24]) if is_png else (None, None)
        out.append((w or 256, h or 256, is_png, pw, ph))
    return out

#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into fuzz/corpus/<target>/: small files taken from
the sample package set (scripts/make-sample-set; its folder is the first argument, default
build/sample-set) and hand-made cases. Files already in a corpus folder are kept, so the
regression inputs of findings stay; a seed of the same name is rewritten.

Needs python3-cryptography for the catalog (AES-GCM with the set's package key)."""
import base64
import json
import pathlib
import struct
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parents[1]
SAMPLE = pathlib.Path(sys.argv[1]) if len(sys.argv) > 1 else ROOT / "build" / "sample-set"
CORPUS = ROOT / "fuzz" / "corpus"
TOKEN = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJ0123-_x"
ORIGIN = "https://localhost"
DIGEST = "0123456789abcdef" * 4


def put(target, name, data):
    folder = CORPUS / target
    folder.mkdir(parents=True, exist_ok=True)
    if isinstance(data, str):
        data = data.encode()
    (folder / name).write_bytes(data)


def compact(document):
    return json.dumps(document, separators=(",", ":"), ensure_ascii=False)


# A small CBOR writer (RFC 8949, definite lengths) for the backend's answers.
def head(major, value):
    if value < 24:
        return bytes([major << 5 | value])
    for code, width in ((24, 1), (25, 2), (26, 4), (27, 8)):
        if value < 1 << (8 * width):
            return bytes([major << 5 | code]) + value.to_bytes(width, "big")
    raise ValueError(value)


def cbor(value):
    if value is None:
        return b"\xf6"
    if value is True:
        return b"\xf5"
    if value is False:
        return b"\xf4"
    if isinstance(value, int):
        return head(0, value) if value >= 0 else head(1, -1 - value)
    if isinstance(value, float):
        return b"\xfb" + struct.pack(">d", value)
    if isinstance(value, str):
        raw = value.encode()
        return head(3, len(raw)) + raw
    if isinstance(value, bytes):
        return head(2, len(value)) + value
    if isinstance(value, list):
        return head(4, len(value)) + b"".join(cbor(v) for v in value)
    if isinstance(value, dict):
        return head(5, len(value)) + b"".join(cbor(k) + cbor(v) for k, v in value.items())
    raise TypeError(value)


sample_policy = json.loads((SAMPLE / "policy.json").read_text())
sample_set = json.loads((SAMPLE / "set.json").read_text())

# --- backend_answer: selector byte (operation, 0x80 cookie, 0x40 no content type), then CBOR.
key_answer = {"key": base64.b64encode(bytes(range(32))).decode(), "download_token": "dl-" + TOKEN,
              "download_expires_in": 600}
start_answer = {"token": TOKEN, "multi_client_limit": 2, "translations_sha256": DIGEST,
                "translation_languages": {"en": DIGEST}, "game_login": {"user": "player", "ticket": "t"},
                "itemmall": {"items": []}, "transport": "cloudflare-ws-v1"}
answers = {
    "raw-bootstrap": (0, {"csrf": TOKEN, "user": "player"}),
    "resume-user": (1, {"csrf": TOKEN, "user": "player"}),
    "resume-no-user": (1, {"csrf": TOKEN, "user": None}),
    "login": (2, {"csrf": TOKEN, "user": "player", "ok": True}),
    "package-key": (3, key_answer),
    "package-key-float-lifetime": (3, dict(key_answer, download_expires_in=600.5)),
    "package-policy": (4, sample_policy),
    "start": (5, start_answer),
    "notifications": (6, [{"id": 1, "read": False}, {"id": 2, "read": True}, {"read": False}]),
    "vip-token": (7, {"token": "v" * 40}),
    "voice-token": (8, {"token": TOKEN}),
    "logout": (9, {}),
    "heartbeat": (10, {"sequence": 1, "itemmall": {"items": [1, 2.5, "x"]}}),
}
for name, (selector, answer) in answers.items():
    put("backend_answer", name, bytes([selector]) + cbor(answer))
cookie = f"__Host-nyra_session={TOKEN}; Path=/; Secure; HttpOnly".encode()
put("backend_answer", "login-with-cookie",
    bytes([0x82, len(cookie)]) + cookie + cbor({"csrf": TOKEN, "user": "player"}))
# Forms the strict reader must refuse or read like the library: a tag, indefinite lengths, a half
# float, a byte string, trailing bytes.
put("backend_answer", "raw-tag", b"\x00\xc1\x1a\x00\x00\x00\x01")
put("backend_answer", "raw-indefinite", b"\x00\xbf\x63key\x9f\x01\x7f\x61a\x61b\xff\xff\xff")
put("backend_answer", "raw-half-float", b"\x00\xa1\x61f\xf9\x3c\x00")
put("backend_answer", "raw-bytes", b"\x00\xa1\x61b\x43\x01\x02\x03")
put("backend_answer", "raw-trailing", b"\x00\xa0\x00")

# --- package_policy and launcher_description: the sample set's policy as the client returns it.
put("package_policy", "sample-policy.json", compact(sample_policy))
broken = json.loads(json.dumps(sample_policy))
broken["base_cdn"]["packs"][1]["chunks"][1]["offset"] = 1
put("package_policy", "chunk-offset-off-grid.json", compact(broken))
put("launcher_description", "sample-policy.json", compact(sample_policy))
put("launcher_description", "launcher-only.json",
    compact({"launcher_update": sample_policy["launcher_update"], "launcher_version": sample_policy["launcher_update"]["version"]}))
put("launcher_description", "version-mismatch.json",
    compact({"launcher_update": sample_policy["launcher_update"], "launcher_version": "0.0.1"}))

# --- catalog and catalog_container: the sample catalog, decrypted, and small hand-made ones.
from cryptography.hazmat.primitives.ciphers.aead import AESGCM  # noqa: E402

container = (SAMPLE / "nyra.nidx").read_bytes()
key = base64.b64decode(sample_set["package_key"])
plain = AESGCM(key).decrypt(container[8:20], container[36:] + container[20:36], None)
catalog = json.loads(plain)
small = {"entries": catalog["entries"][:3], "format": 1, "packs": catalog["packs"]}
put("catalog", "sample-catalog-head.json", compact(small))
escaping = json.loads(json.dumps(small))
escaping["entries"][0]["path"] = "data/../../Windows/evil.dll"
put("catalog", "entry-path-escapes.json", compact(escaping))
put("catalog", "upper-case-iv.json", compact(dict(small, entries=[dict(small["entries"][0], iv="A" * 24)])))
put("catalog_container", "sample-container-head", container[:36] + compact(small).encode())
put("catalog_container", "short", container[:36])

# --- translation_bundle: the first entries of the sample bundle, rebuilt.
bundle = (SAMPLE / "translations" / "en.bin").read_bytes()
entries, at = [], 12
for _ in range(struct.unpack_from("<I", bundle, 8)[0]):
    (name_length,) = struct.unpack_from("<H", bundle, at)
    name = bundle[at + 2:at + 2 + name_length]
    (data_length,) = struct.unpack_from("<I", bundle, at + 2 + name_length)
    data = bundle[at + 6 + name_length:at + 6 + name_length + data_length]
    entries.append((name, data))
    at += 6 + name_length + data_length


def make_bundle(items):
    out = b"NYRATRB1" + struct.pack("<I", len(items))
    for name, data in items:
        out += struct.pack("<H", len(name)) + name + struct.pack("<I", len(data)) + data
    return out


put("translation_bundle", "sample-two-entries", make_bundle([(n, d[:200]) for n, d in entries[:2]]))
put("translation_bundle", "one-entry", make_bundle([(b"data/db/T_Item.ini", b"[1]\nname=Espada\n")]))
put("translation_bundle", "bad-suffix", make_bundle([(b"data/db/T_Item.txt", b"x")]))

# --- preferences.
put("preferences", "all-members.json", compact({"width": 1280, "height": 720, "full_screen": True, "apply_to_game": True,
                                                "graphics_mode": "enhanced", "language": "en"}))
put("preferences", "unknown-members.json", '{"language":"pt-BR","window":{"x":1,"y":[2,3]},"volume":0.5}')
put("preferences", "wrong-type.json", '{"width":"1280","language":"en"}')
put("preferences", "fraction.json", '{"width":1280.5}')
put("preferences", "not-utf8.json", b'{"graphics_mode":"\xff\xfe","note":"\xc3"}')

# --- saved_session.
put("saved_session", "saved.json", compact({"origin": ORIGIN, "session": TOKEN}))
put("saved_session", "other-origin.json", compact({"origin": "https://example.com", "session": TOKEN}))
put("saved_session", "number-session.json", compact({"origin": ORIGIN, "session": 5}))

# --- receipts.
stamp = {"volume": 305419896, "file_id": "00" * 16, "usn": 4096, "journal_id": 77}
receipt = {"sha256": DIGEST, "size": 1153586, "index_sha256": DIGEST, "stamp": stamp,
           "fully_hashed_at_ms": 1765000000000, "fully_hashed_tick_ms": 3600000}
put("receipts", "two-packs.json", compact({"format": 1, "packs": {
    "nyra-000.pck": receipt, "nyra-001.pck": dict(receipt, stamp={k: v for k, v in stamp.items() if k != "journal_id"})}}))
put("receipts", "format-2.json", compact({"format": 2, "packs": {}}))

# --- diagnostics_container (kind byte, then the container) and diagnostics_legacy.
launch = {"package_id": "sample", "outcome": "closed", "reason": "", "guard_ready": True, "channel_failure": 0,
          "guard_startup_failure": 0, "exit_code": 0, "elapsed_ms": 120000, "pid": 4242}
verification = {"package_id": "sample", "result": "verified", "checked_packs": 3, "downloaded_index": False}
for byte, kind, record in ((0, "launch", launch), (1, "verification", verification)):
    envelope = compact({"format": 1, "kind": kind, "origin": ORIGIN, "record": record})
    put("diagnostics_container", kind, bytes([byte]) + b"NYRADG01" + envelope.encode())
    put("diagnostics_legacy", kind + ".json", json.dumps(record, indent=2))
put("diagnostics_container", "wrong-kind", b"\x01NYRADG01" + compact({"format": 1, "kind": "launch", "origin": ORIGIN,
                                                                      "record": {}}).encode())
put("diagnostics_legacy", "big-number.json", '{"elapsed_ms":1e400,"exit_code":18446744073709551616}')

# --- news_feed.
items = [{"slug": "festival-de-verao", "title": "Festival de Verão", "category": "evento",
          "summary": "Eventos na capital.", "cover": "jardins", "published_at": "2026-03-01T01:30:00Z", "pinned": True},
         {"slug": "manutencao-12", "title": "Manutenção programada", "category": "manutencao", "summary": "",
          "cover": "vila", "published_at": "0001-01-01T02:00:00Z"},
         {"slug": "Bad Slug", "title": "x"}]
put("news_feed", "feed.json", compact({"items": items}))
put("news_feed", "notifications.json", compact([{"id": 1, "read": False}, {"id": 2, "read": True}]))

# --- guard_channel: flags (0x01 right secret, 0x02 other process, 0x04 writes fail from byte 2), then the
# guard's bytes.
notice = "Aviso do Guard: módulo carregado".encode()
session = b"KLSRG" + b"T" + b"V" + bytes(range(16)) + b"M" + struct.pack("<H", len(notice)) + notice + b"X" + bytes(16)
put("guard_channel", "whole-session", b"\x01\x00" + session + b"E" + struct.pack("<I", 2))
put("guard_channel", "ready-too-early", b"\x01\x00KR")
put("guard_channel", "modification", b"\x01\x00KLSRI")
put("guard_channel", "blocked", b"\x01\x00KLSRB")
put("guard_channel", "write-fails", b"\x05\x01KLS")
put("guard_channel", "wrong-secret", b"\x00\x00" + b"d" * 64 + b"K")
put("guard_channel", "notice-not-utf8", b"\x01\x00KLSM\x03\x00\xff\xfe\xfd")

# --- websocket_ack: the buffer script.
put("websocket_ack", "acks", "+100\n50\n100\n+70000\n@120\n70100\n")
put("websocket_ack", "beyond", "+10\n11\n18446744073709551615\n18446744073709551616\n-1\n 5\n")

# --- updater_arguments: 0 = one character per byte, 1 = UTF-16LE pairs.
put("updater_arguments", "plain", b"\x00--apply-launcher-update 4242 1234 5678")
put("updater_arguments", "null-handle", b"\x00--apply-launcher-update 4242 0 5678")
put("updater_arguments", "extra", b"\x00--apply-launcher-update  4242\t1234 5678 extra")
put("updater_arguments", "wide-digits", b"\x01" + "--apply-launcher-update 4242 1234 \uff15\uff16\uff17\uff18".encode("utf-16-le"))

# --- text: UTF-8 (and the same bytes as UTF-16LE pairs).
put("text", "mixed", "Manuten\u00e7\u00e3o \u2022 \U0001F600 ok")
put("text", "overlong-surrogate-beyond", b"\xc0\xaf\xed\xa0\x80\xf4\x90\x80\x80")
put("text", "lone-surrogate-utf16", b"A\x00\x00\xd8B\x00")

# --- xpress: its own seed writer.
subprocess.run([sys.executable, str(ROOT / "fuzz" / "xpress_seeds.py"), str(CORPUS / "xpress")], check=True)
print("corpora written to", CORPUS)

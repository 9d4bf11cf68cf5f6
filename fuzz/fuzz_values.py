"""Fuzz target: stored document bytes, decoded through the public API.

Each input becomes the stored document of the one entry (key 1) of a collection, written
through py-lmdb. `get`, scans in modes 1 and 2 both ways, `first` and `last` must agree with
one another exactly and with the reference reader (bson_ref): the same dict, or tarnel.Error
where the reader refuses the bytes (or the datetime module's own exception for an instant it
cannot hold). A scan in mode 0 never looks at the document.

    python fuzz/fuzz_values.py [libFuzzer flags] [corpus dir]
"""

import json
import os
import struct

import atheris

with atheris.instrument_imports():
    import bson_ref
    import common

import tarnel

CORPUS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "shared", "data",
                      "bson-corpus")


def _doc(body):
    return struct.pack("<i", len(body) + 5) + body + b"\x00"


def seeds():
    """Own seeds, plus the BSON corpus's documents when it is at hand (read, never copied); each
    prefixed with the byte that stores it unchanged."""
    out = [
        common.EMPTY_DOC,
        _doc(b"\x10a\x00\x01\x00\x00\x00\x02s\x00\x02\x00\x00\x00x\x00"),
        _doc(b"\x03d\x00" + _doc(b"\x12n\x00" + b"\xff" * 8) + b"\x04l\x00" +
             _doc(b"\x080\x00\x01\x0a1\x00")),
        _doc(b"\x05b\x00\x03\x00\x00\x00\x80xyz\x01f\x00" + struct.pack("<d", -0.0)),
        _doc(b"\x09t\x00" + struct.pack("<q", 253402300799999)),
        _doc(b"\x07o\x00" + b"\x01" * 12),
    ]
    if os.path.isdir(CORPUS):
        for name in sorted(os.listdir(CORPUS)):
            if not name.endswith(".json"):
                continue
            with open(os.path.join(CORPUS, name)) as f:
                suite = json.load(f)
            for case in suite.get("valid", []):
                out.append(bytes.fromhex(case["canonical_bson"]))
            for case in suite.get("decodeErrors", []):
                out.append(bytes.fromhex(case["bson"]))
    return [b"\x00" + s for s in out] + [b"\x02" + bytes([i]) * 40 for i in range(0, 256, 7)]


store = common.RawStore(common.work_dir("values"))


def expected_outcome(raw):
    try:
        return ("ok", bson_ref.read(raw))
    except bson_ref.Refused as e:
        return ("refused", e.message)
    except (ValueError, OverflowError) as e:
        return ("raise", type(e), str(e))


def _name(fdp):
    how = fdp.ConsumeIntInRange(0, 7)
    if how == 0:
        return fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 4)).replace(b"\x00", b"")
    if how == 1:
        return fdp.PickValueInList([b"a", b"\xff", b"\xed\xa0\x80", b"\xc3", b"$ref", b"0"])
    return fdp.PickValueInList([b"a", b"b", b"x", b"0", b"1", b"\xc3\xa9"])


def _element(fdp, depth):
    """One element (type byte, name, value) with mostly right lengths."""
    kind = fdp.PickValueInList([1, 2, 3, 4, 5, 8, 9, 10, 16, 18, 3, 4, 6, 7, 11, 12, 13, 14, 15,
                                17, 19, 0x7F, 0xFF, fdp.ConsumeIntInRange(0, 255)])
    if kind == 2 or kind in (13, 14):
        text = fdp.PickValueInList([b"", b"x", b"\xff", b"a\x00b", b"\xf0\x9f\x98"]) \
            if fdp.ConsumeBool() else fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 8))
        value = struct.pack("<i", len(text) + 1) + text + b"\x00"
    elif kind in (3, 4):
        value = _document(fdp, depth + 1) if depth < 110 else _doc(b"")
    elif kind == 5:
        data = fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 8))
        sub = fdp.PickValueInList([0, 2, 4, 0x80, fdp.ConsumeIntInRange(0, 255)])
        if sub == 2 and fdp.ConsumeBool():
            data = struct.pack("<i", len(data)) + data
        value = struct.pack("<i", len(data)) + bytes([sub]) + data
    elif kind == 8:
        value = bytes([fdp.PickValueInList([0, 1, fdp.ConsumeIntInRange(0, 255)])])
    elif kind == 9:
        value = struct.pack("<q", fdp.PickValueInList([
            0, -1, 253402300799999, 253402300800000, -62135596800000, -62135596800001,
            -(1 << 63), (1 << 63) - 1, fdp.ConsumeIntInRange(-(1 << 63), (1 << 63) - 1)]))
    elif kind == 16:
        value = struct.pack("<i", fdp.ConsumeIntInRange(-(1 << 31), (1 << 31) - 1))
    elif kind in (1, 17, 18):
        value = fdp.ConsumeBytes(8).ljust(8, b"\x00")
    elif kind == 7:
        value = fdp.ConsumeBytes(12).ljust(12, b"\x00")
    elif kind == 19:
        value = fdp.ConsumeBytes(16).ljust(16, b"\x00")
    elif kind == 11:
        value = _name(fdp) + b"\x00" + _name(fdp) + b"\x00"
    elif kind == 12:
        value = struct.pack("<i", 2) + b"n\x00" + bytes(12)
    elif kind == 15:
        code = b"\x02\x00\x00\x00f\x00" + _doc(b"")
        value = struct.pack("<i", len(code) + 4) + code
    else:
        value = fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 3))
    return bytes([kind]) + _name(fdp) + b"\x00" + value


def _document(fdp, depth):
    if fdp.ConsumeIntInRange(0, 3) == 0 and depth < 110:  # a deep chain of one-field levels
        levels = fdp.ConsumeIntInRange(95, 105)
        body = b"\x10x\x00\x01\x00\x00\x00"
        for _ in range(levels):
            body = b"\x03a\x00" + _doc(body)
        return _doc(body)
    body = b"".join(_element(fdp, depth) for _ in range(fdp.ConsumeIntInRange(0, 4)))
    doc = _doc(body)
    if fdp.ConsumeIntInRange(0, 31) == 0:  # now and then a wrong length or final byte
        at = fdp.ConsumeIntInRange(0, len(doc) - 1)
        doc = doc[:at] + bytes([fdp.ConsumeIntInRange(0, 255)]) + doc[at + 1:]
    return doc


def stored_bytes(data):
    """The first byte picks how the rest becomes the stored value: as it is; with a right
    outer length and final zero, so that mutations reach the elements instead of the frame;
    or as a document built element by element, lengths right (mostly)."""
    if not data:
        return b""
    how, rest = data[0] % 4, data[1:]
    if how == 0:
        return rest
    if how == 1:
        return _doc(rest)
    if how == 2:
        return _document(atheris.FuzzedDataProvider(rest), 1)
    return struct.pack("<i", len(rest) + 4) + rest[4:] if len(rest) >= 4 else rest


def TestOneInput(data):
    raw = stored_bytes(data[:1 << 16])
    store.write(common.KEY_ONE, raw)
    db = store.open()
    try:
        coll = db.collection("c")
        calls = {
            "get": lambda: coll.get(1),
            "iter_(1)": lambda: list(coll.iter_(1, False))[0],
            "iter_(1, reverse)": lambda: list(coll.iter_(1, True))[0],
            "iter_(2)": lambda: list(coll.iter_(2, False))[0][1],
            "prefix_((1,), 7)": lambda: list(coll.prefix_((1,), 7))[0][1],
            "first": lambda: coll.first()[1],
            "last": lambda: coll.last()[1],
        }
        got = {name: common.outcome(call) for name, call in calls.items()}
        reference = got.pop("get")
        for name, o in got.items():
            same = (reference[0] == o[0] == "ok" and common.same(reference[1], o[1])) or (
                reference[0] == "raise" and reference == o)
            common.check(same, f"get and {name} disagree", raw, reference, o)
        keys = common.outcome(lambda: list(coll.iter_(0, False)))
        common.check(keys == ("ok", [1]), "mode 0 looked at the document", raw, keys)
    finally:
        db.close()

    want = expected_outcome(raw)
    if want[0] == "ok":
        common.check(reference[0] == "ok" and common.same(reference[1], want[1]),
                     "the document reads back wrongly", raw, reference, want)
    elif want[0] == "refused":
        common.check(reference[0] == "raise" and reference[1] is tarnel.Error,
                     "bytes that must be refused were not", raw, reference, want)
        message = want[1]
        if message is not None and message.startswith("unexpected"):
            common.check(reference[2].startswith(message + "(") or reference[2] == message +
                         " in stored document", "wrong kind named", raw, reference, want)
        elif message is not None:
            common.check(reference[2] == message, "wrong frame message", raw, reference, want)
    else:
        common.check(reference[:2] == want[:2], "an instant out of range", raw, reference, want)


if __name__ == "__main__":
    common.run("values", TestOneInput, seeds())

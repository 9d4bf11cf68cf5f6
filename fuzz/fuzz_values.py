"""Fuzz target: stored document bytes read through get, scans and first/last, which must agree
with each other and with pymongo's `bson`. python fuzz/fuzz_values.py [libFuzzer flags] [corpus]"""

import json
import struct

import atheris

with atheris.instrument_imports():
    import common

import bson


def seeds():
    """The BSON corpus's documents when it is at hand, each behind the byte that stores it as is."""
    out = [b"\x05\x00\x00\x00\x00", bson.encode({"a": [1, {"b": b"x"}], "t": bson.DatetimeMS(-1)})]
    for f in sorted(common.CORPUS.glob("*.json")):
        suite = json.loads(f.read_text())
        out += [bytes.fromhex(c["canonical_bson"]) for c in suite.get("valid", [])]
        out += [bytes.fromhex(c["bson"]) for c in suite.get("decodeErrors", [])]
    return [b"\x00" + s for s in out]


OPTIONS = bson.CodecOptions(tz_aware=True, datetime_conversion=bson.DatetimeConversion.DATETIME_AUTO)


store = common.RawStore("values")


def TestOneInput(data):
    raw = data[1:1 << 16]
    if data[:1] and data[0] % 2:
        raw = struct.pack("<i", len(raw) + 5) + raw + b"\x00"
    store.raw(raw)
    db = store.open()
    try:
        coll = db.collection("c")
        got = {name: common.outcome(call) for name, call in {
            "get": lambda: coll.get(1),
            "iter_(1)": lambda: list(coll.iter_(1, False))[0],
            "iter_(1, reverse)": lambda: list(coll.iter_(1, True))[0],
            "iter_(2)": lambda: list(coll.iter_(2, False))[0][1],
            "prefix_((1,), 7)": lambda: list(coll.prefix_((1,), 7))[0][1],
            "first": lambda: coll.first()[1],
            "last": lambda: coll.last()[1],
        }.items()}
        keys = common.outcome(lambda: list(coll.iter_(0, False)))
    finally:
        db.close()
    ours = got.pop("get")
    for name, o in got.items():
        common.check(o[0] == ours[0] and (common.same(o[1], ours[1]) if o[0] == "ok" else o == ours),
                     f"get and {name} disagree", raw, ours, o)
    common.check(keys == ("ok", [1]), "mode 0 looked at the document", raw, keys)
    try:
        theirs = ("ok", common.plain(bson.decode(raw, codec_options=OPTIONS)))
    except (bson.errors.InvalidBSON, bson.errors.InvalidDocument):
        theirs = ("refused",)
    except (KeyError, ValueError, OverflowError, OSError) as e:
        theirs = ("other", e)
    if ours[0] == "ok":
        common.check(theirs[0] == "ok" and common.same(ours[1], theirs[1]),
                     "the document reads back otherwise than pymongo reads it", raw, ours, theirs)
    elif theirs[0] == "refused":
        common.check(ours[0] == "raise", "bytes pymongo refuses were not refused", raw, ours)


if __name__ == "__main__":
    common.run("values", TestOneInput, seeds())

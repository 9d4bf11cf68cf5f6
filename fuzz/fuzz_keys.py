"""Fuzz target: stored key bytes, decoded through the public API.

Each input becomes the one stored key of a collection (written through py-lmdb, the document
beside it a valid empty one). Every path that renders keys (scans in modes 0 and 2 both ways,
`first`, `last`) must give what the reference decoder gives: the same object, or tarnel.Error
with the same message. A key that decodes must also be found again by `get`, `contains`,
`range_` and `prefix_`, and re-encode to the very bytes stored. Mode 1 never looks at the key.

    python fuzz/fuzz_keys.py [libFuzzer flags] [corpus dir]
"""

import atheris

with atheris.instrument_imports():
    import common

import tarnel

SEEDS = [
    b"\x01\x80\x00\x00\x00\x00\x00\x00\x01",
    b"\x01\x7f\xff\xff\xff\xff\xff\xff\xff",
    b"\x02ab\x00",
    b"\x02a\x00\xffb\x00",
    b"\x02\xc3\xa9\x00\x03\x00\xff\x00",
    b"\x02ab\x00\x01\x80\x00\x00\x00\x00\x00\x00\x01",
    b"\x01\x80\x00\x00\x00\x00\x00\x00\x01\x02x\x00\x03y\x00",
    b"\x00",
    b"\x02\xed\xa0\x80\x00",
    b"\x02\xf0\x9f\x98\x80\x00",
    b"\x02a\xc3\x00",
    b"\x02a\x00\xff",
    b"\x01\x80",
    b"\x04",
]

store = common.RawStore(common.work_dir("keys"))


def rendered(coll):
    """Every way a key reaches Python, by name."""
    return {
        "iter_(0)": lambda: list(coll.iter_(0, False)),
        "iter_(0, reverse)": lambda: list(coll.iter_(0, True)),
        "iter_(2)": lambda: [k for k, _ in coll.iter_(2, False)],
        "iter_(255, reverse)": lambda: [k for k, _ in coll.iter_(255, True)],
        "range_(None, None, 0)": lambda: list(coll.range_(None, None, 0)),
        "prefix_((), 0)": lambda: list(coll.prefix_((), 0)),
        "first": lambda: [coll.first()[0]],
        "last": lambda: [coll.last()[0]],
    }


def TestOneInput(data):
    key = data[:common.MAX_KEY]
    if not key:
        return
    try:
        expected = ("ok", [common.decode_key(key)])
    except common.KeyDecodeError as e:
        expected = ("raise", tarnel.Error, str(e))

    store.write(key, common.EMPTY_DOC)
    db = store.open()
    try:
        coll = db.collection("c")
        for name, call in rendered(coll).items():
            got = common.outcome(call)
            if expected[0] == "ok":
                common.check(got[0] == "ok" and common.same(got[1], expected[1]),
                             f"{name} renders the key wrongly", key, got, expected)
            else:
                common.check(got == expected, f"{name} does not refuse the key as expected",
                             key, got, expected)
        docs = common.outcome(lambda: list(coll.iter_(1, False)))
        common.check(docs == ("ok", [{}]), "mode 1 looked at the key", key, docs)
        if expected[0] != "ok":
            return
        obj = expected[1][0]
        common.check(key == b"\x00" or common.encode_key(obj) == key,
                     "a key that decodes re-encodes to other bytes", key, obj)
        common.check(coll.get(obj) == {}, "get misses the decoded key", key, obj)
        common.check(coll.contains(obj), "contains misses the decoded key", key, obj)
        common.check(list(coll.range_(obj, None, 0)) == [obj], "range_ from the key", key, obj)
        common.check(list(coll.range_(None, obj, 0)) == [], "range_ up to the key", key, obj)
        as_tuple = obj if isinstance(obj, tuple) else (obj,)
        common.check(list(coll.prefix_(as_tuple, 0)) == [obj], "prefix_ of the key", key, obj)
    finally:
        db.close()


if __name__ == "__main__":
    common.run("keys", TestOneInput, SEEDS)

"""Fuzz target: Python documents (every kind, cycles, hostile subclasses) through put, get and a scan;
what put stores is pymongo's encoding of what reads back. python fuzz/fuzz_docs.py [flags] [corpus]"""

import datetime as dt
import math

import atheris

with atheris.instrument_imports():
    import common

import bson


# str subclasses (other text, a failing __str__, equal only to itself); containers that lie.
STRS = [str, type("Str", (str,), {}), common.OtherText, common.Unprintable, common.Same]
Dict = type("Dict", (dict,), {"items": lambda self: iter([("lie", 1)]), "keys": lambda self: ["lie"],
                              "__iter__": lambda self: iter(["lie"])})
List = type("List", (list,), {"__iter__": lambda self: iter([1, 2, 3]), "__len__": lambda self: 3})
UNSUPPORTED = [(1, 2), {1}, bytearray(b"x"), dt.date(2000, 1, 1), 1j, object()]


def some_text(fdp):
    n = fdp.ConsumeIntInRange(0, 12)
    how = fdp.ConsumeIntInRange(0, 2)
    if how == 2:
        return fdp.PickValueInList(["", "a\x00b", "\ud800", "é", "a.b", "\U0001f600", "$ref"])
    return fdp.ConsumeUnicode(n) if how else fdp.ConsumeUnicodeNoSurrogates(n)


def some_datetime(fdp):
    secs = fdp.PickValueInList([0, -62135596800, 253402300799, fdp.ConsumeIntInRange(-62135596800, 253402300799)])
    value = (dt.datetime(1970, 1, 1) + dt.timedelta(seconds=secs)).replace(microsecond=fdp.PickValueInList(
        [0, 499, 500, 999500, 999999, fdp.ConsumeIntInRange(0, 999999)]))
    if fdp.ConsumeBool():
        value = value.replace(tzinfo=dt.timezone(dt.timedelta(minutes=fdp.ConsumeIntInRange(-1439, 1439))))
    return value


def some_value(fdp, depth, made):
    kind = fdp.ConsumeIntInRange(0, 12 if depth < 8 else 8)
    if kind == 0:
        return fdp.PickValueInList([None, True, False])
    if kind == 1:
        n = fdp.ConsumeInt(fdp.ConsumeIntInRange(1, 9))
        return type("Int", (int,), {})(n) if fdp.ConsumeBool() else n
    if kind == 2:
        return fdp.PickValueInList([fdp.ConsumeFloat(), -0.0, math.nan, math.inf, 5e-324])
    if kind in (3, 4):
        return fdp.PickValueInList(STRS)(some_text(fdp))
    if kind == 5:
        return fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 16))
    if kind == 6:
        return some_datetime(fdp)
    if kind == 7:
        return fdp.PickValueInList(UNSUPPORTED)
    if kind == 8:
        return fdp.PickValueInList(made) if made else None  # a cycle, or a value twice
    if kind in (9, 10):
        return some_dict(fdp, depth + 1, made)
    lst = (List if fdp.ConsumeIntInRange(0, 7) == 0 else list)()
    made.append(lst)
    for _ in range(fdp.ConsumeIntInRange(0, 4)):
        list.append(lst, some_value(fdp, depth + 1, made))
    return lst


def some_dict(fdp, depth, made):
    d = (Dict if fdp.ConsumeIntInRange(0, 7) == 0 else dict)()
    made.append(d)
    for _ in range(fdp.ConsumeIntInRange(0, 4)):
        k = fdp.PickValueInList(STRS)(some_text(fdp)) if fdp.ConsumeBool() else fdp.PickValueInList([1, None, "a", "b"])
        dict.__setitem__(d, k, some_value(fdp, depth, made))
    return d


store = common.RawStore("docs")


def TestOneInput(data):
    fdp = atheris.FuzzedDataProvider(data)
    doc = some_dict(fdp, 1, []) if fdp.ConsumeIntInRange(0, 15) else some_value(fdp, 1, [])
    db = store.open()
    try:
        coll = db.collection("c")
        put = common.outcome(coll.put, 1, doc)
        if put[0] != "ok":
            return
        back = coll.get(1)
        common.check(common.same([(1, back)], list(coll.iter_(2, False))), "get and the scan disagree")
    finally:
        db.close()
    raw = store.raw()
    common.check(raw == bson.encode(back), "stored bytes are not pymongo's encoding of the read-back", doc, back)

if __name__ == "__main__":
    common.run("docs", TestOneInput, [b"", b"\x01" * 64, bytes(range(256))])

"""Documents to stored BSON and back, with pymongo's `bson` as the oracle both ways."""

import datetime as dt
import enum
import json
import math
import os
import struct
import sys

import bson
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import tarnel
from conftest import (CORPUS, KEY1, NamelessMeta, OtherText, Same, Unprintable, doc_bytes, plain,
                      raw_table, same, with_raw)

UTC = dt.timezone.utc
EPOCH = dt.datetime(1970, 1, 1)
US = dt.timedelta(microseconds=1)
MS = bson.DatetimeMS
AWARE = bson.CodecOptions(tz_aware=True)


tz = lambda hours: dt.timezone(dt.timedelta(hours=hours))  # noqa: E731
aware = lambda *a: dt.datetime(*a, tzinfo=UTC)  # noqa: E731


# Field order is the dict's own, whatever its methods say.
RawItems = type("RawItems", (dict,), {"__iter__": lambda self: iter(reversed(list(dict.keys(self)))),
                                      "items": lambda self: 1 / 0, "keys": lambda self: 1 / 0})
IntE = enum.IntEnum("IntE", {"A": 5})
MyFloat = type("MyFloat", (float,), {})
MyDatetime = type("MyDatetime", (dt.datetime,), {})

# value of field v, what bson.encode must give the same bytes for, what get gives back
WRITE = [
    (None, None), (True, True),
    (2147483647, 2147483647), (-2147483648, -2147483648),  # int32
    (2147483648, 2147483648), (-(2**63), -(2**63)),  # int64
    (IntE.A, 5), (type("MyInt", (int,), {})(2**40), 2**40),
    (-0.0, -0.0), (math.nan, math.nan), (MyFloat(2.5), 2.5),
    ("héllo €𝄞", "héllo €𝄞"), ("a\x00b", "a\x00b"),
    ("x\udfffy\ud83d", "x" + "\ufffd" * 3 + "y" + "\ufffd" * 3),
    (OtherText("mine"), "other"),
    (b"\x00\xff", b"\x00\xff"), (type("MyBytes", (bytes,), {})(b"ab"), b"ab"),
    ({"c": [], "d": {}}, {"c": [], "d": {}}),
    (type("MyList", (list,), {})([1, [{"a": None}]]), [1, [{"a": None}]]),
    (RawItems(z=1, a=2, m=3), {"z": 1, "a": 2, "m": 3}),
    ({OtherText("name"): OtherText("v"), "a.b": 2, "$x": 3}, {"name": "other", "a.b": 2, "$x": 3}),
    ({"x": 0, Same("a"): 1, "y": 2, Same("a"): 3, "a": 4}, {"x": 0, "a": 4, "y": 2}),
    ([{Same("k"): 1, Same("k"): 2}], [{"k": 2}]),
    # datetimes: milliseconds rounded half away from zero; naive ones are UTC
    (EPOCH, MS(0)), (EPOCH + 500 * US, MS(1)), (EPOCH - 500 * US, MS(-1)),
    (EPOCH + 1499 * US, MS(1)), (EPOCH - 1500 * US, MS(-2)), (EPOCH + 999_999 * US, MS(1000)),
    (dt.datetime(1970, 1, 1, 1, tzinfo=tz(1)), MS(0)),
    (MyDatetime(2020, 5, 6, 7, 8, 9, 123000, tzinfo=UTC), MS(1588748889123)),
    (dt.datetime(9999, 12, 31, 23, 59, 59, 999400), MS(253402300799999)),
    (dt.datetime(9999, 12, 31, 18, 59, 59, 999000, tzinfo=tz(-5)), MS(253402300799999)),
    (dt.datetime(1, 1, 1, 0, 0, 0, 499), MS(-62135596800000)),
    (dt.datetime(1, 1, 1, 5, tzinfo=tz(5)), MS(-62135596800000)),
]


@pytest.mark.parametrize("value,stored", WRITE, ids=lambda v: repr(v)[:30])
def test_stored_bytes_and_read_back(tmp_path, value, stored):
    db = tarnel.open(str(tmp_path / "f.db"))
    c = db.collection("c")
    c.put(1, {"v": value})
    got = c.get(1)
    db.close()
    assert raw_table(tmp_path / "f.db")[KEY1] == bson.encode({"v": stored})
    assert same(got, {"v": stored.as_datetime(AWARE) if isinstance(stored, MS) else stored})


def mutating(fn, text):
    """A str subclass whose str() runs `fn`."""
    return type("M", (str,), {"__str__": lambda self: (fn(), text)[1]})("x")


def under_walk(change, late=None):
    """A document that `change`s itself while its last value is converted."""
    doc = {"a": 1}
    doc["b"] = mutating(lambda: (doc.pop("a"), doc.update(c=late)) if change == "swap" else doc.update(n=1), "s")
    return doc


def self_containing():
    d = {}
    d["a"] = d
    return d


def nested(levels):
    doc = {"x": 1}
    for _ in range(levels - 1):
        doc = {"a": doc}
    return doc


Nameless = NamelessMeta("Nameless", (), {})
NaiveBoom = type("NaiveBoom", (dt.datetime,), {"timestamp": lambda self: 1 / 0})
Far = type("Far", (dt.datetime,), {"timestamp": lambda self: math.inf})
OUTSIDE = "datetime outside 0001-01-01 to 9999-12-31 UTC at $.a[1].t"
NUL = 'BSON error. Kind: Malformed BSON bytes. Message: cstring with interior null: '


@pytest.mark.parametrize("make,exc,message", [
    (lambda: [1, 2], "TypeError", "document must be a mapping, got list"),
    (lambda: Nameless(), "TypeError", "document must be a mapping, got "),
    (lambda: {"a": [{3: 0}]}, "TypeError", "non-string field name at $.a[0]"),
    (lambda: {"\ud800": 1}, "TypeError", "non-string field name at $"),
    (lambda: {"a": [-(2**63) - 1]}, "ValueError", "int out of 64-bit range at $.a[0]"),
    (lambda: {"a": [0, {"b": {1}}]}, "TypeError", "unsupported type set at $.a[1].b"),
    (lambda: {"a.b": dt.date(2020, 1, 1)}, "TypeError", "unsupported type date at $.a.b"),
    (lambda: {"a": Nameless()}, "LookupError", "no name"),
    (lambda: {"a": NaiveBoom(2020, 1, 1)}, "ZeroDivisionError", "division by zero"),
    (lambda: {"x": {"a\x00\n\"é": 1}, "b\x00": 2}, "Error", NUL + '"a\\0\\n\\"é".'),
    (lambda: {"a\x00": 1, "b": (1,)}, "TypeError", "unsupported type tuple at $.b"),
    (lambda: nested(101), "ValueError", "document nested deeper than 100 levels at $" + ".a" * 100),
    (lambda: {"l": [self_containing()]}, "ValueError",
     "document nested deeper than 100 levels at $.l[0]" + ".a" * 98),
    (lambda: {"a": [0, {"t": dt.datetime(9999, 12, 31, 23, 59, 59, 999500)}]}, "ValueError", OUTSIDE),
    (lambda: {"a": [0, {"t": dt.datetime(1, 1, 1, 4, 59, 59, 999000, tzinfo=tz(5))}]},
     "ValueError", OUTSIDE),
    (lambda: {"a": [0, {"t": Far(2000, 1, 1, tzinfo=UTC)}]}, "ValueError", OUTSIDE),
    (lambda: {"a": (1,), "t": dt.datetime.max}, "TypeError", "unsupported type tuple at $.a"),
    (lambda: under_walk("grow"), "PanicException", "dictionary changed size during iteration"),
    (lambda: under_walk("swap", 3), "PanicException", "dictionary keys changed during iteration"),
    # the extra entry is converted before the walk notices; its own error comes first
    (lambda: under_walk("swap", (1,)), "TypeError", "unsupported type tuple at $.c"),
], ids=lambda v: repr(v)[:40] if isinstance(v, str) else None)
def test_refused(coll, make, exc, message):
    coll.put(1, {"before": True})
    with pytest.raises(BaseException) as info:
        coll.put(1, make())
    assert (type(info.value).__name__, str(info.value)) == (exc, message)
    assert isinstance(info.value, Exception) == (exc != "PanicException")
    assert coll.get(1) == {"before": True}


LIMIT = 2_147_479_536  # with 4 KiB pages: LMDB writes at most 2,147,479,552 bytes per call


def needs_memory(gib, what):
    """Skips, saying why, unless the kernel reports `gib` GiB available: pages are committed
    lazily, so an allocation beyond it ends the whole run (the OOM killer), not in MemoryError."""
    with open("/proc/meminfo") as f:
        available = next(int(line.split()[1]) for line in f if line.startswith("MemAvailable:")) << 10
    if available < gib << 30:
        pytest.skip(f"{what} needs {gib} GiB of available memory; {available / 2**30:.1f} GiB here")


@pytest.mark.skipif(os.sysconf("SC_PAGESIZE") != 4096, reason="the limit follows the page size")
def test_largest_document():
    coll = tarnel.open().collection("c")
    needs_memory(3, "a 2 GiB document")
    blob = b"x" * (LIMIT - 12)  # {"a": blob} encodes to len(blob) + 13 bytes
    with pytest.raises(tarnel.Error, match=f"^document too large: its BSON encoding would exceed {LIMIT} bytes$"):
        coll.put(1, {"a": blob})
    with pytest.raises(TypeError, match=r"unsupported type tuple at \$\.c"):  # conversion errors first
        coll.put(1, {"a": blob, "c": ()})
    del blob
    # The value, its encoding, the engine's copy of its pages and the in-memory file: 8 GiB.
    needs_memory(9, "writing the largest document")
    coll.put(1, {"a": b"x" * (LIMIT - 13)})  # the largest one is written
    assert coll.len() == 1


Stop = type("Stop", (BaseException,), {})


def text(exc):
    return type("Text", (str,), {"__str__": lambda self: (_ for _ in ()).throw(exc)})("t")


# Each call meets the exception in str() (or len()) of a user object.
@pytest.mark.parametrize("call", [
    lambda c, e: c.put((1, text(e)), {}),
    lambda c, e: c.prefix_(text(e), 0),
    lambda c, e: c.put_many([(i, {}) for i in range(99)] + [(0, {"v": [text(e)]})]),
    lambda c, e: c.put_many(type("Items", (list,), {"__len__": lambda self: (_ for _ in ()).throw(e)})([(1, {})])),
    lambda c, e: c.get(type("Key", (str,), {"__repr__": lambda self: text(e)})("k")),
])
@pytest.mark.parametrize("exc", [KeyboardInterrupt, Stop])
def test_base_exceptions_propagate_and_nothing_is_written(coll, monkeypatch, call, exc):
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", seen.append)
    with pytest.raises(exc) as info:
        call(coll, exc)
    assert info.type is exc and seen == [] and coll.len() == 0


def test_hostile_values_under_the_walk(coll, monkeypatch):
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", seen.append)

    shrink = []
    shrink += [mutating(shrink.clear, "s"), 1, 2]
    grow = [mutating(lambda: grow.append(9), "e"), 1]
    doc = {"a": [mutating(lambda: (doc.clear(), doc.update(a=None, b=None)), "d"), [1, 2]], "b": 1}
    coll.put(1, {"s": shrink, "g": grow, "x": doc, "u": Unprintable("x")})
    assert coll.get(1) == {"s": ["s"], "g": ["e", 1], "x": {"a": ["d", [1, 2]], "b": None},
                           "u": "<unprintable Unprintable object>"}
    assert len(seen) == 1 and isinstance(seen[0].exc_value, RuntimeError)


frame = lambda message: rf"^BSON error\. Kind: Malformed BSON bytes\. Message: {message}\.$"  # noqa: E731
unexpected = lambda kind: rf"^unexpected BSON element {kind}.* in stored document$"  # noqa: E731
MALFORMED = r"^BSON error.*Kind: Malformed BSON bytes"
UTF8 = r"^BSON error.*\. Kind: Invalid UTF-8\.$"


def deep(levels, leaf=b"\x10x\x00\x01\x00\x00\x00"):
    raw = doc_bytes(leaf)
    for _ in range(levels - 1):
        raw = doc_bytes(b"\x03a\x00" + raw)
    return raw


def element(kind):  # nested in an array in a document
    return doc_bytes(b"\x04l\x00" + doc_bytes(b"\x100\x00\x01\x00\x00\x00", b"\x031\x00" + doc_bytes(kind)))


# stored bytes, and the document read back or (exception, message pattern)
READ = [
    (bson.encode({"v": bson.Int64(-5), "w": -5}), {"v": -5, "w": -5}),
    (bson.encode({"v": bson.Binary(b"xy", 0x80)}), {"v": b"xy"}),
    (doc_bytes(b"\x05v\x00" + struct.pack("<i", 7) + b"\x02" + struct.pack("<i", 3) + b"abc"), {"v": b"abc"}),
    (bson.encode({"v": MS(-1)}), {"v": aware(1969, 12, 31, 23, 59, 59, 999000)}),
    (bson.encode({"v": MS(253402300799999)}), {"v": aware(9999, 12, 31, 23, 59, 59, 999000)}),
    (bson.encode({"v": MS(-62135596800000)}), {"v": aware(1, 1, 1)}),
    (doc_bytes(b"\x10a\x00\x01\x00\x00\x00", b"\x10b\x00\x02\x00\x00\x00", b"\x02a\x00\x02\x00\x00\x00z\x00"),
     {"a": "z", "b": 2}),
    (deep(100), nested(100)),
    (bson.encode({"v": MS(2**62)}), (ValueError, None)),
    (b"\x05\x00\x00\x00", (tarnel.Error, frame("document too short"))),
    (b"\x05\x00\x00\x00\x00\x00", (tarnel.Error, frame("document length incorrect"))),
    (b"\x05\x00\x00\x00\x01", (tarnel.Error, frame("document not null-terminated"))),
    (doc_bytes(b"\x10a\x00\x01\x00"), (tarnel.Error, MALFORMED)),
    (doc_bytes(b"\x02a\x00\xff\x00\x00\x00x\x00"), (tarnel.Error, MALFORMED)),
    (doc_bytes(b"\x03a\x00\x05\x00\x00\x00\x01"), (tarnel.Error, MALFORMED)),
    (doc_bytes(b"\x42a\x00\x01\x00\x00\x00"), (tarnel.Error, MALFORMED)),
    (doc_bytes(b"\x10\xff\x00\x01\x00\x00\x00"), (tarnel.Error, UTF8)),
    (doc_bytes(b"\x02a\x00\x04\x00\x00\x00\xed\xa0\x80\x00"), (tarnel.Error, UTF8)),
    (doc_bytes(b"\x04a\x00" + doc_bytes(b"\x020\x00\x02\x00\x00\x00\xc0\x00")), (tarnel.Error, UTF8)),
    (deep(101), (tarnel.Error, "deeper than 100")),
    (element(b"\x07v\x00" + bytes.fromhex("56e1fc72e0c917e9c4714161")), (tarnel.Error, unexpected(r'ObjectId\("56e1fc72e0c917e9c4714161"\)'))),
    (element(b"\x0bv\x00a\x00\xff\x00"), (tarnel.Error, UTF8)),
    (element(b"\x0cv\x00\x02\x00\x00\x00n\x00" + b"\x01" * 12), (tarnel.Error, unexpected(r'DbPointer\(namespace: "n"'))),
    (element(b"\x11v\x00" + b"\x01" * 8), (tarnel.Error, unexpected(r"Timestamp\(time: 16843009"))),
    (element(b"\x7fv\x00"), (tarnel.Error, unexpected("MaxKey"))),
]


def corpus():
    """The BSON standard's corpus: valid documents read back as pymongo reads them (an element of
    a kind we do not map makes the read raise), every document a decoder must refuse raises."""
    opts = bson.CodecOptions(tz_aware=True, datetime_conversion=bson.DatetimeConversion.DATETIME_AUTO)
    if not CORPUS.is_dir():
        yield pytest.param(None, None, marks=pytest.mark.skip(reason=f"no BSON corpus at {CORPUS}"))
    for f in sorted(CORPUS.glob("*.json")):
        suite = json.loads(f.read_text())
        for case in suite.get("valid", []):
            raw = bytes.fromhex(case["canonical_bson"])
            try:  # a suite of a kind we do not map may hold only mapped ones (Undefined reads as None)
                want = plain(bson.decode(raw, codec_options=opts))
                assert int(suite["bson_type"], 16) in (0, 1, 2, 3, 4, 5, 8, 9, 0x0A, 0x10, 0x12)
            except ValueError:
                want = (ValueError, "out of range")
            except (KeyError, AssertionError):
                want = (tarnel.Error, unexpected(""))
            yield pytest.param(raw, want, id=f"{f.stem}: {case['description']}")
        for case in suite.get("decodeErrors", []):
            yield pytest.param(bytes.fromhex(case["bson"]), (tarnel.Error, None), id=f"{f.stem}: {case['description']}")


@pytest.mark.parametrize("raw,expected", READ + list(corpus()), ids=lambda v: None if isinstance(v, bytes) else repr(v)[:30])
def test_read(tmp_path, raw, expected):
    c = with_raw(tmp_path / "f.db", KEY1, raw).collection("c")
    if isinstance(expected, dict):
        assert same(c.get(1), expected)
    else:
        with pytest.raises(expected[0], match=expected[1]):
            c.get(1)


NAME = st.text(max_size=6).filter(lambda s: "\x00" not in s)
SCALAR = (st.none() | st.booleans() | st.integers(-(2**63), 2**63 - 1) | st.floats(allow_nan=False) |
          st.text(st.characters(blacklist_categories=("Cs",))) | st.binary() |
          st.datetimes(timezones=st.just(UTC)).map(lambda d: d.replace(microsecond=d.microsecond // 1000 * 1000)))
DOCUMENT = st.recursive(st.dictionaries(NAME, SCALAR, max_size=5),
                        lambda inner: st.dictionaries(NAME, inner | st.lists(inner | SCALAR, max_size=4), max_size=4),
                        max_leaves=20)


@settings(max_examples=150, deadline=None)
@given(DOCUMENT)
def test_documents_match_independent_encoder(tmp_path_factory, doc):
    path = tmp_path_factory.mktemp("h") / "f.db"
    db = tarnel.open(str(path))
    c = db.collection("c")
    c.put(1, doc)
    assert same(c.get(1), doc)
    db.close()
    assert raw_table(path)[KEY1] == bson.encode(doc)

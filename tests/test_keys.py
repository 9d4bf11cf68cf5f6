"""Keys: accepted types, stored key bytes, key order, decoding of stored keys, prefixes."""

import sys
from collections import namedtuple

import lmdb
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import tarnel

I64_MIN, I64_MAX = -(2**63), 2**63 - 1

needs_scans = pytest.mark.skipif(
    not hasattr(tarnel.Collection, "iter_"), reason="Collection.iter_ not built yet"
)
needs_prefix = pytest.mark.skipif(
    not hasattr(tarnel.Collection, "prefix_"), reason="Collection.prefix_ not built yet"
)
needs_first = pytest.mark.skipif(
    not hasattr(tarnel.Collection, "first"), reason="Collection.first not built yet"
)


@pytest.fixture
def coll():
    db = tarnel.open()
    yield db.collection("c")
    db.close()


def raw_env(path, **kw):
    return lmdb.open(str(path), subdir=False, lock=False, max_dbs=16, **kw)


def stored_keys(path):
    env = raw_env(path, readonly=True)
    try:
        dbi = env.open_db(b"c", create=False)
        with env.begin(db=dbi) as txn:
            return [k for k, _ in txn.cursor()]
    finally:
        env.close()


def store_raw_key(path, raw):
    """A file db whose collection 'c' holds one entry under the raw key bytes `raw`."""
    db = tarnel.open(str(path))
    db.collection("c").put("seed", {"v": 1})
    db.close()
    env = raw_env(path)
    try:
        dbi = env.open_db(b"c", create=False)
        with env.begin(db=dbi, write=True) as txn:
            seed = b"\x02seed\x00"
            doc = txn.get(seed)
            txn.delete(seed)
            txn.put(raw, doc)
    finally:
        env.close()


def as_read_back(key):
    return key[0] if isinstance(key, tuple) and len(key) == 1 else key


# The empty key has no bytes of its own; the storage layer keeps it as the single byte 00.
KEY_BYTES = [
    (0, "01 80 00 00 00 00 00 00 00"),
    (1, "01 80 00 00 00 00 00 00 01"),
    (-1, "01 7F FF FF FF FF FF FF FF"),
    (256, "01 80 00 00 00 00 00 01 00"),
    (I64_MIN, "01 00 00 00 00 00 00 00 00"),
    (I64_MAX, "01 FF FF FF FF FF FF FF FF"),
    ("", "02 00"),
    ("ab", "02 61 62 00"),
    ("a\x00b", "02 61 00 FF 62 00"),
    ("é", "02 C3 A9 00"),
    (b"", "03 00"),
    (b"\x00", "03 00 FF 00"),
    (b"ab\xff", "03 61 62 FF 00"),
    (("ab", 1), "02 61 62 00 01 80 00 00 00 00 00 00 01"),
    ((1, "x", b"y"), "01 80 00 00 00 00 00 00 01 02 78 00 03 79 00"),
    ((), "00"),
    ("\ud800", "02 EF BF BD EF BF BD EF BF BD 00"),
]


@pytest.mark.parametrize("key,hexbytes", KEY_BYTES, ids=repr)
def test_stored_key_bytes(tmp_path, key, hexbytes):
    db = tarnel.open(str(tmp_path / "f.db"))
    db.collection("c").put(key, {})
    db.close()
    assert stored_keys(tmp_path / "f.db") == [bytes.fromhex(hexbytes)]


class Named(str):
    def __str__(self):
        return "shown"


class Unprintable(str):
    def __str__(self):
        raise RuntimeError("no text")


class Big(int):
    def __index__(self):
        raise AssertionError("__index__ must not be called")

    __int__ = __index__


class Evasive(tuple):
    def __len__(self):
        raise AssertionError("__len__ must not be called")

    __iter__ = __getitem__ = __len__


Pair = namedtuple("Pair", "a b")


@pytest.mark.parametrize(
    "key,same_as",
    [
        ((1,), 1),
        (Pair("a", 1), ("a", 1)),
        (Evasive(("a", 1)), ("a", 1)),
        (Big(7), 7),
        (Named("own"), "shown"),
        ("\ud800", "\ufffd" * 3),
        ("\udfff", "\ufffd" * 3),
        ("x\ud83dy", "x\ufffd\ufffd\ufffdy"),
        (type("B", (bytes,), {})(b"q\x00"), b"q\x00"),
    ],
    ids=repr,
)
def test_same_key(coll, key, same_as):
    coll.put(same_as, {"v": 1})
    coll.put(key, {"v": 2})
    assert coll.get(same_as) == {"v": 2}
    if hasattr(coll, "iter_"):
        assert list(coll.iter_(0, False)) == [as_read_back(same_as)]


def test_unprintable_str_subclass(coll, monkeypatch):
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", lambda u: seen.append((u.exc_type, u.object)))
    key = Unprintable("x")
    coll.put(key, {})
    assert [t for t, _ in seen] == [RuntimeError] and seen[0][1] is key
    assert coll.get("<unprintable Unprintable object>") == {}


class NamelessMeta(type):
    @property
    def __name__(cls):
        raise LookupError("no name")


BOOL = (TypeError, "bool is not a valid key type")
RANGE = (ValueError, "int key outside 64-bit range")


def invalid(name):
    return (TypeError, f"invalid key type {name} (expected str | int | bytes | tuple of those)")


BAD_KEYS = [
    (True, BOOL),
    (False, BOOL),
    ((1, True), BOOL),
    (2**63, RANGE),
    (I64_MIN - 1, RANGE),
    (("a", 2**64), RANGE),
    (1.0, invalid("float")),
    (None, invalid("NoneType")),
    ([1], invalid("list")),
    (bytearray(b"x"), invalid("bytearray")),
    (memoryview(b"x"), invalid("memoryview")),
    (((1,),), invalid("tuple")),
    (("a", None, True), invalid("NoneType")),  # the first bad item decides
    (NamelessMeta("N", (), {})(), (LookupError, "no name")),
]


@pytest.mark.parametrize("key,expected", BAD_KEYS, ids=repr)
@pytest.mark.parametrize("op", ["put", "get"])
def test_bad_key(coll, op, key, expected):
    exc, msg = expected
    with pytest.raises(exc) as info:
        coll.put(key, {}) if op == "put" else coll.get(key)
    assert type(info.value) is exc and info.value.args == (msg,)
    assert info.value.__cause__ is None and not getattr(info.value, "__notes__", None)


def test_bad_key_before_closed_check():
    db = tarnel.open()
    c = db.collection("c")
    db.close()
    with pytest.raises(TypeError, match="bool is not a valid key type"):
        c.put(True, {})


# Each chain is strictly ascending in key order.
ORDERED = [
    [(), ("ab",), ("ab", 1), ("ab", "x"), ("ab\x00",), ("abc",)],
    [-1, 0, 1, "", "a", "a\x00", "ab", b"", b"\x00"],
    ["b", ("b", 0), ("b", "c"), "b\x00", "bc"],
    [I64_MIN, -256, -1, 0, 255, 256, I64_MAX, "", "\x7f", "é", "\uffff", "\U0001f600"],
    [(I64_MAX, "z" * 50), "", (b"",), b"\x00\xff", b"\x01", b"\xff\xff"],
]


@needs_scans
@pytest.mark.parametrize("chain", ORDERED, ids=str)
def test_order(coll, chain):
    for k in reversed(chain):
        coll.put(k, {})
    assert list(coll.iter_(0, False)) == [as_read_back(k) for k in chain]


TEXT = st.text(st.characters(blacklist_categories=("Cs",)), max_size=6)
PART = st.one_of(st.integers(I64_MIN, I64_MAX), TEXT, st.binary(max_size=6))
KEY = st.one_of(PART, st.lists(PART, max_size=4).map(tuple))


def model(key):
    """Key order as a sort key: ints < strs < bytes per part, a key before its extensions."""
    parts = key if isinstance(key, tuple) else (key,)
    rank = lambda p: 0 if isinstance(p, int) else 1 if isinstance(p, str) else 2  # noqa: E731
    return tuple((rank(p), p) for p in parts)


@needs_scans
@settings(max_examples=150, deadline=None)
@given(st.lists(KEY, max_size=30))
def test_order_and_round_trip_match_model(keys):
    db = tarnel.open()
    c = db.collection("c")
    for k in keys:
        c.put(k, {})
    expected = sorted({model(k): as_read_back(k) for k in keys}.items())
    got = list(c.iter_(0, False))
    assert got == [k for _, k in expected]
    db.close()


DECODED = [
    ("02 61 00", "a"),
    ("02 61 00 02 62 00", ("a", "b")),
    ("02 61 00 FF 62 00", "a\x00b"),
    ("03 00 FF 00 FF 00", b"\x00\x00"),
    ("01 80 00 00 00 00 00 00 01 03 00", (1, b"")),
]

MALFORMED = [
    ("01 80 00 00 00 00 00 00", "truncated int key"),
    ("02 61 00 01 80", "truncated int key"),
    ("02", "unterminated key component"),
    ("02 61", "unterminated key component"),
    ("02 61 00 FF", "unterminated key component"),
    ("03 00 FF 00 FF", "unterminated key component"),
    ("00 61", "bad key tag 0x0"),
    ("04", "bad key tag 0x4"),
    ("FF 00", "bad key tag 0xff"),
    ("02 61 00 05", "bad key tag 0x5"),
    ("02 FF 00", "invalid utf-8 sequence of 1 bytes from index 0"),
    ("02 61 C3 00", "incomplete utf-8 byte sequence from index 1"),
    ("02 61 00 FF C3 00", "incomplete utf-8 byte sequence from index 2"),  # unescaped offset
    ("02 E0 80 80 00", "invalid utf-8 sequence of 1 bytes from index 0"),  # overlong
    ("02 61 ED A0 80 00", "invalid utf-8 sequence of 1 bytes from index 1"),  # surrogate
    ("02 F0 9F 98 41 00", "invalid utf-8 sequence of 3 bytes from index 0"),
    ("02 E2 82 00", "incomplete utf-8 byte sequence from index 0"),
    ("03 FF 00 02 C3 28 00", "invalid utf-8 sequence of 1 bytes from index 0"),
]


@needs_scans
@pytest.mark.parametrize("hexbytes,key", DECODED, ids=str)
def test_decode_stored(tmp_path, hexbytes, key):
    store_raw_key(tmp_path / "f.db", bytes.fromhex(hexbytes))
    db = tarnel.open(str(tmp_path / "f.db"))
    assert list(db.collection("c").iter_(0, False)) == [key]
    db.close()


@needs_scans
@pytest.mark.parametrize("hexbytes,msg", MALFORMED, ids=str)
def test_malformed_stored_key(tmp_path, hexbytes, msg):
    store_raw_key(tmp_path / "f.db", bytes.fromhex(hexbytes))
    db = tarnel.open(str(tmp_path / "f.db"))
    c = db.collection("c")
    with pytest.raises(tarnel.Error) as info:
        next(c.iter_(0, False))
    assert info.value.args == (msg,)
    if hasattr(c, "first"):
        with pytest.raises(tarnel.Error) as info:
            c.first()
        assert info.value.args == (msg,)
    db.close()


PREFIX_KEYS = [
    1, 2, (1, "x"), (1, 2, 3), (2, 1),
    "a", "ab", "abc", "ab\x00", "a\x00", "a\x00b", ("a", "b"), ("a", 1), ("a\x00", 1),
    ("ab", 1), ("ab", "x"), ("abc", 2), ("ab\x00c", 5),
    b"ab", b"\xff", b"\xff\x00", (b"\xff\xff", 1), b"\xfe",
]  # fmt: skip

PREFIXES = [
    ("ab", ["ab", ("ab", 1), ("ab", "x"), "ab\x00", ("ab\x00c", 5), "abc", ("abc", 2)]),
    (("ab",), ["ab", ("ab", 1), ("ab", "x"), "ab\x00", ("ab\x00c", 5)]),
    ("a\x00", ["a\x00", ("a\x00", 1), "a\x00b"]),
    ((1,), [1, (1, 2, 3), (1, "x")]),
    ((1, "x"), [(1, "x")]),
    (b"\xff", [b"\xff", b"\xff\x00", (b"\xff\xff", 1)]),
    (b"", [b"ab", b"\xfe", b"\xff", b"\xff\x00", (b"\xff\xff", 1)]),
    (Named("ab"), []),  # str() gives "shown": the subclass's own text is not the prefix
]


@needs_prefix
@pytest.mark.parametrize("p,selected", PREFIXES, ids=repr)
def test_prefix_selects(coll, p, selected):
    for k in PREFIX_KEYS:
        coll.put(k, {})
    assert list(coll.prefix_(p, 0)) == selected


@needs_prefix
def test_prefix_empty_str_and_tuple(coll):
    for k in PREFIX_KEYS:
        coll.put(k, {})
    everything = list(coll.iter_(0, False))
    assert list(coll.prefix_((), 0)) == everything
    assert list(coll.prefix_("", 0)) == [k for k in everything if model(k)[0][0] == 1]


@needs_prefix
@settings(max_examples=100, deadline=None)
@given(st.lists(st.one_of(TEXT, st.tuples(TEXT, PART)), max_size=20), TEXT)
def test_str_prefix_matches_model(keys, p):
    db = tarnel.open()
    c = db.collection("c")
    for k in keys:
        c.put(k, {})
    first = lambda k: k[0] if isinstance(k, tuple) else k  # noqa: E731
    expected = sorted({model(k): k for k in keys if first(k).startswith(p)}.items())
    assert list(c.prefix_(p, 0)) == [k for _, k in expected]
    db.close()


PREFIX_INT = (TypeError, "prefix must be str, bytes, or a tuple of key components")


@needs_prefix
@pytest.mark.parametrize(
    "p,expected",
    [
        (1, PREFIX_INT),
        (Big(1), PREFIX_INT),
        (2**63, RANGE),
        (True, BOOL),
        ((True,), BOOL),
        (1.5, invalid("float")),
        (("a", 1.5), invalid("float")),
    ],
    ids=repr,
)
def test_bad_prefix(coll, p, expected):
    exc, msg = expected
    with pytest.raises(exc) as info:
        coll.prefix_(p, 0)
    assert type(info.value) is exc and info.value.args == (msg,)

"""Keys: accepted types, stored key bytes, key order, decoding of stored keys, prefixes."""

import sys
from collections import namedtuple

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import tarnel
from conftest import I64_MAX, I64_MIN, NamelessMeta, OtherText, Unprintable, raw_table, with_raw

# The empty key is stored as the single byte 00.
KEY_BYTES = [
    (0, "01 80 00 00 00 00 00 00 00"),
    (-1, "01 7F FF FF FF FF FF FF FF"),
    (256, "01 80 00 00 00 00 00 01 00"),
    (I64_MIN, "01 00 00 00 00 00 00 00 00"),
    (I64_MAX, "01 FF FF FF FF FF FF FF FF"),
    ("a\x00b", "02 61 00 FF 62 00"),
    ("é", "02 C3 A9 00"),
    (b"", "03 00"),
    (b"ab\xff\x00", "03 61 62 FF 00 FF 00"),
    ((1, "x", b"y"), "01 80 00 00 00 00 00 00 01 02 78 00 03 79 00"),
    ((), "00"),
    ("\ud800", "02 EF BF BD EF BF BD EF BF BD 00"),
]


@pytest.mark.parametrize("key,hexbytes", KEY_BYTES, ids=repr)
def test_stored_key_bytes(tmp_path, key, hexbytes):
    db = tarnel.open(str(tmp_path / "f.db"))
    db.collection("c").put(key, {})
    db.close()
    assert list(raw_table(tmp_path / "f.db")) == [bytes.fromhex(hexbytes)]


def refuse(self, *a):
    raise AssertionError("the key's own methods must not be called")


Big = type("Big", (int,), {"__index__": refuse, "__int__": refuse})
Evasive = type("Evasive", (tuple,), {"__len__": refuse, "__iter__": refuse, "__getitem__": refuse})


@pytest.mark.parametrize("key,same_as", [
    ((1,), 1),
    (namedtuple("Pair", "a b")("a", 1), ("a", 1)),
    (Evasive(("a", 1)), ("a", 1)),
    (Big(7), 7),
    (OtherText("own"), "other"),
    (Unprintable("x"), "<unprintable Unprintable object>"),
    ("x\udfffy\ud83d", "x\ufffd\ufffd\ufffdy\ufffd\ufffd\ufffd"),
    (type("B", (bytes,), {})(b"q\x00"), b"q\x00"),
], ids=repr)
def test_same_key(coll, monkeypatch, key, same_as):
    monkeypatch.setattr(sys, "unraisablehook", lambda u: None)
    coll.put(same_as, {"v": 1})
    coll.put(key, {"v": 2})
    assert coll.get(same_as) == {"v": 2}
    assert list(coll.iter_(0, False)) == [same_as]


BOOL = (TypeError, "bool is not a valid key type")
RANGE = (ValueError, "int key outside 64-bit range")


def invalid(name):
    return (TypeError, f"invalid key type {name} (expected str | int | bytes | tuple of those)")


@pytest.mark.parametrize("key,expected", [
    (True, BOOL),
    ((1, True), BOOL),
    (2**63, RANGE),
    (("a", I64_MIN - 1), RANGE),
    (1.0, invalid("float")),
    (bytearray(b"x"), invalid("bytearray")),
    (((1,),), invalid("tuple")),
    (("a", None, True), invalid("NoneType")),  # the first bad item decides
    (NamelessMeta("N", (), {})(), (LookupError, "no name")),
], ids=repr)
@pytest.mark.parametrize("op", ["put", "get"])
def test_bad_key(coll, op, key, expected):
    exc, msg = expected
    with pytest.raises(exc) as info:
        coll.put(key, {}) if op == "put" else coll.get(key)
    assert type(info.value) is exc and info.value.args == (msg,)
    assert info.value.__cause__ is None and not getattr(info.value, "__notes__", None)


def rank(key):
    """Key order as a sort key: ints < strs < bytes per part, a key before its extensions."""
    parts = key if isinstance(key, tuple) else (key,)
    return tuple((0 if isinstance(p, int) else 1 if isinstance(p, str) else 2, p) for p in parts)


def back(key):
    return key[0] if isinstance(key, tuple) and len(key) == 1 else key


TEXT = st.text(st.characters(blacklist_categories=("Cs",)), max_size=5)
PART = st.one_of(st.integers(I64_MIN, I64_MAX), TEXT, st.binary(max_size=5))
KEY = st.one_of(PART, st.lists(PART, max_size=4).map(tuple))


@settings(max_examples=150, deadline=None)
@given(st.lists(KEY, max_size=25), TEXT)
def test_order_and_prefix_match_model(keys, p):
    db = tarnel.open()
    c = db.collection("c")
    c.put_many([(k, {}) for k in keys])
    expected = [k for _, k in sorted({rank(k): back(k) for k in keys}.items())]
    assert list(c.iter_(0, False)) == expected
    first = lambda k: (k[:1] or (None,))[0] if isinstance(k, tuple) else k  # noqa: E731
    assert list(c.prefix_(p, 0)) == [k for k in expected if isinstance(first(k), str) and
                                     first(k).startswith(p)]
    db.close()


@pytest.mark.parametrize("hexbytes,read", [
    ("02 61 00 02 62 00", ("a", "b")),
    ("03 00 FF 00 FF 00", b"\x00\x00"),
    ("01 80 00 00 00 00 00 00 01 03 00", (1, b"")),
    ("01 80 00 00 00 00 00 00", "truncated int key"),
    ("02 61 00 01 80", "truncated int key"),
    ("02", "unterminated key component"),
    ("02 61 00 FF", "unterminated key component"),
    ("03 00 FF 00 FF", "unterminated key component"),
    ("04", "bad key tag 0x4"),
    ("02 61 00 FF 62 00 FF 00 05", "bad key tag 0x5"),
    ("02 61 C3 00", "incomplete utf-8 byte sequence from index 1"),
    ("02 61 00 FF C3 00", "incomplete utf-8 byte sequence from index 2"),  # unescaped offset
    ("02 E0 80 80 00", "invalid utf-8 sequence of 1 bytes from index 0"),  # overlong
    ("02 61 ED A0 80 00", "invalid utf-8 sequence of 1 bytes from index 1"),  # surrogate
    ("02 F0 9F 98 41 00", "invalid utf-8 sequence of 3 bytes from index 0"),
    ("02 E2 82 00", "incomplete utf-8 byte sequence from index 0"),
], ids=str)
def test_decode_stored(tmp_path, hexbytes, read):
    db = with_raw(tmp_path / "f.db", bytes.fromhex(hexbytes), b"\x05\x00\x00\x00\x00")
    c = db.collection("c")
    if isinstance(read, str) and " " in read:
        for call in (lambda: next(c.iter_(0, False)), c.first):
            with pytest.raises(tarnel.Error) as info:
                call()
            assert info.value.args == (read,)
    else:
        assert list(c.iter_(0, False)) == [read] and c.last()[0] == read
    db.close()


# Mostly well-formed stored keys, built part by part, with now and then a damaged byte.
RAW_PART = st.one_of(
    st.binary(min_size=8, max_size=8).map(lambda b: b"\x01" + b),
    st.tuples(st.sampled_from(b"\x02\x03"), st.binary(max_size=6)).map(
        lambda t: bytes([t[0]]) + t[1].replace(b"\x00", b"\x00\xff") + b"\x00"))
RAW_KEY = st.tuples(st.lists(RAW_PART, min_size=1, max_size=3).map(b"".join),
                    st.integers(0, 40), st.integers(0, 255)).map(
    lambda t: t[0][:t[1]] + bytes([t[2]]) + t[0][t[1] + 1:] if t[1] < len(t[0]) else t[0])


@settings(max_examples=60, deadline=None)
@given(RAW_KEY)
def test_stored_key_that_decodes_encodes_to_itself(tmp_path_factory, raw):
    db = with_raw(tmp_path_factory.mktemp("k") / "f.db", raw, b"\x05\x00\x00\x00\x00")
    c = db.collection("c")
    try:
        [key] = list(c.iter_(0, False))
    except tarnel.Error:
        pass  # refused as a damaged key
    else:
        assert c.contains(key) and list(c.range_(key, None, 0)) == [key]
    db.close()


PREFIX_KEYS = [
    1, 2, (1, "x"), (1, 2, 3), (2, 1),
    "a", "ab", "abc", "ab\x00", "a\x00", ("a", "b"), ("a\x00", 1),
    ("ab", 1), ("ab", "x"), ("abc", 2), ("ab\x00c", 5),
    b"ab", b"\xff", b"\xff\x00", (b"\xff\xff", 1), b"\xfe",
]  # fmt: skip


@pytest.mark.parametrize("p,selected", [
    ("ab", ["ab", ("ab", 1), ("ab", "x"), "ab\x00", ("ab\x00c", 5), "abc", ("abc", 2)]),
    (("ab",), ["ab", ("ab", 1), ("ab", "x"), "ab\x00", ("ab\x00c", 5)]),
    ("a\x00", ["a\x00", ("a\x00", 1)]),
    ((1,), [1, (1, 2, 3), (1, "x")]),
    ((1, "x"), [(1, "x")]),
    (b"\xff", [b"\xff", b"\xff\x00", (b"\xff\xff", 1)]),
    (b"", [b"ab", b"\xfe", b"\xff", b"\xff\x00", (b"\xff\xff", 1)]),
    ((), None),  # everything
    (OtherText("ab"), []),  # str() gives "other": the subclass's own text is not the prefix
    (1, (TypeError, "prefix must be str, bytes, or a tuple of key components")),
    (2**63, RANGE),
    ((True,), BOOL),
    (("a", 1.5), invalid("float")),
], ids=repr)
def test_prefix_selects(coll, p, selected):
    coll.put_many([(k, {}) for k in PREFIX_KEYS])
    if isinstance(selected, tuple):
        with pytest.raises(selected[0]) as info:
            coll.prefix_(p, 0)
        assert type(info.value) is selected[0] and info.value.args == (selected[1],)
    else:
        assert list(coll.prefix_(p, 0)) == (list(coll.iter_(0, False)) if selected is None else selected)

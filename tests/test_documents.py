"""Documents: the mapping of Python values to BSON and back, through put and get.

Stored bytes are checked against pymongo's `bson`, an independent BSON implementation: what we
write is read from the closed database file with py-lmdb, and foreign bytes are written into the
table with py-lmdb and read back with `get`.
"""

import datetime as dt
import enum
import math
import os
import struct
import sys
import time

import bson
import lmdb
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import tarnel
from conftest import KEY1, read_foreign

UTC = dt.timezone.utc
EPOCH = dt.datetime(1970, 1, 1)


@pytest.fixture
def coll():
    db = tarnel.open()
    yield db.collection("c")
    db.close()


def stored_bytes(path, doc):
    """The bytes that put(1, doc) stores, read from the closed file."""
    db = tarnel.open(str(path))
    db.collection("c").put(1, doc)
    db.close()
    env = lmdb.open(str(path), subdir=False, readonly=True, lock=False, max_dbs=16)
    try:
        table = env.open_db(b"c", create=False)
        with env.begin(db=table) as txn:
            return bytes(txn.get(KEY1))
    finally:
        env.close()


def doc_bytes(*elements):
    """A BSON document framing raw element bytes."""
    body = b"".join(elements)
    return struct.pack("<i", len(body) + 5) + body + b"\x00"


def same(a, b):
    """Equality that also tells types apart and treats NaN and signed zeros exactly."""
    if type(a) is not type(b):
        return False
    if isinstance(a, float):
        return struct.pack("<d", a) == struct.pack("<d", b) or (math.isnan(a) and math.isnan(b))
    if isinstance(a, dict):
        return list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    if isinstance(a, list):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    return a == b


class IntE(enum.IntEnum):
    A = 5


class MyInt(int):
    pass


class MyFloat(float):
    pass


class MyBytes(bytes):
    pass


class OtherText(str):
    def __str__(self):
        return "other"


class RawItems(dict):
    def __iter__(self):
        return iter(reversed(list(super().keys())))

    def items(self):
        raise AssertionError("items must not be called")

    def keys(self):
        raise AssertionError("keys must not be called")


class MyList(list):
    pass


class MyDatetime(dt.datetime):
    pass


# value, BSON element type, value read back (type included)
WRITE_TABLE = [
    (None, 0x0A, None),
    (True, 0x08, True),
    (False, 0x08, False),
    (0, 0x10, 0),
    (2147483647, 0x10, 2147483647),
    (-2147483648, 0x10, -2147483648),
    (2147483648, 0x12, 2147483648),
    (-2147483649, 0x12, -2147483649),
    (2**63 - 1, 0x12, 2**63 - 1),
    (-(2**63), 0x12, -(2**63)),
    (IntE.A, 0x10, 5),
    (MyInt(2**40), 0x12, 2**40),
    (1.0, 0x01, 1.0),
    (-0.0, 0x01, -0.0),
    (math.inf, 0x01, math.inf),
    (math.nan, 0x01, math.nan),
    (MyFloat(2.5), 0x01, 2.5),
    ("", 0x02, ""),
    ("héllo wörld €𝄞", 0x02, "héllo wörld €𝄞"),
    ("a\x00b", 0x02, "a\x00b"),
    ("\ud800", 0x02, "\ufffd" * 3),
    ("x\udfffy\ud83d", 0x02, "x" + "\ufffd" * 3 + "y" + "\ufffd" * 3),
    (OtherText("mine"), 0x02, "other"),
    (b"", 0x05, b""),
    (b"\x00\xff", 0x05, b"\x00\xff"),
    (MyBytes(b"ab"), 0x05, b"ab"),
    (EPOCH, 0x09, dt.datetime(1970, 1, 1, tzinfo=UTC)),
    (MyDatetime(2020, 5, 6, 7, 8, 9, 123000, tzinfo=UTC), 0x09,
     dt.datetime(2020, 5, 6, 7, 8, 9, 123000, tzinfo=UTC)),
    ({}, 0x03, {}),
    (RawItems(b=1, a=2), 0x03, {"b": 1, "a": 2}),
    ([], 0x04, []),
    (MyList([1, "x"]), 0x04, [1, "x"]),
    ([[{"a": [None]}]], 0x04, [[{"a": [None]}]]),
]


class TestWriteMapping:
    @pytest.mark.parametrize("value,etype,back", WRITE_TABLE, ids=repr)
    def test_type_and_value(self, tmp_path, value, etype, back):
        raw = stored_bytes(tmp_path / "db", {"v": value})
        assert raw[4] == etype
        assert raw[5:7] == b"v\x00"
        ours = read_foreign(tmp_path / "db2", raw)
        assert same(ours["v"], back)
        theirs = bson.decode(raw, codec_options=bson.CodecOptions(tz_aware=True))["v"]
        assert same(theirs, back) or theirs == back  # pymongo's datetimes carry its own utc

    def test_empty_document_is_five_bytes(self, tmp_path):
        assert stored_bytes(tmp_path / "db", {}) == b"\x05\x00\x00\x00\x00"

    def test_bytes_match_independent_encoder(self, tmp_path):
        doc = {"a": 1, "b": [2**40, 1.5, "t", b"x", None, True, {"c": []}],
               "d": dt.datetime(2001, 2, 3, 4, 5, 6, 7000, tzinfo=UTC)}
        assert stored_bytes(tmp_path / "db", doc) == bson.encode(doc)

    def test_field_order_is_insertion_order(self, coll):
        doc = RawItems()
        for k in ["z", "a", "m", "b"]:
            doc[k] = k
        coll.put(1, doc)
        assert list(coll.get(1)) == ["z", "a", "m", "b"]

    def test_field_name_takes_characters_not_str(self, coll):
        coll.put(1, {OtherText("name"): OtherText("value")})
        assert coll.get(1) == {"name": "other"}

    def test_dotted_names_are_plain_names(self, coll):
        coll.put(1, {"a.b": 1, "c[0]": 2, "$x": 3})
        assert coll.get(1) == {"a.b": 1, "c[0]": 2, "$x": 3}

    def test_equal_names_become_one_field(self, tmp_path):
        class Same(str):
            """Distinct to a dict, equal in characters."""

            __hash__ = object.__hash__

            def __eq__(self, other):
                return self is other

        doc = {"x": 0, Same("a"): 1, "y": 2, Same("a"): 3, "a": 4}
        raw = stored_bytes(tmp_path / "db", doc)
        assert raw == bson.encode({"x": 0, "a": 4, "y": 2})

    def test_nested_equal_names_become_one_field(self, coll):
        class Same(str):
            __hash__ = object.__hash__

            def __eq__(self, other):
                return self is other

        coll.put(1, {"l": [{Same("k"): 1, Same("k"): 2}], "d": {Same("k"): [3], "j": 0, Same("k"): 4}})
        assert coll.get(1) == {"l": [{"k": 2}], "d": {"k": 4, "j": 0}}


class TestReadMapping:
    @pytest.mark.parametrize(
        "value,back",
        [
            (bson.Int64(-5), -5),
            (-5, -5),
            (bson.Binary(b"xy", 0x80), b"xy"),
            (bson.Binary(b"\x00" * 16, 4), b"\x00" * 16),
            (bson.DatetimeMS(0), dt.datetime(1970, 1, 1, tzinfo=UTC)),
            (bson.DatetimeMS(-1), dt.datetime(1969, 12, 31, 23, 59, 59, 999000, tzinfo=UTC)),
            (bson.DatetimeMS(253402300799999), dt.datetime(9999, 12, 31, 23, 59, 59, 999000, tzinfo=UTC)),
            (bson.DatetimeMS(-62135596800000), dt.datetime(1, 1, 1, tzinfo=UTC)),
            ([{"a": 1}, {"a": 2}], [{"a": 1}, {"a": 2}]),
        ],
        ids=repr,
    )
    def test_foreign_values(self, tmp_path, value, back):
        got = read_foreign(tmp_path / "db", bson.encode({"v": value}))["v"]
        assert same(got, back)
        if isinstance(back, dt.datetime):
            assert got.tzinfo is UTC

    def test_old_binary_subtype_reads_inner_bytes(self, tmp_path):
        raw = doc_bytes(b"\x05v\x00" + struct.pack("<i", 7) + b"\x02" + struct.pack("<i", 3) + b"abc")
        assert read_foreign(tmp_path / "db", raw) == {"v": b"abc"}

    def test_duplicate_names_keep_first_place_last_value(self, tmp_path):
        raw = doc_bytes(b"\x10a\x00\x01\x00\x00\x00", b"\x10b\x00\x02\x00\x00\x00", b"\x02a\x00\x02\x00\x00\x00z\x00")
        got = read_foreign(tmp_path / "db", raw)
        assert list(got.items()) == [("a", "z"), ("b", 2)]

    @pytest.mark.parametrize("ms", [2**62, -(2**62), 2**63 - 1, -(2**63)])
    def test_instant_out_of_datetime_range_raises_what_datetime_raises(self, tmp_path, ms):
        with pytest.raises((ValueError, OverflowError, OSError)) as exc:
            dt.datetime.fromtimestamp(ms // 1000, UTC)
        with pytest.raises(exc.type):
            read_foreign(tmp_path / "db", bson.encode({"v": bson.DatetimeMS(ms)}))

    def test_many_field_names(self, coll):
        # More distinct names than any cache of names holds, of equal lengths.
        rows = [{f"k{i:03d}": i, f"j{i:03d}": -i} for i in range(300)]
        coll.put(1, {"rows": rows})
        assert coll.get(1) == {"rows": rows}
        assert coll.get(1) == {"rows": rows}


def _frame_error(message):
    return f"BSON error. Kind: Malformed BSON bytes. Message: {message}."


class TestReadFailures:
    @pytest.mark.parametrize(
        "raw,message",
        [
            (b"", _frame_error("document too short")),
            (b"\x05\x00\x00\x00", _frame_error("document too short")),
            (b"\x06\x00\x00\x00\x00", _frame_error("document length incorrect")),
            (b"\x05\x00\x00\x00\x00\x00", _frame_error("document length incorrect")),
            (b"\x05\x00\x00\x00\x01", _frame_error("document not null-terminated")),
        ],
    )
    def test_frame(self, tmp_path, raw, message):
        with pytest.raises(tarnel.Error) as exc:
            read_foreign(tmp_path / "db", raw)
        assert exc.value.args == (message,)

    @pytest.mark.parametrize(
        "raw",
        [
            doc_bytes(b"\x10a\x00\x01\x00"),  # value cut short
            doc_bytes(b"\x02a\x00\xff\x00\x00\x00x\x00"),  # string length past the end
            doc_bytes(b"\x03a\x00\x05\x00\x00\x00\x01"),  # embedded document not terminated
            doc_bytes(b"\x10a\x00\x01\x00\x00\x00\x00\x10b\x00\x01\x00\x00\x00"),  # end mid-way
            doc_bytes(b"\x42a\x00\x01\x00\x00\x00"),  # unknown element type
        ],
    )
    def test_malformed_elements(self, tmp_path, raw):
        with pytest.raises(tarnel.Error, match=r"^BSON error.*Kind: Malformed BSON bytes"):
            read_foreign(tmp_path / "db", raw)

    @pytest.mark.parametrize(
        "raw",
        [
            doc_bytes(b"\x10\xff\x00\x01\x00\x00\x00"),
            doc_bytes(b"\x02a\x00\x04\x00\x00\x00\xed\xa0\x80\x00"),  # a surrogate
            doc_bytes(b"\x04a\x00" + doc_bytes(b"\x020\x00\x02\x00\x00\x00\xc0\x00")),
        ],
    )
    def test_invalid_utf8(self, tmp_path, raw):
        with pytest.raises(tarnel.Error, match=r"^BSON error.*\. Kind: Invalid UTF-8\.$"):
            read_foreign(tmp_path / "db", raw)

    @pytest.mark.parametrize(
        "element,kind",
        [
            (b"\x07" + b"v\x00" + bytes.fromhex("56e1fc72e0c917e9c4714161"), 'ObjectId("56e1fc72e0c917e9c4714161")'),
            (b"\x06v\x00", "Undefined"),
            (b"\x0bv\x00ab\x00i\x00", "RegularExpression("),
            (b"\x0cv\x00\x02\x00\x00\x00n\x00" + b"\x01" * 12, "DbPointer("),
            (b"\x0dv\x00\x02\x00\x00\x00x\x00", "JavaScriptCode("),
            (b"\x0ev\x00\x02\x00\x00\x00x\x00", "Symbol("),
            (b"\x0fv\x00\x0f\x00\x00\x00\x02\x00\x00\x00x\x00\x05\x00\x00\x00\x00", "JavaScriptCodeWithScope("),
            (b"\x11v\x00" + b"\x01" * 8, "Timestamp("),
            (b"\x13v\x00" + bson.Decimal128("1.5").bid, "Decimal128("),
            (b"\x7fv\x00", "MaxKey"),
            (b"\xffv\x00", "MinKey"),
        ],
    )
    def test_unsupported_kinds(self, tmp_path, element, kind):
        nested = doc_bytes(b"\x04l\x00" + doc_bytes(b"\x100\x00\x01\x00\x00\x00", b"\x03" + b"1\x00" + doc_bytes(element)))
        with pytest.raises(tarnel.Error) as exc:
            read_foreign(tmp_path / "db", nested)
        message = exc.value.args[0]
        assert message.startswith("unexpected BSON element " + kind)
        assert message.endswith(" in stored document")

    def test_depth(self, tmp_path):
        raw = doc_bytes(b"\x10x\x00\x01\x00\x00\x00")
        for _ in range(99):
            raw = doc_bytes(b"\x03a\x00" + raw)
        got = read_foreign(tmp_path / "db", raw)  # 100 levels
        for _ in range(99):
            got = got["a"]
        assert got == {"x": 1}
        with pytest.raises(tarnel.Error, match="deeper than 100"):
            read_foreign(tmp_path / "db2", doc_bytes(b"\x04a\x00" + raw))


class Meta(type):
    @property
    def __name__(cls):
        raise RuntimeError("no name")


class Nameless(metaclass=Meta):
    pass


class NaiveBoom(dt.datetime):
    def timestamp(self):
        raise ZeroDivisionError("boom")


class TzBoom(dt.datetime):
    @property
    def tzinfo(self):
        raise LookupError("tz")


def nested(levels):
    doc = {"x": 1}
    for _ in range(levels - 1):
        doc = {"a": doc}
    return doc


class TestWriteFailures:
    @pytest.mark.parametrize(
        "doc,exc,message",
        [
            ([1, 2], TypeError, "document must be a mapping, got list"),
            ((1,), TypeError, "document must be a mapping, got tuple"),
            (Nameless(), TypeError, "document must be a mapping, got "),
            ({1: "x"}, TypeError, "non-string field name at $"),
            ({"a": {2: 0}}, TypeError, "non-string field name at $.a"),
            ({"a": [{3: 0}]}, TypeError, "non-string field name at $.a[0]"),
            ({"\ud800": 1}, TypeError, "non-string field name at $"),
            ({"a": 2**63}, ValueError, "int out of 64-bit range at $.a"),
            ({"a": [-(2**63) - 1]}, ValueError, "int out of 64-bit range at $.a[0]"),
            ({"a": (1, 2)}, TypeError, "unsupported type tuple at $.a"),
            ({"a": [0, {"b": {1}}]}, TypeError, "unsupported type set at $.a[1].b"),
            ({"a.b": (1,)}, TypeError, "unsupported type tuple at $.a.b"),
            ({"a": dt.date(2020, 1, 1)}, TypeError, "unsupported type date at $.a"),
            ({"a": bytearray()}, TypeError, "unsupported type bytearray at $.a"),
            ({"a": Nameless()}, RuntimeError, "no name"),
            ({"a": NaiveBoom(2020, 1, 1)}, ZeroDivisionError, "boom"),
            ({"a": TzBoom(2020, 1, 1)}, LookupError, "tz"),
            ({"a\x00": 1}, tarnel.Error,
             'BSON error. Kind: Malformed BSON bytes. Message: cstring with interior null: "a\\0".'),
            ({"x": {"a\x00\n\"é": 1}, "b\x00": 2}, tarnel.Error,
             'BSON error. Kind: Malformed BSON bytes. Message: cstring with interior null: "a\\0\\n\\"é".'),
            ({"a\x00": 1, "b": (1,)}, TypeError, "unsupported type tuple at $.b"),
            (nested(101), ValueError, "document nested deeper than 100 levels at $" + ".a" * 100),
        ],
        ids=lambda v: repr(v)[:40],
    )
    def test_refused(self, coll, doc, exc, message):
        coll.put(1, {"before": True})
        with pytest.raises(exc) as info:
            coll.put(1, doc)
        assert type(info.value) is exc
        assert str(info.value) == message
        assert coll.get(1) == {"before": True}

    def test_hundred_levels_are_fine(self, coll):
        coll.put(1, nested(100))
        assert coll.get(1) == nested(100)

    def test_self_containing(self, coll):
        d = {}
        d["a"] = d
        with pytest.raises(ValueError, match=r"deeper than 100 levels at \$(\.a){100}$"):
            coll.put(1, d)
        lst = []
        lst.append({"l": lst})
        with pytest.raises(ValueError, match=r"deeper than 100 levels at \$\.l(\[0\]\.l){49}\[0\]$"):
            coll.put(1, {"l": lst})

    def test_too_large(self, coll):
        try:
            blob = b"x" * (2**31 - 20)
        except MemoryError:
            pytest.skip("needs 2 GiB of memory")
        with pytest.raises(tarnel.Error, match="too large"):
            coll.put(1, {"a": blob, "b": 1})
        with pytest.raises(TypeError, match=r"unsupported type tuple at \$\.c"):
            coll.put(1, {"a": blob, "b": b"y" * 100, "c": ()})
        assert coll.len() == 0


def panic_of(excinfo):
    return type(excinfo.value).__name__, str(excinfo.value)


class TestHostileInput:
    def test_dict_growing_under_walk(self, coll):
        class Grow(str):
            def __str__(self):
                doc["new"] = 1
                return "g"

        doc = {"a": 1, "z": Grow("x")}  # the last value, too
        with pytest.raises(BaseException) as info:
            coll.put(1, doc)
        assert panic_of(info) == ("PanicException", "dictionary changed size during iteration")

    @pytest.mark.parametrize(
        "late,exc,message",
        [
            (3, "PanicException", "dictionary keys changed during iteration"),
            # the extra entry is converted before the walk notices; its own error comes first
            ((1,), "TypeError", "unsupported type tuple at $.c"),
        ],
    )
    def test_dict_keys_replaced_under_walk(self, coll, late, exc, message):
        class Swap(str):
            def __str__(self):
                del doc["a"]
                doc["c"] = late
                return "s"

        doc = {"a": 1, "b": Swap("x")}
        with pytest.raises(BaseException) as info:
            coll.put(1, doc)
        assert panic_of(info) == (exc, message)

    def test_list_growing_under_walk(self, coll):
        class Extend(str):
            def __str__(self):
                lst.append(99)
                return "e"

        lst = [Extend("x"), 1]
        coll.put(1, {"l": lst})
        assert coll.get(1) == {"l": ["e", 1]}

    def test_list_shrinking_under_walk(self, coll):
        class Shrink(str):
            def __str__(self):
                lst.clear()
                return "s"

        lst = [Shrink("x"), 1, 2]
        coll.put(1, {"l": lst})
        assert coll.get(1) == {"l": ["s"]}

    def test_value_released_under_walk(self, coll):
        class Drop(str):
            def __str__(self):
                doc.clear()
                doc.update(a=None, b=None)
                return "d"

        doc = {"a": [Drop("x"), [1, 2, 3]], "b": 1}
        coll.put(1, {"x": doc})  # the list under conversion loses its last outside reference
        assert coll.get(1) == {"x": {"a": ["d", [1, 2, 3]], "b": None}}

    def test_unprintable_text(self, coll, monkeypatch):
        seen = []
        monkeypatch.setattr(sys, "unraisablehook", lambda u: seen.append(u))

        class Bad(str):
            def __str__(self):
                raise RuntimeError("no text")

        coll.put(1, {"t": Bad("x")})
        assert coll.get(1) == {"t": "<unprintable Bad object>"}
        assert len(seen) == 1 and isinstance(seen[0].exc_value, RuntimeError)

    def test_naive_datetime_is_utc_whatever_the_local_zone(self, coll, monkeypatch):
        monkeypatch.setenv("TZ", "America/New_York")
        time.tzset()
        try:
            coll.put(1, {"d": dt.datetime(2020, 6, 1, 12)})
        finally:
            monkeypatch.undo()
            time.tzset()
        assert coll.get(1) == {"d": dt.datetime(2020, 6, 1, 12, tzinfo=UTC)}


US = dt.timedelta(microseconds=1)


class TestDatetimeRounding:
    @pytest.mark.parametrize(
        "value,ms",
        [
            (EPOCH, 0),
            (EPOCH + 500 * US, 1),
            (EPOCH - 500 * US, -1),
            (EPOCH + 1500 * US, 2),
            (EPOCH + 1499 * US, 1),
            (EPOCH - 1500 * US, -2),
            (EPOCH + 999_999 * US, 1000),
            (dt.datetime(1970, 1, 1, 1, tzinfo=dt.timezone(dt.timedelta(hours=1))), 0),
            (dt.datetime(9999, 12, 31, 23, 59, 59, 999000), 253402300799999),
            (dt.datetime(1, 1, 1), -62135596800000),
        ],
        ids=str,
    )
    def test_milliseconds(self, tmp_path, value, ms):
        raw = stored_bytes(tmp_path / "db", {"d": value})
        assert raw == bson.encode({"d": bson.DatetimeMS(ms)})

    @pytest.mark.parametrize(
        "value",
        [
            dt.datetime(9999, 12, 31, 23, 59, 59, 999000, tzinfo=UTC),
            dt.datetime(1, 1, 1, 0, 0, 0, 1000, tzinfo=UTC),
            dt.datetime(1969, 12, 31, 23, 59, 59, 1000, tzinfo=UTC),
            dt.datetime(2262, 4, 11, 23, 47, 16, 855000, tzinfo=UTC),
        ],
        ids=str,
    )
    def test_exact_round_trip(self, coll, value):
        coll.put(1, {"d": value})
        assert coll.get(1)["d"] == value


# -- round trips --------------------------------------------------------------------------------

scalars = (
    st.none()
    | st.booleans()
    | st.integers(min_value=-(2**63), max_value=2**63 - 1)
    | st.floats(allow_nan=False)
    | st.text()
    | st.binary()
    | st.datetimes(timezones=st.just(UTC)).map(lambda d: d.replace(microsecond=d.microsecond // 1000 * 1000))
)
documents = st.recursive(
    st.dictionaries(st.text().filter(lambda s: "\x00" not in s), scalars, max_size=5),
    lambda inner: st.dictionaries(
        st.text().filter(lambda s: "\x00" not in s), inner | st.lists(inner | scalars, max_size=4), max_size=4
    ),
    max_leaves=20,
)


@settings(max_examples=200, deadline=None)
@given(documents)
def test_round_trip(doc):
    db = tarnel.open()
    try:
        c = db.collection("c")
        c.put(1, doc)
        assert same(c.get(1), doc)
    finally:
        db.close()


@settings(max_examples=60, deadline=None)
@given(documents)
def test_bytes_equal_independent_encoder(tmp_path_factory, doc):
    path = tmp_path_factory.mktemp("h") / "db"
    assert stored_bytes(path, doc) == bson.encode(doc)

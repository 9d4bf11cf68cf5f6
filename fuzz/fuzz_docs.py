"""Fuzz target: Python keys and documents through put, get and scans.

Each input builds (with atheris' FuzzedDataProvider) a few keys and documents: nested dicts and
lists of None, bools, ints of every width, floats (NaN, infinities, -0.0), str with surrogates
and NULs, bytes, naive and aware datetimes, unsupported values, cycles, and hostile subclasses
(str whose __str__ raises or answers other text, dict and list subclasses that lie about their
items, keys that are equal to nothing). A model of the conversion says what `put` must do: store
a document that `get` and the scans give back as the model's plain value, or raise the model's
exception (TypeError, ValueError, OverflowError or tarnel.Error). Any other exception, a crash,
or a mismatch is a finding.

    python fuzz/fuzz_docs.py [libFuzzer flags] [corpus dir]
"""

import collections
import datetime as dt
import decimal
import math

import atheris

with atheris.instrument_imports():
    import bson_ref
    import common

import tarnel

UTC = dt.timezone.utc
INT64 = 1 << 63
MAX_DEPTH = 100
MIN_MS, MAX_MS = -62135596800000, 253402300799999  # the instants a datetime holds


# ---------------------------------------------------------------------------------------------
# Hostile values

class Str(str):
    pass


class OtherStr(str):
    def __str__(self):
        return "other:" + str.__str__(self)


class RaisingStr(str):
    def __str__(self):
        raise RuntimeError("no text")


class NonStrStr(str):
    def __str__(self):
        return 5


class Distinct(str):
    """Equal only to itself: a dict may hold two keys of the same characters."""

    def __eq__(self, other):
        return self is other

    def __hash__(self):
        return id(self)


class Int(int):
    def __index__(self):
        raise RuntimeError("never called")

    def __int__(self):
        raise RuntimeError("never called")


class Float(float):
    def __float__(self):
        raise RuntimeError("never called")


class Bytes(bytes):
    def __bytes__(self):
        raise RuntimeError("never called")


class Dict(dict):
    def items(self):
        return [("lie", 1)]

    def __iter__(self):
        return iter(["lie"])

    def keys(self):
        return ["lie"]

    def __getitem__(self, k):
        return "lie"


class List(list):
    def __iter__(self):
        return iter([1, 2, 3])

    def __len__(self):
        return 3

    def __getitem__(self, i):
        return "lie"


class DateTime(dt.datetime):
    pass


Pair = collections.namedtuple("Pair", "a b")

STR_KINDS = [str, Str, OtherStr, RaisingStr, NonStrStr]
UNSUPPORTED = [lambda: (1, 2), lambda: {1}, lambda: frozenset(), lambda: bytearray(b"x"),
               lambda: memoryview(b"x"), lambda: dt.date(2000, 1, 1), lambda: dt.time(1),
               lambda: decimal.Decimal("1.5"), lambda: 1j, lambda: object(), lambda: Pair(1, 2)]


# ---------------------------------------------------------------------------------------------
# Building values from the input

def some_int(fdp):
    how = fdp.ConsumeIntInRange(0, 5)
    if how == 0:
        return fdp.ConsumeIntInRange(-300, 300)
    if how == 1:
        return fdp.ConsumeInt(4)
    if how == 2:
        return fdp.ConsumeInt(8)
    if how == 3:
        return fdp.PickValueInList([INT64 - 1, -INT64, INT64, -INT64 - 1, 2**31, -2**31 - 1,
                                    2**31 - 1, -2**31])
    return fdp.ConsumeInt(fdp.ConsumeIntInRange(1, 12))


def some_text(fdp):
    n = fdp.ConsumeIntInRange(0, 12)
    how = fdp.ConsumeIntInRange(0, 3)
    if how == 0:
        return fdp.ConsumeUnicodeNoSurrogates(n)
    if how == 1:
        return fdp.ConsumeUnicode(n)  # surrogates included
    if how == 2:
        return fdp.PickValueInList(["", "a", "a\x00b", "\x00", "\ud800", "\udfff", "é", "a.b",
                                    "[0]", "\U0001f600", "\ufffd\ufffd\ufffd", "$ref"])
    return fdp.ConsumeString(n)


def some_str(fdp):
    return fdp.PickValueInList(STR_KINDS)(some_text(fdp))


def some_datetime(fdp):
    how = fdp.ConsumeIntInRange(0, 3)
    if how == 0:
        secs = fdp.ConsumeIntInRange(-62135596800, 253402300799)
        base = dt.datetime(1970, 1, 1) + dt.timedelta(seconds=secs)
    elif how == 1:
        base = fdp.PickValueInList([dt.datetime.min, dt.datetime.max, dt.datetime(1970, 1, 1),
                                    dt.datetime(9999, 12, 31, 23, 59, 59)])
    else:
        base = dt.datetime(1970, 1, 1) + dt.timedelta(milliseconds=fdp.ConsumeIntInRange(-5, 5))
    micro = fdp.PickValueInList([0, 1, 499, 500, 501, 999, 999499, 999500, 999999,
                                 fdp.ConsumeIntInRange(0, 999999)])
    base = base.replace(microsecond=micro)
    if fdp.ConsumeBool():
        minutes = fdp.ConsumeIntInRange(-1439, 1439)
        base = base.replace(tzinfo=dt.timezone(dt.timedelta(minutes=minutes)))
    if fdp.ConsumeBool():
        base = DateTime(*base.timetuple()[:6], base.microsecond, tzinfo=base.tzinfo)
    return base


def some_value(fdp, depth, cycles):
    kind = fdp.ConsumeIntInRange(0, 15 if depth < 6 else 11)
    if kind == 0:
        return None
    if kind == 1:
        return fdp.ConsumeBool()
    if kind == 2:
        return some_int(fdp)
    if kind == 3:
        return Int(some_int(fdp))
    if kind == 4:
        f = fdp.ConsumeFloat() if fdp.ConsumeBool() else fdp.PickValueInList(
            [0.0, -0.0, math.nan, math.inf, -math.inf, 1.5, 5e-324])
        return Float(f) if fdp.ConsumeBool() else f
    if kind == 5:
        return some_str(fdp)
    if kind == 6:
        b = fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 16))
        return Bytes(b) if fdp.ConsumeBool() else b
    if kind == 7:
        return some_datetime(fdp)
    if kind == 8:
        return fdp.PickValueInList(UNSUPPORTED)()
    if kind == 9 and cycles:
        return fdp.PickValueInList(cycles)
    if kind in (9, 10, 11):
        return some_str(fdp) if kind == 11 else some_int(fdp)
    if kind in (12, 13):
        return some_dict(fdp, depth + 1, cycles)
    return some_list(fdp, depth + 1, cycles)


def some_dict(fdp, depth, cycles):
    d = Dict() if fdp.ConsumeIntInRange(0, 7) == 0 else {}
    cycles.append(d)
    for _ in range(fdp.ConsumeIntInRange(0, 4)):
        how = fdp.ConsumeIntInRange(0, 15)
        if how == 0:
            k = fdp.PickValueInList([1, None, b"k", (1,), 1.5])
        elif how == 1:
            k = Distinct(fdp.PickValueInList(["a", "b"]))
        else:
            k = some_str(fdp) if how < 4 else some_text(fdp)
        dict.__setitem__(d, k, some_value(fdp, depth, cycles))
    return d


def some_list(fdp, depth, cycles):
    lst = List() if fdp.ConsumeIntInRange(0, 7) == 0 else []
    cycles.append(lst)
    for _ in range(fdp.ConsumeIntInRange(0, 4)):
        list.append(lst, some_value(fdp, depth, cycles))
    return lst


def some_key_part(fdp):
    how = fdp.ConsumeIntInRange(0, 9)
    if how <= 2:
        return some_int(fdp)
    if how <= 5:
        return some_str(fdp)
    if how == 6:
        return fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 12))
    if how == 7:
        return fdp.PickValueInList([Int(7), Bytes(b"\x00"), True, False, 1.0, None, [1],
                                    bytearray(b"x"), (1,), "x" * 600])
    return fdp.ConsumeIntInRange(-3, 3)


def some_key(fdp):
    how = fdp.ConsumeIntInRange(0, 3)
    if how == 0:
        return some_key_part(fdp)
    parts = [some_key_part(fdp) for _ in range(fdp.ConsumeIntInRange(0, 4))]
    if how == 1 and len(parts) == 2:
        return Pair(*parts)
    return tuple(parts)


# ---------------------------------------------------------------------------------------------
# The model: what put must store or raise

class Expect(Exception):
    def __init__(self, cls, message=None):
        super().__init__(cls, message)
        self.cls, self.message = cls, message


def type_name(obj):
    return type(obj).__name__


def model_text(obj):
    if type(obj) is str:
        return common.lenient(obj)
    try:
        text = str(obj)
    except Exception:
        return f"<unprintable {type_name(obj)} object>"
    return common.lenient(text)


def ms_of(value):
    if value.tzinfo is None:
        value = value.replace(tzinfo=UTC)
    x = value.timestamp() * 1000.0
    r = math.trunc(x)
    if abs(x - r) >= 0.5:
        r += 1 if x > 0 else -1
    return max(-INT64, min(INT64 - 1, int(r)))


class Millis(int):
    """A stored DateTime: milliseconds since the epoch."""


class Model:
    def __init__(self):
        self.nul_name = False

    def document(self, doc):
        if not isinstance(doc, dict):
            raise Expect(TypeError, f"document must be a mapping, got {type_name(doc)}")
        out = self.dict(doc, "$", 1)
        if self.nul_name:
            raise Expect(tarnel.Error)
        return out

    def dict(self, d, path, depth):
        out = {}
        for k, v in dict.items(d):
            if not isinstance(k, str):
                raise Expect(TypeError, f"non-string field name at {path}")
            name = str.__str__(k)
            try:
                name.encode()
            except UnicodeEncodeError:
                raise Expect(TypeError, f"non-string field name at {path}") from None
            if "\x00" in name:
                self.nul_name = True
            out[name] = self.value(v, f"{path}.{name}", depth)
        return out

    def value(self, v, path, depth):
        if v is None or type(v) is bool:
            return v
        if isinstance(v, int):
            n = int.__int__(v)
            if not -INT64 <= n < INT64:
                raise Expect(ValueError, f"int out of 64-bit range at {path}")
            return n
        if isinstance(v, float):
            return float.__float__(v)
        if isinstance(v, str):
            return model_text(v)
        if isinstance(v, bytes):
            return bytes.__getitem__(v, slice(None))
        if isinstance(v, dt.datetime):
            ms = ms_of(v)
            if not MIN_MS <= ms <= MAX_MS:
                raise Expect(ValueError, "datetime outside 0001-01-01 to 9999-12-31 UTC at "
                             f"{path}")
            return Millis(ms)
        if isinstance(v, (dict, list)):
            if depth >= MAX_DEPTH:
                raise Expect(ValueError, f"document nested deeper than {MAX_DEPTH} levels at "
                             f"{path}")
            if isinstance(v, dict):
                return self.dict(v, path, depth + 1)
            return [self.value(x, f"{path}[{i}]", depth + 1)
                    for i, x in enumerate(list.__iter__(v))]
        raise Expect(TypeError, f"unsupported type {type_name(v)} at {path}")


def model_key(key):
    """(key bytes, the key as it reads back) or Expect."""
    parts = list(tuple.__iter__(key)) if isinstance(key, tuple) else [key]
    plain = []
    for p in parts:
        if type(p) is bool:
            raise Expect(TypeError, "bool is not a valid key type")
        if isinstance(p, str):
            plain.append(model_text(p))
        elif isinstance(p, bytes):
            plain.append(bytes.__getitem__(p, slice(None)))
        elif isinstance(p, int):
            n = int.__int__(p)
            if not -INT64 <= n < INT64:
                raise Expect(ValueError, "int key outside 64-bit range")
            plain.append(n)
        else:
            raise Expect(TypeError, f"invalid key type {type_name(p)} (expected str | int | "
                         "bytes | tuple of those)")
    obj = plain[0] if len(plain) == 1 else tuple(plain)
    return common.encode_key(obj), obj


# ---------------------------------------------------------------------------------------------

db = tarnel.open()


def expected_put(key, doc):
    """('ok', key bytes, key, stored doc) or ('raise', class, message or None)."""
    try:
        kb, kobj = model_key(key)
        model = Model()
        stored = model.document(doc)
    except Expect as e:
        return ("raise", e.cls, e.message)
    if len(kb) > common.MAX_KEY:
        return ("raise", tarnel.Error, None)
    return ("ok", kb, kobj, stored)


def TestOneInput(data):
    fdp = atheris.FuzzedDataProvider(data)
    coll = db.collection("c")
    stored = {}  # key bytes -> (key, doc as it reads back)
    try:
        for _ in range(fdp.ConsumeIntInRange(1, 4)):
            key = some_key(fdp)
            doc = some_dict(fdp, 1, []) if fdp.ConsumeIntInRange(0, 15) else some_value(
                fdp, 1, [])
            want = expected_put(key, doc)
            got = common.outcome(coll.put, key, doc)
            if want[0] == "raise":
                common.check(got[0] == "raise" and got[1] is want[1] and
                             (want[2] is None or got[2] == want[2]),
                             "put does not raise as the model says", key, doc, got, want)
                continue
            common.check(got == ("ok", None), "put refused a valid entry", key, doc, got, want)
            _, kb, kobj, model_doc = want
            stored[kb] = (kobj, model_doc)
        for kb, (kobj, model_doc) in stored.items():
            got = common.outcome(coll.get, kobj)
            common.check(got[0] == "ok" and common.same(got[1], to_python(model_doc)),
                         "get does not give back what put stored", kobj, got, model_doc)
        items = list(coll.iter_(2, False))
        want_items = [(stored[kb][0], to_python(stored[kb][1])) for kb in sorted(stored)]
        common.check(common.same(items, want_items), "the scan's order or entries", items,
                     want_items)
    finally:
        if db.has("c"):
            db.drop("c")


def to_python(v):
    if isinstance(v, dict):
        return {k: to_python(x) for k, x in v.items()}
    if isinstance(v, list):
        return [to_python(x) for x in v]
    if isinstance(v, Millis):
        return bson_ref.ms_to_datetime(int(v))
    return v


if __name__ == "__main__":
    common.quiet_unraisable()
    common.run("docs", TestOneInput, [b"", b"\x01" * 64, bytes(range(256))])

"""Scans: modes, ranges, ends, and iterators (snapshots, exhaustion, re-entry, threads)."""

import datetime as real_datetime
import gc
import sys
import threading
import time
import types

import pytest

import tarnel

MIXED = [(), -5, 3, 10, "", "A", "a", "ab", ("ab", 1), "ab\0", "abc", ("abc", 2), "ac", b"", b"a",
         b"\xff", (1, "x"), (1, b"y"), "\U0001f600", "\uffff", -(2**63), 2**63 - 1]
# The same keys in stored order: ints, then texts, then bytes; a key before its extensions.
ORDERED = [(), -(2**63), -5, (1, "x"), (1, b"y"), 3, 10, 2**63 - 1, "", "A", "a", "ab", ("ab", 1), "ab\0",
           "abc", ("abc", 2), "ac", "\uffff", "\U0001f600", b"", b"a", b"\xff"]


def doc(k):
    return {"s": repr(k)}


@pytest.fixture
def full(coll):
    coll.put_many([(k, doc(k)) for k in MIXED])
    return coll


@pytest.fixture
def ints(coll):
    coll.put_many([(i, {"v": i}) for i in range(1, 10)])
    return coll


@pytest.mark.parametrize("mode", [0, 1, 2, 3, 127, 255])
@pytest.mark.parametrize("reverse", [False, True])
def test_modes(full, mode, reverse):
    want = [k if mode == 0 else doc(k) if mode == 1 else (k, doc(k)) for k in ORDERED]
    assert list(full.iter_(mode, reverse)) == (want[::-1] if reverse else want)
    assert list(full.range_(None, None, mode)) == want


@pytest.mark.parametrize("start, stop, expected", [
    (3, 10, [3]),
    (None, 3, [(), -(2**63), -5, (1, "x"), (1, b"y")]),
    (10, "a", [10, 2**63 - 1, "", "A"]),
    (10, 3, []),
    (0, (2,), [(1, "x"), (1, b"y")]),
    ("ab", "abc", ["ab", ("ab", 1), "ab\0"]),
    (("ab", 1), ("ab", 2), [("ab", 1)]),
    (b"", None, [b"", b"a", b"\xff"]),
])
def test_ranges(full, start, stop, expected):
    assert list(full.range_(start, stop, 0)) == expected


def test_bounds_and_keys_over_the_length_limit(db):
    c = db.collection("c")
    long = b"a" * 600
    for call in (lambda: c.put(long, {}), lambda: c.put_many([(1, {}), (long, {})])):
        with pytest.raises(tarnel.Error) as e:
            call()
        assert str(e.value) == "key of 602 bytes is longer than the engine's limit of 511 bytes"
    assert db.names() == []  # the failed puts created nothing
    keys = [b"a" * 505, b"a" * 505 + b"b", b"b"]
    c.put_many([(k, {"v": len(k)}) for k in keys])
    assert list(c.range_(long, None, 0)) == [b"a" * 505 + b"b", b"b"]
    assert list(c.range_(b"a", long, 0)) == [b"a" * 505]
    assert list(c.prefix_(long, 0)) == [] and len(list(c.prefix_(b"a" * 505, 0))) == 2
    with pytest.raises(KeyError):
        c.get(long)
    with pytest.raises(KeyError):
        c.delete(long)
    assert not c.contains(long) and c.len() == 3


def test_ends(db, coll):
    assert (coll.first(), coll.last(), coll.len(), list(coll.iter_(2, False))) == (None, None, 0, [])
    assert db.names() == []  # reading an absent collection creates nothing
    coll.put_many([(b"a", {"v": 3}), ("a", {"v": 2}), (5, {"v": 1}), ((), {"v": 0})])
    assert coll.first() == ((), {"v": 0}) and coll.last() == (b"a", {"v": 3})
    assert coll.first() is not coll.first()
    for k in [(), 5, b"a", "a"]:
        coll.delete(k)
    assert coll.first() is None and coll.last() is None and db.names() == ["c"]


def test_snapshot_isolation(db, ints):
    it = ints.iter_(2, False)
    first = next(it)
    absent = db.collection("later")
    later = [absent.iter_(0, False), absent.range_(None, None, 0), absent.prefix_((), 0)]
    absent.put(1, {})
    seen = [first]
    for k, d in it:
        seen.append((k, d))
        ints.put(k + 100, {"v": k})
        ints.put(5, {"v": -5})
    ints.delete(9)
    assert seen == [(i, {"v": i}) for i in range(1, 10)]
    assert [list(it) for it in later] == [[], [], []]
    assert list(ints.range_(None, 100, 0)) == list(range(1, 9))
    kept = ints.iter_(0, False)
    next(kept)
    db.drop("c")
    db.collection("other").put(1, {})
    ints.put(42, {})
    assert list(kept) == [2, 3, 4, 5, 6, 7, 8, 102, 103, 104, 105, 106, 107, 108, 109]
    assert list(ints.iter_(0, False)) == [42]
    kept = ints.iter_(1, False)
    db.close()
    assert iter(kept) is kept and list(kept) == [{}]  # the snapshot outlives close()
    assert [next(kept, "end"), next(kept, "end")] == ["end", "end"]  # exhaustion is final


def test_reader_slots_and_many_iterators(ints):
    its = []
    with pytest.raises(tarnel.Error, match="MDB_READERS_FULL"):
        while len(its) < 100_000:
            its.append(ints.iter_(0, len(its) % 2 == 1))
    assert len(its) >= 8000
    assert next(its[0]) == 1 and next(its[4999]) == 9 and list(its[2500]) == list(range(1, 10))
    del its
    gc.collect()
    ints.put(0, {})
    assert list(ints.iter_(0, False)) == list(range(0, 10))


@pytest.fixture
def on_datetime_read(monkeypatch):
    """Sets a hook that runs (once) in the middle of a step, when it reads a date."""
    hook = {"fn": None}

    class StandInDatetime:
        @staticmethod
        def fromtimestamp(seconds, tz):
            fn, hook["fn"] = hook["fn"], None
            if fn is not None:
                fn()
            return real_datetime.datetime.fromtimestamp(seconds, tz)

    module = types.ModuleType("datetime")
    module.datetime, module.timezone = StandInDatetime, real_datetime.timezone

    def set_hook(fn):
        monkeypatch.setitem(sys.modules, "datetime", module)
        hook["fn"] = fn
    return set_hook


WHEN = real_datetime.datetime(2020, 1, 1, tzinfo=real_datetime.timezone.utc)


def test_step_reentered_from_the_same_thread_is_refused(coll, on_datetime_read):
    coll.put_many([(i, {"at": WHEN}) for i in range(5)])
    it = coll.iter_(2, False)
    refused = []

    def reenter():
        with pytest.raises(ValueError, match="CollectionIter already executing"):
            next(it)
        refused.append(True)

    on_datetime_read(reenter)
    assert next(it)[0] == 0 and refused == [True]
    assert [k for k, _ in it] == [1, 2, 3, 4]  # the refused step took no entry


def test_other_thread_waits_for_the_step(coll, on_datetime_read):
    coll.put_many([(i, {"at": WHEN}) for i in range(5)])
    it = coll.iter_(1, False)
    got, threads = [], []

    def start_other():
        threads.append(threading.Thread(target=lambda: got.append(next(it))))
        threads[0].start()
        time.sleep(0.2)  # the other thread reaches the held step and waits

    on_datetime_read(start_other)
    assert next(it) == {"at": WHEN}
    threads[0].join(10)
    assert not threads[0].is_alive() and got == [{"at": WHEN}]
    assert len(list(it)) == 3  # each entry went to exactly one step

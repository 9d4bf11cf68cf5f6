import gc

import pytest

import tarnel
from conftest import run_child

MIXED = [(), -5, 3, 10, "", "A", "a", "ab", ("ab", 1), "ab\0", "abc", ("abc", 2), "ac", b"", b"a",
         b"\xff", (1, "x"), (1, b"y")]
# The same keys in stored order: ints, then texts, then bytes; a key before its extensions.
ORDERED = [(), -5, (1, "x"), (1, b"y"), 3, 10, "", "A", "a", "ab", ("ab", 1), "ab\0", "abc",
           ("abc", 2), "ac", b"", b"a", b"\xff"]


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


class TestModes:
    @pytest.mark.parametrize("mode", [2, 3, 127, 255])
    def test_item_modes(self, full, mode):
        assert list(full.iter_(mode, False)) == [(k, doc(k)) for k in ORDERED]

    def test_keys_and_documents(self, full):
        assert list(full.iter_(0, False)) == ORDERED
        assert list(full.iter_(1, False)) == [doc(k) for k in ORDERED]

    @pytest.mark.parametrize("mode", [0, 1, 2])
    def test_reverse(self, full, mode):
        assert list(full.iter_(mode, True)) == list(full.iter_(mode, False))[::-1]

    def test_one_element_tuple_reads_back_as_scalar(self, coll):
        coll.put(("x",), {"v": 1})
        coll.put(("x", 1), {"v": 2})
        assert list(coll.iter_(2, False)) == [("x", {"v": 1}), (("x", 1), {"v": 2})]

class TestRange:
    @pytest.mark.parametrize("start, stop, expected", [
        (3, 5, [3, 4]),
        (None, 4, [1, 2, 3]),
        (7, None, [7, 8, 9]),
        (None, None, list(range(1, 10))),
        (5, 5, []),
        (7, 3, []),
        (-100, 100, list(range(1, 10))),
        (9, "", [9]),
        (0, (2,), [1]),
    ])
    def test_int_ranges(self, ints, start, stop, expected):
        assert list(ints.range_(start, stop, 0)) == expected

    @pytest.mark.parametrize("start, stop, expected", [
        (10, "a", [10, "", "A"]),
        ("a", ("a",), []),
        ((), None, ORDERED),
        ((), 3, [(), -5, (1, "x"), (1, b"y")]),
        (None, (), []),
        ((), (), []),
        ("ab", "abc", ["ab", ("ab", 1), "ab\0"]),
        (("ab", 1), ("ab", 2), [("ab", 1)]),
        (b"", None, [b"", b"a", b"\xff"]),
        ((1,), (2,), [(1, "x"), (1, b"y")]),
    ])
    def test_mixed_ranges(self, full, start, stop, expected):
        assert list(full.range_(start, stop, 0)) == expected

    @pytest.mark.parametrize("mode", [0, 1, 2])
    def test_unbounded_range_is_the_whole_scan(self, full, mode):
        assert list(full.range_(None, None, mode)) == list(full.iter_(mode, False))

    def test_bound_longer_than_key_limit(self, coll):
        keys = [b"a" * 505, b"a" * 505 + b"b", b"b"]
        coll.put_many([(k, {"v": len(k)}) for k in keys])
        long = b"a" * 600
        assert list(coll.range_(long, None, 0)) == [b"a" * 505 + b"b", b"b"]
        assert list(coll.range_(None, long, 0)) == [b"a" * 505]
        assert list(coll.range_(b"a", long, 0)) == [b"a" * 505]
        assert list(coll.prefix_(long, 0)) == []
        assert list(coll.prefix_(b"a" * 505, 0)) == [b"a" * 505, b"a" * 505 + b"b"]
        assert list(coll.range_(long, b"a" * 700, 0)) == []

    def test_key_limit(self, db):
        c = db.collection("big")
        long = b"x" * 600
        with pytest.raises(tarnel.Error, match="511"):
            c.put(long, {"v": 1})
        assert db.names() == []  # the failed put created nothing
        with pytest.raises(tarnel.Error, match="511"):
            c.put_many([(1, {"v": 1}), (long, {"v": 2})])
        assert db.names() == []
        c.put(1, {"v": 1})
        with pytest.raises(KeyError):
            c.get(long)
        assert not c.contains(long)
        with pytest.raises(KeyError):
            c.delete(long)
        assert c.len() == 1


class TestPrefix:
    def test_text_prefix(self, full):
        assert list(full.prefix_("ab", 0)) == ["ab", ("ab", 1), "ab\0", "abc", ("abc", 2)]

    @pytest.mark.parametrize("p, expected", [
        ((), ORDERED),
        ("", ["", "A", "a", "ab", ("ab", 1), "ab\0", "abc", ("abc", 2), "ac"]),
        (b"", [b"", b"a", b"\xff"]),
        (b"\xff", [b"\xff"]),
        (("ab",), ["ab", ("ab", 1), "ab\0"]),
        (("ab", 1), [("ab", 1)]),
        ((1,), [(1, "x"), (1, b"y")]),
        ("ab\0", ["ab\0"]),
    ])
    def test_prefixes(self, full, p, expected):
        assert list(full.prefix_(p, 0)) == expected

class TestEnds:
    def test_first_and_last(self, coll):
        assert coll.first() is None and coll.last() is None
        coll.put_many([(b"a", {"v": 3}), ("a", {"v": 2}), (5, {"v": 1})])
        assert coll.first() == (5, {"v": 1})
        assert coll.last() == (b"a", {"v": 3})
        assert coll.first() is not coll.first()

    def test_single_and_emptied(self, db, coll):
        coll.put(("k",), {"v": 1})
        assert coll.first() == coll.last() == ("k", {"v": 1})
        coll.delete("k")
        assert coll.first() is None and coll.last() is None
        assert db.names() == ["c"]

    def test_empty_key_is_first(self, coll):
        coll.put(1, {})
        coll.put((), {"v": 0})
        assert coll.first() == ((), {"v": 0})
        assert coll.get(()) == {"v": 0}
        assert list(coll.prefix_((), 0)) == [(), 1]
        assert list(coll.iter_(0, True)) == [1, ()]

    def test_absent_stays_absent(self, db):
        c = db.collection("ghost")
        assert (c.first(), c.last(), c.len(), list(c.iter_(2, False))) == (None, None, 0, [])
        assert db.names() == []


class TestIteratorProtocol:
    def test_exhaustion_is_final(self, ints):
        it = ints.range_(8, None, 0)
        assert iter(it) is it
        assert [next(it), next(it)] == [8, 9]
        for _ in range(3):
            with pytest.raises(StopIteration):
                next(it)
        assert list(it) == [] and next(it, "d") == "d"

    def test_snapshot_isolation(self, ints):
        it = ints.iter_(2, False)
        first = next(it)
        ints.put(100, {"v": 100})
        ints.put(5, {"v": -5})
        ints.delete(9)
        ints.put_many([(0, {}), (50, {})])
        assert [first] + list(it) == [(i, {"v": i}) for i in range(1, 10)]
        assert list(ints.iter_(0, False)) == [0] + list(range(1, 9)) + [50, 100]

    def test_writing_while_looping(self, ints):
        seen = []
        for k in ints.iter_(0, False):
            seen.append(k)
            ints.put(k + 100, {"v": k})
        assert seen == list(range(1, 10))

    def test_absent_collection_iterator_stays_empty(self, db):
        c = db.collection("later")
        its = [c.iter_(0, False), c.range_(None, None, 0), c.prefix_((), 0)]
        c.put(1, {"v": 1})
        assert [list(it) for it in its] == [[], [], []]

    def test_dropped_collection_keeps_snapshot(self, db, ints):
        it = ints.iter_(0, False)
        next(it)
        db.drop("c")
        db.collection("other").put(1, {})
        ints.put(42, {})
        assert list(it) == list(range(2, 10))
        assert list(ints.iter_(0, False)) == [42]

    def test_iterator_survives_close(self, db, ints):
        it = ints.iter_(1, False)
        assert next(it) == {"v": 1}
        db.close()
        try:
            rest = list(it)
        except tarnel.Error as e:
            assert str(e) == "Database has been closed"
        else:
            assert rest == [{"v": i} for i in range(2, 10)]

    def test_reopen_while_old_iterator_lives(self, path):
        db = tarnel.open(path)
        c = db.collection("c")
        c.put_many([(i, {"v": i}) for i in range(5)])
        it = c.iter_(0, False)
        assert next(it) == 0
        db.close()
        db = tarnel.open(path)
        c = db.collection("c")
        c.delete(3)
        c.put(9, {"v": 9})
        assert list(it) == [1, 2, 3, 4]
        assert list(c.iter_(0, False)) == [0, 1, 2, 4, 9]
        db.close()
        r = run_child("import sys, tarnel; print(list(tarnel.open(sys.argv[1]).collection('c').iter_(0, False)))", path)
        assert r.stdout.strip() == "[0, 1, 2, 4, 9]", r.stderr

    def test_reader_slots_run_out_with_a_clear_error(self, ints):
        its = []
        with pytest.raises(tarnel.Error, match="MDB_READERS_FULL"):
            while len(its) < 100_000:
                its.append(ints.iter_(0, False))
        assert len(its) >= 8000
        del its
        gc.collect()
        assert list(ints.iter_(0, False)) == list(range(1, 10))

    def test_many_live_iterators(self, ints):
        its = [ints.iter_(0, i % 2 == 1) for i in range(5000)]
        ints.put(0, {})
        assert next(its[0]) == 1 and next(its[4999]) == 9
        assert list(its[2500]) == list(range(1, 10))
        del its
        gc.collect()
        assert list(ints.range_(0, 3, 0)) == [0, 1, 2]
        ints.put(10, {})
        assert ints.len() == 11

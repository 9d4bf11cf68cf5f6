import gc
import os
import pathlib
import sys

import pytest

import tarnel
from conftest import run_child

LOCKED = "Database already open. Cannot acquire lock."
CLOSED = "database is closed"


def notes(exc):
    return getattr(exc, "__notes__", [])


needs_notes = pytest.mark.skipif(sys.version_info < (3, 11), reason="exception notes are 3.11+")


class TestBinding:
    @pytest.mark.parametrize("call, message", [
        (lambda db, c: tarnel.open(None, True, 1),
         "open() takes from 0 to 2 positional arguments but 3 were given"),
        (lambda db, c: tarnel.open(mode=1), "open() got an unexpected keyword argument 'mode'"),
        (lambda db, c: tarnel.open(None, path=None), "open() got multiple values for argument 'path'"),
        (lambda db, c: db.has(), "Database.has() missing 1 required positional argument: 'name'"),
        (lambda db, c: db.drop("a", "b"), "Database.drop() takes 1 positional arguments but 2 were given"),
        (lambda db, c: c.range_(1), "Collection.range_() missing 2 required positional arguments: 'stop' and 'mode'"),
        (lambda db, c: c.range_(),
         "Collection.range_() missing 3 required positional arguments: 'start', 'stop', and 'mode'"),
        (lambda db, c: c.iter_(0, reverse=False, mode=0), "Collection.iter_() got multiple values for argument 'mode'"),
        (lambda db, c: c.get(1, 2), "Collection.get() takes 1 positional arguments but 2 were given"),
        (lambda db, c: c.prefix_("a", 0, x=1), "Collection.prefix_() got an unexpected keyword argument 'x'"),
    ])
    def test_argument_errors(self, call, message):
        db = tarnel.open()
        with pytest.raises(TypeError) as e:
            call(db, db.collection("c"))
        assert str(e.value) == message
        db.close()

    def test_keywords_bind_by_name(self, path):
        db = tarnel.open(durable=False, path=pathlib.Path(path))
        c = db.collection(name="c")
        c.put(doc={"v": 1}, key=1)
        assert list(c.range_(mode=0, stop=None, start=None)) == [1]
        assert db.has(name="c")
        db.close()

    @needs_notes
    @pytest.mark.parametrize("call, exc, message, note", [
        (lambda db, c: tarnel.open(b"/tmp/x"), TypeError, "'bytes' object is not an instance of 'str'", "path"),
        (lambda db, c: tarnel.open(None, 1), TypeError, "'int' object is not an instance of 'bool'", "durable"),
        (lambda db, c: tarnel.open(None, None), TypeError, "'None' is not an instance of 'bool'", "durable"),
        (lambda db, c: db.has(1), TypeError, "'int' object is not an instance of 'str'", "name"),
        (lambda db, c: db.drop(None), TypeError, "'None' is not an instance of 'str'", "name"),
        (lambda db, c: db.collection("\ud800"), UnicodeEncodeError, None, "name"),
        (lambda db, c: c.iter_(256, False), OverflowError, "out of range integral type conversion attempted", "mode"),
        (lambda db, c: c.iter_(-1, False), OverflowError, "out of range integral type conversion attempted", "mode"),
        (lambda db, c: c.range_(None, None, 2**70), OverflowError, None, "mode"),
        (lambda db, c: c.iter_(1.0, False), TypeError, None, "mode"),
        (lambda db, c: c.prefix_("a", "0"), TypeError, None, "mode"),
        (lambda db, c: c.iter_(0, 1), TypeError, "'int' object is not an instance of 'bool'", "reverse"),
        (lambda db, c: c.iter_(300, None), OverflowError, "out of range integral type conversion attempted", "mode"),
        (lambda db, c: c.put_many(5), TypeError, "'int' object is not an instance of 'Sequence'", "items"),
    ])
    def test_conversion_errors_carry_notes(self, call, exc, message, note):
        db = tarnel.open()
        with pytest.raises(exc) as e:
            call(db, db.collection("c"))
        if message is not None:
            assert str(e.value) == message
        assert notes(e.value) == [f"while processing '{note}'"]
        db.close()

    def test_mode_accepts_int_subclasses_and_index(self):
        class Idx:
            def __index__(self):
                return 0

        db = tarnel.open()
        c = db.collection("c")
        c.put(1, {"v": 1})
        assert list(c.iter_(True, False)) == [{"v": 1}]
        assert list(c.iter_(False, False)) == [1]
        assert list(c.iter_(Idx(), False)) == [1]
        db.close()


class TestOpen:
    @pytest.mark.parametrize("make", [
        lambda tmp: str(tmp / "missing" / "t.db"),
        lambda tmp: pathlib.Path(tmp / "missing" / "t.db"),
    ])
    def test_missing_directory(self, tmp_path, make):
        with pytest.raises(tarnel.Error) as e:
            tarnel.open(make(tmp_path))
        assert str(e.value) == "I/O error: No such file or directory (os error 2)"

    @pytest.mark.parametrize("bad, message", [
        ("", "I/O error: No such file or directory (os error 2)"),
        (".", "I/O error: Is a directory (os error 21)"),
        ("a\0b", None),
    ])
    def test_unusable_path(self, bad, message):
        with pytest.raises(tarnel.Error) as e:
            tarnel.open(bad)
        assert str(e.value).startswith("I/O error: ")
        assert message is None or str(e.value) == message

    @pytest.mark.parametrize("content", [
        b"not a database",
        os.urandom(16384),
        b"not a database at all\n" * 500,
        b"SQLite format 3\x00" + bytes(range(256)) * 64,
        b"\x00" * 20000,
    ], ids=["short", "pages", "text", "sqlite", "zeros"])
    def test_foreign_file_is_refused_and_left_alone(self, path, content):
        with open(path, "wb") as f:
            f.write(content)
        with pytest.raises(tarnel.Error):
            tarnel.open(path)
        with open(path, "rb") as f:
            assert f.read() == content
        # The failed open holds no lock.
        with open(path, "wb"):
            pass
        tarnel.open(path).close()

    def test_new_and_empty_files_become_databases(self, path):
        tarnel.open(path).close()
        assert os.path.exists(path)
        os.truncate(path, 0)
        db = tarnel.open(path)
        assert db.names() == []
        db.close()

    def test_lock_in_process_then_reopen(self, path):
        db = tarnel.open(path)
        db.collection("c").put(1, {"v": 1})
        with pytest.raises(tarnel.Error) as e:
            tarnel.open(path)
        assert e.value.args == (LOCKED,)
        with pytest.raises(tarnel.Error, match=LOCKED):
            tarnel.open(os.path.join(os.path.dirname(path), ".", os.path.basename(path)), False)
        db.close()
        db2 = tarnel.open(path)
        assert db2.collection("c").get(1) == {"v": 1}
        db2.close()

    def test_lock_across_processes(self, path):
        db = tarnel.open(path)
        code = ("import sys, tarnel\n"
                "try:\n    tarnel.open(sys.argv[1])\nexcept tarnel.Error as e:\n    print(e.args[0])\n")
        r = run_child(code, path)
        assert r.stdout.strip() == LOCKED, r.stderr
        db.close()
        r = run_child("import sys, tarnel; tarnel.open(sys.argv[1]).collection('c').put(1, {'v': 2})", path)
        assert r.returncode == 0, r.stderr
        db = tarnel.open(path)
        assert db.collection("c").get(1) == {"v": 2}
        db.close()

    def test_unclosed_database_releases_its_lock(self, path):
        db = tarnel.open(path)
        db.collection("c").put(1, {"v": 1})
        del db
        gc.collect()
        db = tarnel.open(path)
        assert db.collection("c").get(1) == {"v": 1}
        db.close()

    @pytest.mark.parametrize("durable", [True, False])
    def test_durable_settings_survive_reopen(self, path, durable):
        db = tarnel.open(path, durable)
        c = db.collection("c")
        c.put_many([(i, {"v": i}) for i in range(50)])
        c.delete(7)
        db.collection("gone").put(1, {})
        db.drop("gone")
        db.close()
        db = tarnel.open(path, not durable)
        c = db.collection("c")
        assert db.names() == ["c"]
        assert c.len() == 49 and not c.contains(7) and c.get(49) == {"v": 49}
        db.close()

    @pytest.mark.parametrize("durable", [True, False])
    def test_memory_databases_are_private(self, durable):
        a, b = tarnel.open(None, durable), tarnel.open(durable=durable)
        a.collection("c").put(1, {"v": 1})
        assert a.names() == ["c"] and b.names() == []
        a.close()
        assert tarnel.open().names() == []
        b.close()

    def test_collection_outlives_database_object(self, path):
        db = tarnel.open(path)
        c = db.collection("c")
        del db
        gc.collect()
        c.put(1, {"v": 1})
        assert c.get(1) == {"v": 1}
        with pytest.raises(tarnel.Error, match=LOCKED):
            tarnel.open(path)
        del c
        gc.collect()
        db = tarnel.open(path)
        assert db.collection("c").get(1) == {"v": 1}
        db.close()


class TestNames:
    def test_sorted_by_bytes(self, db):
        for name in ["é", "ab", "a", "B", "b\u00ff", "Z"]:
            db.collection(name).put(1, {"v": 1})
        db.collection("never").len()
        assert db.names() == ["B", "Z", "a", "ab", "b\u00ff", "é"]

    def test_has(self, db):
        db.collection("a").put(1, {})
        db.collection("b")
        assert [db.has(n) for n in ("a", "b", "", "A", "a\0")] == [True, False, False, False, False]

    @pytest.mark.parametrize("name, message", [
        ("", "collection name must be non-empty"),
        ("a\0b", "collection name must not contain NUL characters"),
    ])
    @pytest.mark.parametrize("closed", [False, True])
    def test_bad_names(self, db, name, message, closed):
        if closed:
            db.close()
        for m in (db.collection, db.drop):
            with pytest.raises(ValueError) as e:
                m(name)
            assert e.value.args == (message,)

    def test_drop(self, db):
        c = db.collection("c")
        c.put(1, {"v": 1})
        with pytest.raises(KeyError) as e:
            db.drop("other")
        assert e.value.args == ("other",)
        db.drop("c")
        assert db.names() == [] and not db.has("c")
        with pytest.raises(KeyError):
            c.get(1)
        with pytest.raises(KeyError) as e:
            db.drop("c")
        assert e.value.args == ("c",)
        c.put(2, {"v": 2})
        assert list(c.iter_(0, False)) == [2]

class TestClosed:
    DB_CALLS = {
        "names": lambda db: db.names(),
        "has": lambda db: db.has("x"),
        "has empty": lambda db: db.has(""),
        "drop": lambda db: db.drop("x"),
    }
    COLL_CALLS = {
        "get": lambda c: c.get(1),
        "put": lambda c: c.put(1, {"v": 1}),
        "put_many": lambda c: c.put_many([(1, {})]),
        "delete": lambda c: c.delete(1),
        "contains": lambda c: c.contains(1),
        "len": lambda c: c.len(),
        "iter_": lambda c: c.iter_(0, False),
        "range_": lambda c: c.range_(1, 2, 0),
        "prefix_": lambda c: c.prefix_("a", 0),
        "first": lambda c: c.first(),
        "last": lambda c: c.last(),
    }

    @pytest.fixture(params=["before", "after"])
    def closed(self, db, request):
        """A database and two collections, one written, one never; taken before or after close."""
        db.collection("c").put(1, {"v": 1})
        if request.param == "before":
            cs = [db.collection("c"), db.collection("new")]
            db.close()
        else:
            db.close()
            cs = [db.collection("c"), db.collection("new")]
        return db, cs

    @pytest.mark.parametrize("call", list(DB_CALLS.values()), ids=list(DB_CALLS))
    def test_database_methods(self, closed, call):
        with pytest.raises(tarnel.Error) as e:
            call(closed[0])
        assert e.value.args == (CLOSED,)

    @pytest.mark.parametrize("call", list(COLL_CALLS.values()), ids=list(COLL_CALLS))
    def test_collection_methods(self, closed, call):
        for c in closed[1]:
            with pytest.raises(tarnel.Error) as e:
                call(c)
            assert e.value.args == (CLOSED,)

    def test_what_still_works(self, closed):
        db, (c, _) = closed
        assert db.close() is None
        assert isinstance(db.collection("x"), tarnel.Collection)
        assert c.put_many([]) is None

    @pytest.mark.parametrize("call, exc", [
        (lambda c: c.iter_(999, False), OverflowError),
        (lambda c: c.iter_(0, None), TypeError),
        (lambda c: c.get(), TypeError),
        (lambda c: c.put_many(None), TypeError),
        (lambda c: c.range_(None, None, -1), OverflowError),
        (lambda c: c.prefix_("a", None), TypeError),
    ])
    def test_argument_errors_come_first(self, closed, call, exc):
        with pytest.raises(exc):
            call(closed[1][0])

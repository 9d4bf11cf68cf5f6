"""The module, argument binding, opening and locking files, collection names, closed databases."""

import gc
import os
import pathlib
import sys

import lmdb
import pytest

import tarnel
from conftest import CLOSED, LOCKED
from tarnel import _tarnel

PUBLIC = ["Database", "Collection", "CollectionIter", "open", "Error"]


def test_module_and_classes():
    assert _tarnel.__all__ == PUBLIC and _tarnel.__doc__ == ""
    assert sorted(n for n in dir(_tarnel) if not n.startswith("_")) == sorted(PUBLIC)
    assert tarnel.open.__module__ == "tarnel._tarnel" and tarnel.open.__self__ is _tarnel
    E = tarnel.Error
    assert (E.__module__, E.__qualname__, E.__doc__, E.__bases__) == (
        "tarnel", "Error", "Base Tarnel error.", (Exception,))
    db = tarnel.open()
    refs = [sys.getrefcount(tarnel.Collection)]
    for _ in range(10):
        db.collection("c")
    refs.append(sys.getrefcount(tarnel.Collection))
    assert refs[0] == refs[1]  # instances give their type back
    for obj in (db, db.collection("c"), db.collection("c").iter_(0, False)):
        cls = type(obj)
        assert (cls.__module__, cls.__bases__) == ("builtins", (object,))
        with pytest.raises(TypeError, match=f"^cannot create 'builtins.{cls.__name__}' instances$"):
            cls()
        with pytest.raises(TypeError):
            type("Sub", (cls,), {})
    db.close()


# One row per message of the binder and per converter.
@pytest.mark.parametrize("call, exc, message, note", [
    (lambda db, c: tarnel.open(None, True, 1), TypeError,
     "open() takes from 0 to 2 positional arguments but 3 were given", None),
    (lambda db, c: db.drop("a", "b"), TypeError,
     "Database.drop() takes 1 positional arguments but 2 were given", None),
    (lambda db, c: c.get(), TypeError, "Collection.get() missing 1 required positional argument: 'key'", None),
    (lambda db, c: c.range_(1), TypeError,
     "Collection.range_() missing 2 required positional arguments: 'stop' and 'mode'", None),
    (lambda db, c: c.range_(), TypeError,
     "Collection.range_() missing 3 required positional arguments: 'start', 'stop', and 'mode'", None),
    (lambda db, c: tarnel.open(mode=1), TypeError, "open() got an unexpected keyword argument 'mode'", None),
    (lambda db, c: c.iter_(0, reverse=False, mode=0), TypeError,
     "Collection.iter_() got multiple values for argument 'mode'", None),
    (lambda db, c: tarnel.open(b"/tmp/x"), TypeError, "'bytes' object is not an instance of 'str'", "path"),
    (lambda db, c: tarnel.open(None, None), TypeError, "'None' is not an instance of 'bool'", "durable"),
    (lambda db, c: db.has(1), TypeError, "'int' object is not an instance of 'str'", "name"),
    (lambda db, c: db.collection("\ud800"), UnicodeEncodeError, None, "name"),
    (lambda db, c: c.iter_(256, False), OverflowError, "out of range integral type conversion attempted", "mode"),
    (lambda db, c: c.range_(None, None, -1), OverflowError, "out of range integral type conversion attempted", "mode"),
    (lambda db, c: c.prefix_("a", 1.0), TypeError, None, "mode"),
    (lambda db, c: c.put_many(5), TypeError, "'int' object is not an instance of 'Sequence'", "items"),
    (lambda db, c: c.put_many("ab"), TypeError, "Can't extract `str` to `Vec`", "items"),
    (lambda db, c: c.put_many([(1, {}, 2)]), ValueError,
     "expected tuple of length 2, but got tuple of length 3", "items"),
], ids=lambda v: v if isinstance(v, str) else None)
@pytest.mark.parametrize("closed", [False, True])
def test_argument_errors(call, exc, message, note, closed):
    db = tarnel.open()
    c = db.collection("c")
    if closed:  # argument errors come first
        db.close()
    with pytest.raises(exc) as e:
        call(db, c)
    assert message is None or str(e.value) == message
    if sys.version_info >= (3, 11):
        assert getattr(e.value, "__notes__", None) == (None if note is None else [f"while processing '{note}'"])
    db.close()


def test_keywords_int_subclasses_and_index(path):
    db = tarnel.open(durable=False, path=pathlib.Path(path))
    db.collection(name="c").put(doc={"v": 1}, key=1)
    idx = type("Idx", (), {"__index__": lambda self: 0})()
    assert list(db.collection("c").range_(mode=idx, stop=None, start=None)) == [1] and db.has(name="c")
    assert list(db.collection("c").iter_(True, False)) == [{"v": 1}]
    db.close()


@pytest.mark.parametrize("bad, message", [
    ("missing/t.db", "I/O error: No such file or directory (os error 2)"),
    (".", "I/O error: Is a directory (os error 21)"),
    ("a\0b", "I/O error: file name contained an unexpected NUL byte"),
])
def test_unusable_path(tmp_path, monkeypatch, bad, message):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(tarnel.Error) as e:
        tarnel.open(bad)
    assert e.value.args == (message,)


def test_plain_key_of_the_main_table_is_no_collection(path):
    tarnel.open(path).collection("c").put(1, {})
    env = lmdb.open(path, subdir=False, max_dbs=16)
    with env.begin(write=True) as txn:  # written by another program
        txn.put(b"plain", b"value")
    env.close()
    db = tarnel.open(path)
    assert db.names() == ["c"] and not db.has("plain")
    db.close()


def test_lock(path):
    db = tarnel.open(path)
    c = db.collection("c")
    c.put(1, {"v": 1})
    for other in (path, os.path.join(os.path.dirname(path), ".", os.path.basename(path))):
        with pytest.raises(tarnel.Error) as e:
            tarnel.open(other)
        assert e.value.args == (LOCKED,)
    del db
    gc.collect()
    c.put(2, {"v": 2})  # the collection keeps the store open
    with pytest.raises(tarnel.Error, match=LOCKED):
        tarnel.open(path)
    del c
    gc.collect()
    db = tarnel.open(path)
    assert list(db.collection("c").iter_(1, False)) == [{"v": 1}, {"v": 2}]
    db.close()


@pytest.mark.parametrize("durable", [True, False])
def test_durable_settings_and_memory_databases(path, durable):
    db = tarnel.open(path, durable)
    db.collection("c").put_many([(i, {"v": i}) for i in range(50)])
    db.collection("c").delete(7)
    db.close()
    db, a, b = tarnel.open(path, not durable), tarnel.open(None, durable), tarnel.open(durable=durable)
    a.collection("c").put(1, {"v": 1})
    assert db.collection("c").len() == 49 and a.names() == ["c"] and b.names() == []
    for d in (db, a, b):
        d.close()


def test_names_has_and_drop(db):
    for name in ["é", "ab", "a", "B", "b\u00ff", "Z"]:
        db.collection(name).put(1, {"v": 1})
    c = db.collection("c")
    assert db.names() == ["B", "Z", "a", "ab", "b\u00ff", "é"]  # sorted by bytes
    assert [db.has(n) for n in ("a", "c", "", "A", "a\0")] == [True, False, False, False, False]
    c.put(1, {"v": 1})
    db.drop("c")
    assert "c" not in db.names() and not db.has("c")
    with pytest.raises(KeyError):
        c.get(1)
    with pytest.raises(KeyError) as e:
        c.delete("k")
    assert e.value.args == ("'k'",)
    with pytest.raises(KeyError) as e:
        db.drop("c")
    assert e.value.args == ("c",)
    c.put(2, {"v": 2})
    assert list(c.iter_(0, False)) == [2]
    long = db.collection("é" * 256)  # a name of 512 bytes
    for call in (lambda: long.put(1, {}), lambda: long.put_many([(1, {})])):
        with pytest.raises(tarnel.Error, match="^collection name of 512 bytes is longer than the "
                                               "engine's limit of 511 bytes$"):
            call()
    for call in (lambda: long.get(1), lambda: long.delete(1), lambda: db.drop("é" * 256)):
        with pytest.raises(KeyError):
            call()
    assert (db.has("é" * 256), long.len(), long.first(), list(long.iter_(0, False))) == (False, 0, None, [])
    db.collection("é" * 255 + "a").put(1, {})  # 511 bytes: the longest name
    assert db.has("é" * 255 + "a")


@pytest.mark.parametrize("name, message", [
    ("", "collection name must be non-empty"),
    ("a\0b", "collection name must not contain NUL characters"),
])
@pytest.mark.parametrize("closed", [False, True])
def test_bad_names(db, name, message, closed):
    if closed:
        db.close()
    for m in (db.collection, db.drop):
        with pytest.raises(ValueError) as e:
            m(name)
        assert e.value.args == (message,)


CALLS = {
    "names": lambda db, c: db.names(),
    "has": lambda db, c: db.has(""),
    "drop": lambda db, c: db.drop("x"),
    "get": lambda db, c: c.get(1),
    "put": lambda db, c: c.put(1, {"v": 1}),
    "put_many": lambda db, c: c.put_many([(1, {})]),
    "delete": lambda db, c: c.delete(1),
    "contains": lambda db, c: c.contains(1),
    "len": lambda db, c: c.len(),
    "iter_": lambda db, c: c.iter_(0, False),
    "range_": lambda db, c: c.range_(1, 2, 0),
    "prefix_": lambda db, c: c.prefix_("a", 0),
    "first": lambda db, c: c.first(),
    "last": lambda db, c: c.last(),
}


@pytest.mark.parametrize("call", list(CALLS.values()), ids=list(CALLS))
def test_closed(db, call):
    db.collection("c").put(1, {"v": 1})
    taken = [db.collection("c"), db.collection("new")]
    db.close()
    for c in taken + [db.collection("c")]:
        with pytest.raises(tarnel.Error) as e:
            call(db, c)
        assert type(e.value) is tarnel.Error and e.value.args == (CLOSED,)
    assert db.close() is None and c.put_many([]) is None
    with pytest.raises(TypeError, match="bool is not a valid key type"):
        c.put(True, {})

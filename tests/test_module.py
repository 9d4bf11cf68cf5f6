import importlib
import inspect
import sys
import weakref

import pytest

import tarnel
from tarnel import _tarnel

PUBLIC = ["Database", "Collection", "CollectionIter", "open", "Error"]
CLASSES = [tarnel.Database, tarnel.Collection, tarnel.CollectionIter]


def test_all_and_dir():
    assert _tarnel.__all__ == PUBLIC
    assert sorted(n for n in dir(_tarnel) if not n.startswith("_")) == sorted(PUBLIC)
    assert _tarnel.__doc__ == ""


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
class TestClassFacts:
    def test_identity(self, cls):
        assert cls.__module__ == "builtins"
        assert cls.__name__ == cls.__qualname__
        assert cls.__bases__ == (object,)

    def test_cannot_instantiate(self, cls):
        with pytest.raises(TypeError) as e:
            cls()
        assert str(e.value) == f"cannot create 'builtins.{cls.__name__}' instances"

    def test_cannot_subclass(self, cls):
        with pytest.raises(TypeError):
            type("Sub", (cls,), {})


def instances():
    db = tarnel.open()
    c = db.collection("c")
    return db, [db, c, c.iter_(0, False)]


@pytest.mark.parametrize("index", [0, 1, 2], ids=["Database", "Collection", "CollectionIter"])
def test_instances_have_no_dict_or_weakref(index):
    db, objs = instances()
    obj = objs[index]
    with pytest.raises(AttributeError):
        obj.anything = 1
    assert not hasattr(obj, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(obj)
    db.close()


def test_class_docstrings():
    assert tarnel.Database.__doc__ is None
    assert tarnel.Collection.__doc__ is None
    assert tarnel.CollectionIter.__doc__ == (
        "A streaming iterator over a read snapshot that it owns outright.")


# A docstring that holds only its text signature reads back as None.
DOCS = {
    tarnel.open: None,
    tarnel.Database.names: None,
    tarnel.Database.has: None,
    tarnel.Database.drop: "Drops a collection in its own write transaction; `KeyError` if absent.",
    tarnel.Database.collection: None,
    tarnel.Database.close: None,
    tarnel.Collection.first:
        "The smallest entry, or `None` when the collection is empty or absent.",
    tarnel.Collection.last:
        "The largest entry, or `None` when the collection is empty or absent.",
    tarnel.Collection.iter_:
        "Whole-collection iteration; `mode` selects keys, values, or items.",
    tarnel.Collection.range_:
        "Half-open `[start, stop)` scan; either bound may be `None` for unbounded.",
    tarnel.Collection.prefix_:
        "Every key sharing a prefix: a `str`/`bytes` text prefix, or a tuple of\nleading components.",
}

SIGNATURES = {
    tarnel.open: "(path=None, durable=True)",
    tarnel.Database.names: "(self, /)",
    tarnel.Database.has: "(self, /, name)",
    tarnel.Database.drop: "(self, /, name)",
    tarnel.Database.collection: "(self, /, name)",
    tarnel.Database.close: "(self, /)",
    tarnel.Collection.get: "(self, /, key)",
    tarnel.Collection.put: "(self, /, key, doc)",
    tarnel.Collection.put_many: "(self, /, items)",
    tarnel.Collection.delete: "(self, /, key)",
    tarnel.Collection.contains: "(self, /, key)",
    tarnel.Collection.len: "(self, /)",
    tarnel.Collection.iter_: "(self, /, mode, reverse)",
    tarnel.Collection.range_: "(self, /, start, stop, mode)",
    tarnel.Collection.prefix_: "(self, /, p, mode)",
    tarnel.Collection.first: "(self, /)",
    tarnel.Collection.last: "(self, /)",
}


@pytest.mark.parametrize("fn", list(DOCS), ids=lambda f: f.__qualname__)
def test_docstring_text(fn):
    assert fn.__doc__ == DOCS[fn]


@pytest.mark.parametrize("fn", list(SIGNATURES), ids=lambda f: f.__qualname__)
def test_signature(fn):
    assert str(inspect.signature(fn)) == SIGNATURES[fn]


def test_method_tables_in_order():
    assert [n for n in vars(tarnel.Database) if not n.startswith("_")] == [
        "names", "has", "drop", "collection", "close"]
    assert [n for n in vars(tarnel.Collection) if not n.startswith("_")] == [
        "get", "put", "put_many", "delete", "contains", "len", "iter_", "range_", "prefix_",
        "first", "last"]


def test_open_is_a_module_function():
    assert tarnel.open.__name__ == "open"
    assert tarnel.open.__module__ == "tarnel._tarnel"
    assert tarnel.open.__self__ is _tarnel


def test_reimport_gives_the_same_classes():
    before = {n: getattr(_tarnel, n) for n in PUBLIC}
    saved = {n: sys.modules.pop(n) for n in ("tarnel", "tarnel._tarnel")}
    try:
        again = importlib.import_module("tarnel._tarnel")
        assert again is not saved["tarnel._tarnel"]
        assert again.__all__ == PUBLIC and again.__all__ is not before and again.__all__ is not _tarnel.__all__
        for name in ("Database", "Collection", "CollectionIter", "Error"):
            assert getattr(again, name) is before[name]
        with pytest.raises(before["Error"]):
            again.open().collection("c").put(b"x" * 600, {})
    finally:
        sys.modules.update(saved)


class TestError:
    def test_class_facts(self):
        E = tarnel.Error
        assert E is _tarnel.Error
        assert (E.__module__, E.__name__, E.__qualname__) == ("tarnel", "Error", "Error")
        assert E.__doc__ == "Base Tarnel error."
        assert E.__bases__ == (Exception,)
        assert not issubclass(E, (TypeError, ValueError, KeyError, OSError))

    def test_raised_instance(self):
        db = tarnel.open()
        db.close()
        with pytest.raises(Exception) as e:
            db.names()
        assert type(e.value) is tarnel.Error
        assert e.value.args == ("database is closed",)
        assert str(e.value) == "database is closed"

    def test_subclassable(self):
        class Mine(tarnel.Error):
            pass

        with pytest.raises(tarnel.Error) as e:
            raise Mine("x")
        assert e.value.args == ("x",)

"""Edges: an interrupt in a user object's text, over-long collection names, the largest document."""

import os
import sys

import pytest

import tarnel


class Stop(BaseException):
    pass


def text(exc):
    class Text(str):
        def __str__(self):
            raise exc

    return Text("t")


def items(exc):
    class Items(list):
        def __len__(self):
            raise exc

    return Items([(1, {})])


def key_with_repr(exc):
    class Key(str):
        def __repr__(self):
            return text(exc)  # a str subclass whose own text raises

    return Key("k")


# Each call meets the exception in str() (or len()) of a user object.
CALLS = {
    "key": lambda c, e: c.put(text(e), {}),
    "tuple key part": lambda c, e: c.put((1, text(e)), {}),
    "prefix": lambda c, e: c.prefix_(text(e), 0),
    "text value": lambda c, e: c.put(1, {"v": [text(e)]}),
    "end of a batch": lambda c, e: c.put_many([(i, {}) for i in range(99)] + [(0, {"v": text(e)})]),
    "length of a batch": lambda c, e: c.put_many(items(e)),
    "repr of a missing key": lambda c, e: c.get(key_with_repr(e)),
}


@pytest.mark.parametrize("exc", [KeyboardInterrupt, SystemExit, GeneratorExit, Stop])
@pytest.mark.parametrize("call", CALLS.values(), ids=CALLS.keys())
def test_base_exceptions_propagate_and_nothing_is_written(coll, monkeypatch, call, exc):
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", seen.append)
    with pytest.raises(exc) as info:
        call(coll, exc)
    assert info.type is exc and seen == [] and coll.len() == 0


def test_collection_name_over_the_engine_limit(db):
    name = "é" * 256  # 512 bytes of UTF-8
    c = db.collection(name)
    message = "^collection name of 512 bytes is longer than the engine's limit of 511 bytes$"
    for call in (lambda: c.put(1, {}), lambda: c.put_many([(1, {})])):
        with pytest.raises(tarnel.Error, match=message):
            call()
    for call in (lambda: c.get(1), lambda: c.delete(1), lambda: db.drop(name)):
        with pytest.raises(KeyError):
            call()
    assert (db.has(name), c.len(), c.first(), list(c.iter_(0, False))) == (False, 0, None, [])
    db.collection(name[1:] + "a").put(1, {})  # 511 bytes: the longest name
    assert db.names() == [name[1:] + "a"]


LIMIT = 2_147_479_536  # with 4 KiB pages; {"a": blob} encodes to len(blob) + 13 bytes


@pytest.mark.skipif(os.sysconf("SC_PAGESIZE") != 4096, reason="the limit follows the page size")
def test_largest_document():
    coll = tarnel.open().collection("c")
    try:
        blob = b"x" * (LIMIT - 12)
    except MemoryError:
        pytest.skip("needs 2 GiB of memory")
    message = f"^document too large: its BSON encoding would exceed {LIMIT} bytes$"
    with pytest.raises(tarnel.Error, match=message):
        coll.put(1, {"a": blob})
    del blob
    coll.put(1, {"a": b"x" * (LIMIT - 13)})  # the largest one is written
    assert coll.len() == 1

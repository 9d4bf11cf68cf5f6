"""Fixtures and helpers shared by the suite."""

import datetime as dt
import math
import os
import pathlib
import struct
import subprocess
import sys
import time

import bson
import lmdb
import pytest

import tarnel

PKG_DIR = os.path.dirname(os.path.dirname(tarnel.__file__))
HERE = os.path.dirname(os.path.abspath(__file__))
ASAN = os.environ.get("TARNEL_ASAN") == "1"
LONG = os.environ.get("TARNEL_LONG") == "1"
I64_MIN, I64_MAX = -(2**63), 2**63 - 1
CLOSED = "database is closed"
LOCKED = "Database already open. Cannot acquire lock."
FORKED = "database was opened before this process forked; open it again in this process"
# The suite runs in a zone far from UTC, so that a naive datetime taken as local time shows.
os.environ["TZ"] = "America/New_York"
time.tzset()
KEY1 = b"\x01\x80\x00\x00\x00\x00\x00\x00\x01"  # the stored key of the int 1
CORPUS = pathlib.Path(HERE).parent.parent / "shared" / "data" / "bson-corpus"
MAPPED = (type(None), bool, int, float, str, bytes, dt.datetime, dict, list)


@pytest.fixture(params=["memory", "file"])
def db(request, tmp_path):
    d = tarnel.open(str(tmp_path / "t.db")) if request.param == "file" else tarnel.open()
    yield d
    d.close()


@pytest.fixture
def path(tmp_path):
    return str(tmp_path / "t.db")


@pytest.fixture
def coll(db):
    return db.collection("c")


def same(a, b):
    """Equality that also tells types apart and compares floats by their bits (NaN, -0.0)."""
    if type(a) is not type(b):
        return False
    if isinstance(a, float):
        return struct.pack("<d", a) == struct.pack("<d", b) or (math.isnan(a) and math.isnan(b))
    if isinstance(a, dict):
        return list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    if isinstance(a, (list, tuple)):
        return len(a) == len(b) and all(map(same, a, b))
    return a == b


def plain(value):
    """pymongo's reading in our terms (a DBRef as the document it was read from); KeyError at a
    kind we do not map, ValueError at an instant that datetime cannot hold."""
    if isinstance(value, bson.DBRef):
        value = dict(value.as_doc())
    if isinstance(value, dict):
        return {k: plain(v) for k, v in value.items()}
    if isinstance(value, list):
        return [plain(v) for v in value]
    if isinstance(value, bson.DatetimeMS):
        raise ValueError("out of range")
    if type(value) is bson.Code or not isinstance(value, MAPPED):
        raise KeyError(type(value))
    return bytes(value) if isinstance(value, bytes) else int(value) if type(value) is bson.Int64 else value


def doc_bytes(*elements):
    """A BSON document framing raw element bytes."""
    body = b"".join(elements)
    return struct.pack("<i", len(body) + 5) + body + b"\x00"


def _raise(exc):
    raise exc


OtherText = type("OtherText", (str,), {"__str__": lambda self: "other"})  # str() is other text
# Equal only to itself: a dict may hold two keys of the same characters.
Same = type("Same", (str,), {"__hash__": object.__hash__, "__eq__": lambda self, other: self is other})
Unprintable = type("Unprintable", (str,), {"__str__": lambda self: _raise(RuntimeError("no text"))})
NamelessMeta = type("NamelessMeta", (type,), {"__name__": property(lambda cls: _raise(LookupError("no name")))})


def raw_table(path):
    """{stored key: stored value} of a collection of a closed database file."""
    env = lmdb.open(str(path), subdir=False, readonly=True, lock=False, max_dbs=16)
    try:
        with env.begin(db=env.open_db(b"c", create=False)) as txn:
            return {bytes(k): bytes(v) for k, v in txn.cursor()}
    finally:
        env.close()


def with_raw(path, key, value):
    """A file database whose collection c holds only `value` under the stored key `key`."""
    db = tarnel.open(str(path))
    db.collection("c").put(0, {})
    db.close()
    env = lmdb.open(str(path), subdir=False, max_dbs=16)
    try:
        with env.begin(write=True, db=env.open_db(b"c")) as txn:
            txn.drop(env.open_db(b"c", txn=txn), delete=False)
            txn.put(key, value)
    finally:
        env.close()
    return tarnel.open(str(path))


# The reader table of the LMDB file argv[1], listed by py-lmdb in a process of its own: "pid txnid"
# per slot (txnid "-": a reset, pooled one), then "end"; with "hold", once per line of stdin.
READERS = r"""
import sys, lmdb
env = lmdb.open(sys.argv[1], subdir=False, readonly=True, lock=True, map_size=1 << 30)
def show():
    for line in env.readers().splitlines()[1:]:
        if line.strip():
            pid, _, txnid = line.split()
            print(pid, txnid)
    print("end", flush=True)
for _ in (sys.stdin if sys.argv[2:] == ["hold"] else [0]):
    show()
"""


def parse_readers(text):
    """[(pid, txnid or None)] of the occupied reader slots in READERS output."""
    slots = []
    for line in text.splitlines():
        if line == "end":
            break
        pid, txnid = line.split()
        slots.append((int(pid), None if txnid == "-" else int(txnid)))
    return slots


def reader_slots(path):
    r = subprocess.run([sys.executable, "-c", READERS, path], capture_output=True, text=True,
                       timeout=60)
    assert r.returncode == 0, r.stderr
    return parse_readers(r.stdout)

import os
import subprocess
import sys

import pytest

import tarnel

PKG_DIR = os.path.dirname(os.path.dirname(tarnel.__file__))


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


KEY1 = b"\x01\x80\x00\x00\x00\x00\x00\x00\x01"  # the stored key of the int 1


def read_foreign(path, raw, key=KEY1):
    """get(1) of collection c when its table holds `raw` under `key`, written behind tarnel's back.

    The table is made by tarnel (a put of an empty document under key 1), then `raw` is written
    with py-lmdb while tarnel has the file closed, then the file is opened again for the get.
    """
    db = tarnel.open(str(path))
    db.collection("c").put(1, {})
    db.close()
    import lmdb

    env = lmdb.open(str(path), subdir=False, max_dbs=16)
    try:
        with env.begin(write=True, db=env.open_db(b"c")) as txn:
            txn.put(key, raw)
    finally:
        env.close()
    db = tarnel.open(str(path))
    try:
        return db.collection("c").get(1)
    finally:
        db.close()


def run_child(code, *args):
    """Runs `code` in a fresh interpreter that imports tarnel from this build."""
    env = dict(os.environ, PYTHONPATH=PKG_DIR)
    return subprocess.run([sys.executable, "-c", code, *args], env=env, capture_output=True,
                          text=True, timeout=60)


ASAN = os.environ.get("TARNEL_ASAN") == "1"
LONG = os.environ.get("TARNEL_LONG") == "1"

# Lists the reader table of the LMDB environment at argv[1] through py-lmdb, in a process of its
# own (one process must never hold two environments of one file): one "pid txnid" line per
# occupied slot, txnid "-" for a reset (pooled) transaction. With argv[2] == "hold" it keeps the
# environment open and answers one listing per line read from stdin, ending each with "end".
READERS = r"""
import sys, lmdb
env = lmdb.open(sys.argv[1], subdir=False, readonly=True, lock=True, map_size=1 << 30)
def show():
    for line in env.readers().splitlines()[1:]:
        if line.strip():
            pid, _, txnid = line.split()
            print(pid, txnid)
    print("end", flush=True)
if sys.argv[2:] == ["hold"]:
    for _ in sys.stdin:
        show()
else:
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

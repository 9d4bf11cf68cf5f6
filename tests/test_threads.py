import threading

import pytest

import tarnel
from conftest import run_child

TIMEOUT = 60


def run_threads(targets):
    errors = []

    def guard(fn):
        def body():
            try:
                fn()
            except BaseException as e:  # noqa: BLE001 - reported to the test below
                errors.append(e)
        return body

    threads = [threading.Thread(target=guard(t), daemon=True) for t in targets]
    for t in threads:
        t.start()
    for t in threads:
        t.join(TIMEOUT)
    assert not any(t.is_alive() for t in threads), "a thread hung"
    assert errors == []


def test_concurrent_writers_and_readers(db):
    c = db.collection("c")
    writers, per_writer = 4, 80
    done = threading.Event()

    def writer(w):
        def body():
            for j in range(per_writer):
                if j % 10 == 0:
                    c.put_many([((w, j, n), {"v": n}) for n in range(3)])
                else:
                    c.put((w, j), {"v": j})
                assert c.contains((w, j, 0) if j % 10 == 0 else (w, j))
        return body

    def reader():
        last = 0
        while not done.is_set():
            keys = list(c.iter_(0, False))
            assert keys == sorted(keys)
            assert len(keys) >= last
            last = len(keys)
            c.first(), c.last(), c.len(), db.names()

    readers = [threading.Thread(target=reader, daemon=True) for _ in range(2)]
    for r in readers:
        r.start()
    try:
        run_threads([writer(w) for w in range(writers)])
    finally:
        done.set()
        for r in readers:
            r.join(TIMEOUT)
    assert not any(r.is_alive() for r in readers)
    expected = writers * (per_writer - per_writer // 10 + 3 * (per_writer // 10))
    assert c.len() == expected
    assert len(list(c.iter_(0, False))) == expected
    for w in range(writers):
        assert c.get((w, 1)) == {"v": 1}
        assert c.get((w, 0, 2)) == {"v": 2}


def test_two_threads_drain_one_iterator(db):
    c = db.collection("c")
    n = 3000
    c.put_many([(i, {"v": i}) for i in range(n)])
    it = c.iter_(2, False)
    got = [[], []]

    def drain(out):
        return lambda: out.extend(it)

    run_threads([drain(got[0]), drain(got[1])])
    assert sorted(k for k, _ in got[0] + got[1]) == list(range(n))
    for part in got:
        assert [k for k, _ in part] == sorted(k for k, _ in part)


CLOSE_RACE = r"""
import sys, threading, time, tarnel
path = sys.argv[1] if len(sys.argv) > 1 else None
db = tarnel.open(path, False) if path else tarnel.open()
closed = threading.Event()
bad = []
ops = [0] * 4

def worker(w):
    c = db.collection("c%d" % w)
    i = 0
    while True:
        after = closed.is_set()
        try:
            c.put(i, {"v": i})
            c.put_many([(i + 1, {"v": i})])
            if i % 3 == 0:
                db.drop("c%d" % w)
            list(c.iter_(0, False))
        except tarnel.Error as e:
            if after:
                if str(e) != "database is closed":
                    bad.append(repr(e))
                return
            if str(e) != "database is closed":
                bad.append(repr(e))
        except KeyError as e:
            if after:
                bad.append(repr(e))
                return
        ops[w] += 1
        i += 2

threads = [threading.Thread(target=worker, args=(w,), daemon=True) for w in range(4)]
for t in threads:
    t.start()
time.sleep(0.3)
db.close()
closed.set()
for t in threads:
    t.join(30)
print("hung" if any(t.is_alive() for t in threads) else "ok", bad, min(ops) > 0)
"""


@pytest.mark.parametrize("kind", ["memory", "file"])
def test_close_while_writing_does_not_hang(tmp_path, kind):
    args = [str(tmp_path / "t.db")] if kind == "file" else []
    r = run_child(CLOSE_RACE, *args)
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == "ok [] True"
    if kind == "file":
        db = tarnel.open(args[0])  # the lock was released by whichever thread let go last
        db.names()
        db.close()


@pytest.mark.skip(reason="needs a stored value whose decoding runs Python code (a date), "
                         "which the document decoder in this build does not produce")
def test_reentrant_step_does_not_hang():
    pass

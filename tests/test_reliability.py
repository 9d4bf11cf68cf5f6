"""Promises kept under faults and load: a writer killed at random moments, damaged and cut files,
a full disk, writes from Python code run inside another call, threads mixing every call, memory
over many calls, reader slots and descriptors given back, and databases inherited through fork()."""
import gc
import json
import os
import random
import select
import signal
import subprocess
import sys
import time

import pytest

import tarnel
import workload
from conftest import ASAN, FORKED, HERE, LONG, PKG_DIR, READERS, parse_readers, reader_slots, run_child

CHILD_ENV = dict(os.environ, PYTHONPATH=PKG_DIR)


def snapshot(path):
    """Every collection of the file as {name: {key: doc}}, checking len and reverse scans."""
    db = tarnel.open(path)
    try:
        out = {}
        for name in db.names():
            c = db.collection(name)
            out[name] = dict(c.iter_(2, False))
            assert c.len() == len(out[name]), name
            assert [k for k, _ in c.iter_(2, True)] == list(reversed(list(out[name]))), name
        return out
    finally:
        db.close()


def run_and_kill(path, durable, rnd, rng):
    """Starts the writer, kills it after a random number of acknowledged calls (or while it opens),
    and returns (pid, acknowledged call count, or -1 if it never opened)."""
    proc = subprocess.Popen([sys.executable, os.path.join(HERE, "workload.py"), "kill", path,
                             "1" if durable else "0", str(rnd)],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=CHILD_ENV)
    target = rng.choice([-1, 0, 1, 3]) if rng.random() < 0.2 else rng.randint(0, 250)
    buf = b""
    deadline = time.monotonic() + 30
    try:
        if target == -1:
            time.sleep(rng.uniform(0, 0.15))
        while target >= 0 and buf.count(b"\n") < target + 1 and time.monotonic() < deadline:
            if select.select([proc.stdout], [], [], 1)[0]:
                chunk = os.read(proc.stdout.fileno(), 65536)
                if not chunk:
                    break
                buf += chunk
        time.sleep(rng.uniform(0, 0.004))
    finally:
        proc.send_signal(signal.SIGKILL)
        rest, err = proc.communicate(timeout=30)
    assert proc.returncode == -signal.SIGKILL, err.decode()
    lines = (buf + rest).decode().split("\n")
    if lines[0] != "open":
        return proc.pid, -1
    acks = [int(line.split()[1]) for line in lines[1:] if line.startswith("ack ")]
    assert acks == list(range(len(acks)))
    return proc.pid, len(acks)


@pytest.mark.skipif(ASAN, reason="kills interpreters; too slow under the sanitizers")
@pytest.mark.parametrize("durable", [True, False], ids=["durable", "nosync"])
def test_killed_writer_loses_no_acknowledged_call(tmp_path, durable):
    path = str(tmp_path / "k.db")
    tarnel.open(path).close()
    rng = random.Random(0x7A21 + durable)
    model, killed = {}, []
    # A py-lmdb process keeps the environment open across the rounds, so the reader table is never
    # reset by a lone opener and the slots of killed writers stay until someone clears them.
    holder = subprocess.Popen([sys.executable, "-c", READERS, path, "hold"], stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, text=True)
    try:
        for rnd in range(300 if LONG else 20):
            pid, acked = run_and_kill(path, durable, rnd, rng)
            killed.append(pid)
            found = snapshot(path)
            for i in range(max(acked, 0)):
                workload.apply(model, workload.op(rnd, i))
            if acked >= 0 and found != model:
                # The call in flight when the kill landed is wholly there or wholly absent.
                workload.apply(model, workload.op(rnd, acked))
            assert found == model, "round %d, %d calls acknowledged" % (rnd, acked)
        tarnel.open(path).close()  # opening runs the reader check: no slot of a killed writer stays
        holder.stdin.write("\n")
        holder.stdin.flush()
        listing = []
        while not listing or listing[-1] not in ("end\n", ""):
            listing.append(holder.stdout.readline())
        assert [p for p, _ in parse_readers("".join(listing)) if p in killed] == []
    finally:
        holder.stdin.close()
        holder.wait(30)
        holder.stdout.close()


def make_database(path):
    db = tarnel.open(path)
    for n in range(3):
        db.collection("c%d" % n).put_many(
            [(("k", i), {"i": i, "s": "v" * (i % 7) * 30, "l": [i, {"x": i}]}) for i in range(400)])
        db.collection("c%d" % n).put(("big", n), {"blob": b"\x01" * 9000})
    db.close()


# Opens a possibly damaged file and reads everything it can; prints "data" when every read
# returned, "error <text>" at the first tarnel.Error. Any other exception fails the process.
READ_ALL = r"""
import sys, tarnel
try:
    db = tarnel.open(sys.argv[1])
    for name in db.names():
        c = db.collection(name)
        c.len(), c.first(), c.last(), list(c.prefix_(("k",), 1))
        for k in list(c.iter_(0, False))[:50]:
            c.get(k)
        assert all(isinstance(d, dict) for k, d in c.iter_(2, True))
    print("data")
except tarnel.Error as e:
    print("error", e)
"""


@pytest.mark.parametrize("how", ["flip", "meta", "cut"])
def test_damaged_files_end_in_data_or_error(tmp_path, how):
    src = str(tmp_path / "good.db")
    make_database(src)
    with open(src, "rb") as f:
        good = f.read()
    rng = random.Random(0xDA4A)
    for n in range(100 if LONG else (4 if ASAN else 12)):
        data = bytearray(good)
        if how == "cut":
            data = data[:[len(data) - 1, 3 * 4096 + 100, 2 * 4096, rng.randrange(1, len(data))][n % 4]]
        for _ in range(0 if how == "cut" else rng.choice([1, 2, 8, 64])):
            data[rng.randrange(8192 if how == "meta" else len(data))] ^= 1 << rng.randrange(8)
        path = str(tmp_path / ("d%d.db" % n))
        with open(path, "wb") as f:
            f.write(data)
        r = run_child(READ_ALL, path)
        if how != "cut" and (r.returncode < 0 or (ASAN and "Sanitizer" in r.stderr)):
            continue  # without checksums the engine may crash on damaged pages
        assert r.returncode == 0, r.stderr[-3000:]  # no exception but tarnel.Error
        if how == "cut" and n % 4 < 3:
            assert r.stdout.startswith("error database file is cut short: %d bytes, its last "
                                       "commit needs " % len(data)), r.stdout
            with open(path, "rb") as f:
                assert f.read() == data  # the refused file is left alone


@pytest.fixture
def small_fs(tmp_path):
    """A 2 MB tmpfs (needs root)."""
    if os.geteuid() != 0:
        pytest.skip("mounting a small file system needs root")
    mnt = tmp_path / "fs"
    mnt.mkdir()
    r = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=2m", "tmpfs", str(mnt)],
                       capture_output=True, text=True)
    if r.returncode != 0:
        pytest.skip("cannot mount a tmpfs: " + r.stderr.strip())
    try:
        yield str(mnt)
    finally:
        subprocess.run(["umount", "-l", str(mnt)], check=True)


def test_full_disk_fails_cleanly_and_recovers(small_fs):
    path = os.path.join(small_fs, "t.db")
    ballast = os.path.join(small_fs, "ballast")
    with open(ballast, "wb") as f:
        f.write(b"\xAA" * 300_000)
    db = tarnel.open(path, False)
    c = db.collection("c")
    model, seen = {}, set()
    with pytest.raises(tarnel.Error) as e:
        for i in range(100_000):
            c.put(i, {"pad": "x" * 900})
            model[i] = {"pad": "x" * 900}
    seen.add(str(e.value))
    batch = [(("b", j), {"pad": "y" * 300}) for j in range(60)]
    for _ in range(3):  # the engine stays usable: every attempt fails the same way
        with pytest.raises(tarnel.Error) as e:
            c.put_many(batch)
        seen.add(str(e.value))
    # A short write of a run of pages is reported by the engine as EIO.
    assert seen <= {"I/O error: No space left on device (os error 28)",
                    "I/O error: Input/output error (os error 5)"}
    assert not c.contains(("b", 0)) and dict(c.iter_(2, False)) == model
    os.unlink(ballast)  # space again: writes work on the same handle
    c.put_many(batch)
    model.update(batch)
    db.close()
    assert snapshot(path) == {"c": model}


def test_writes_from_python_code_run_inside_a_call(db, monkeypatch):
    import datetime as real

    c = db.collection("c")
    calls = []

    class Sneaky(str):
        def __str__(self):
            calls.append(len(calls))
            c.put(("inner", calls[-1]), {})  # runs while the outer call encodes
            return str.__str__(self)

    c.put(Sneaky("outer"), {"v": Sneaky("value")})
    c.put_many([(Sneaky("m1"), {"a": 1}), ("m2", {"v": Sneaky("x")})])
    assert [c.get("outer"), c.get("m1"), c.get("m2")] == [{"v": "value"}, {"a": 1}, {"v": "x"}]
    assert c.len() == 3 + len(calls) == 7
    when = real.datetime(2024, 5, 1, 12, 0, 0, 123000, tzinfo=real.timezone.utc)
    db.drop("c")
    c.put_many([(i, {"t": when}) for i in range(50)])

    class FakeDatetime:
        @staticmethod
        def fromtimestamp(secs, tz):
            n = len(calls)
            calls.append(n)
            c.put(("side", n), {})  # the scan's snapshot does not see these
            db.collection("other%d" % (n % 3)).put(n, {})  # nor tables made meanwhile
            return real.datetime.fromtimestamp(secs, tz)

    monkeypatch.setitem(sys.modules, "datetime", type(sys)("datetime"))
    sys.modules["datetime"].datetime, sys.modules["datetime"].timezone = FakeDatetime, real.timezone
    it = c.iter_(2, False)
    first = [next(it) for _ in range(10)]  # drained partly, then a point read, then the rest
    got = c.get(7)
    rest = list(it)
    monkeypatch.undo()
    assert [k for k, _ in first + rest] == list(range(50))
    assert all(d["t"] == when for _, d in first + rest) and got["t"] == when
    assert c.len() == 50 + 51 and sum(db.collection("other%d" % m).len() for m in range(3)) == 51


@pytest.mark.parametrize("kind, durable, close", [("file", True, "end"), ("memory", False, "middle")])
def test_threads_mixing_every_call(tmp_path, kind, durable, close):
    seconds = 20 if LONG else (1.5 if ASAN else 2.5)
    target = str(tmp_path / "s.db") if kind == "file" else "-"
    try:
        r = subprocess.run([sys.executable, os.path.join(HERE, "workload.py"), "stress", target,
                            "1" if durable else "0", str(seconds), close, "7"],
                           env=CHILD_ENV, capture_output=True, text=True, timeout=seconds + 120)
    except subprocess.TimeoutExpired as e:
        pytest.fail("the stress run hung:\n%s" % (e.stderr or b"").decode(errors="replace")[-4000:])
    assert r.returncode == 0, r.stderr[-4000:]
    out = json.loads(r.stdout)
    assert out["problems"] == [] and out["ops"] > 100 and out["verified"] == (kind == "file")


# Runs about CALLS calls of every kind on a bounded key space after a warm-up; prints the calls
# made and the growth of the resident set in bytes.
RSS_LOOP = r"""
import datetime, gc, os, sys, tarnel
calls = int(sys.argv[1])
def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
c = tarnel.open().collection("c")
when = datetime.datetime(2020, 1, 2, tzinfo=datetime.timezone.utc)
doc = {"s": "text", "n": 12, "f": 1.5, "l": [1, "a", {"x": b"b"}], "t": when, "z": None}
def run(n):
    for i in range(n // 10):
        k = (i % 500, "k")
        c.put(k, doc), c.get(k), c.contains(k), c.first(), c.last(), c.len()
        it = c.range_(k, None, 2)
        next(it, None), list(c.prefix_((i % 500,), 0))
        del it
        if i % 3 == 0:
            c.delete(k)
        if i % 50 == 0:
            c.put_many([((j, "m"), doc) for j in range(10)])
run(max(calls // 5, 20000))
gc.collect()
before = rss()
run(calls)
gc.collect()
print(rss() - before)
"""


def test_memory_stays_flat():
    calls = 200_000 if ASAN else (3_000_000 if LONG else 1_000_000)
    env = dict(CHILD_ENV)
    if ASAN:  # freed memory waits in the sanitizer's quarantine, which would read as growth
        env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":quarantine_size_mb=0"
    r = subprocess.run([sys.executable, "-c", RSS_LOOP, str(calls)], env=env, capture_output=True,
                       text=True, timeout=600)
    assert r.returncode == 0, r.stderr[-4000:]
    # A leak of one small object per call would be ~30 MB per million calls.
    assert int(r.stdout) < 4 * 2**20 + 8 * calls


def test_iterators_give_back_reader_slots_and_descriptors(path):
    fds = lambda: len(os.listdir("/proc/self/fd"))  # noqa: E731
    mine = lambda: [t for p, t in reader_slots(path) if p == os.getpid()]  # noqa: E731
    start_fds = fds()
    db = tarnel.open(path)
    c = db.collection("c")
    c.put_many([(i, {"i": i}) for i in range(100)])
    opened_fds = fds()
    partly = [c.iter_(n % 3, n % 2 == 0) for n in range(60)]
    for it in partly:
        next(it)
    drained = [c.range_(n, None, 0) for n in range(60)]
    for n, it in enumerate(drained):
        assert len(list(it)) == 100 - n  # drained: the snapshot went back
        c.get(n), c.first(), c.len()
    assert sum(t is not None for t in mine()) == 60
    assert fds() == opened_fds  # snapshots share the environment's descriptors
    del partly, it
    gc.collect()
    slots = mine()
    assert all(t is None for t in slots) and len(slots) <= 16  # only the pool of reset ones
    db.close()
    gc.collect()
    assert fds() == start_fds and reader_slots(path) == []


# Opens a database, keeps a live iterator, forks; the child uses the inherited database ("use")
# or merely exits ("exit"). Then the parent goes on. Prints one JSON line.
FORK = r"""
import json, os, subprocess, sys, tarnel
path, mode, readers = sys.argv[1], sys.argv[2], sys.argv[3]
def slots():
    out = subprocess.run([sys.executable, "-c", readers, path], capture_output=True, text=True).stdout
    return sorted(l for l in out.splitlines() if l.split()[0] == str(os.getpid()))
db = tarnel.open(path)
c = db.collection("c")
c.put_many([(i, {"i": i}) for i in range(200)])
it = c.iter_(0, False)
first = [next(it) for _ in range(50)]
before = slots()
r, w = os.pipe()
pid = os.fork()
if pid == 0:
    seen = []
    if mode == "use":
        for call in [lambda: c.put(1000, {}), lambda: c.put_many([(1001, {})]), lambda: c.get(1),
                     lambda: c.contains(1), lambda: c.delete(2), lambda: c.len(), lambda: c.first(),
                     lambda: c.last(), lambda: list(c.iter_(0, False)), lambda: next(it),
                     lambda: db.names(), lambda: db.has("c"), lambda: db.drop("c")]:
            try:
                call()
                seen.append("returned")
            except tarnel.Error as e:
                seen.append(str(e))
        db.close()
    os.write(w, json.dumps(seen).encode())
    sys.exit(0)  # a normal exit: the inherited objects are released
os.close(w)
child_saw = json.loads(os.fdopen(r).read())
_, status = os.waitpid(pid, 0)
after = slots()
rest = list(it)
c.put(500, {"v": 1})
c.delete(0)
db.close()
db = tarnel.open(path)
docs = dict(db.collection("c").iter_(2, False))
print(json.dumps({"child": child_saw, "status": status, "slots_kept": before == after and len(before) > 0,
                  "iter": first + rest == list(range(200)),
                  "ok": len(docs) == 200 and docs[500] == {"v": 1} and 0 not in docs}))
"""


@pytest.mark.parametrize("mode", ["use", "exit"])
def test_database_inherited_through_fork(path, mode):
    r = run_child(FORK, path, mode, READERS)
    assert r.returncode == 0, r.stderr
    out = json.loads(r.stdout)
    assert out == {"child": [FORKED] * 13 if mode == "use" else [], "status": 0, "slots_kept": True,
                   "iter": True, "ok": True}

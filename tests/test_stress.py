"""Load and resources: threads mixing every call under a watchdog, memory over a million calls,
descriptors and reader slots given back, and databases inherited through fork()."""
import gc
import json
import os
import subprocess
import sys

import pytest

import tarnel
from conftest import ASAN, LONG, PKG_DIR, READERS, reader_slots, run_child

HERE = os.path.dirname(os.path.abspath(__file__))
FORKED = "database was opened before this process forked; open it again in this process"


# ---- threads mixing every call -------------------------------------------------------------------

@pytest.mark.parametrize("kind, durable, close", [
    ("file", True, "end"),
    ("file", False, "middle"),
    ("memory", True, "end"),
    ("memory", False, "middle"),
])
def test_threads_mixing_every_call(tmp_path, kind, durable, close):
    seconds = 20 if LONG else (1.5 if ASAN else 2.5)
    target = str(tmp_path / "s.db") if kind == "file" else "-"
    try:
        r = subprocess.run([sys.executable, os.path.join(HERE, "stress_child.py"), target,
                            "1" if durable else "0", str(seconds), close, "7"],
                           env=dict(os.environ, PYTHONPATH=PKG_DIR), capture_output=True,
                           text=True, timeout=seconds + 120)
    except subprocess.TimeoutExpired as e:
        pytest.fail("the stress run hung:\n%s" % (e.stderr or b"").decode(errors="replace")[-4000:])
    assert r.returncode == 0, r.stderr[-4000:]
    out = json.loads(r.stdout)
    assert out["problems"] == []
    assert out["verified"] == (kind == "file")
    assert out["ops"] > 100
    print("\nstress (%s, durable=%s, close at %s): %d calls in %.1f s"
          % (kind, durable, close, out["ops"], seconds))


# ---- memory ------------------------------------------------------------------------------------

# Runs CALLS calls (put, get, contains, scans, first/last, delete, put_many, len) on a bounded key
# space after a warm-up, and prints the growth of the resident set in bytes.
RSS_LOOP = r"""
import datetime, gc, os, sys, tarnel
calls = int(sys.argv[1])
page = os.sysconf("SC_PAGE_SIZE")
def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * page
db = tarnel.open(sys.argv[2], False) if len(sys.argv) > 2 else tarnel.open()
c = db.collection("c")
when = datetime.datetime(2020, 1, 2, tzinfo=datetime.timezone.utc)
doc = {"s": "text", "n": 12, "f": 1.5, "l": [1, "a", {"x": b"b"}], "t": when, "z": None}
def run(n):
    done = 0
    i = 0
    while done < n:
        k = (i % 500, "k")
        c.put(k, doc)
        c.get(k)
        c.contains(k)
        it = c.range_(k, None, 2)
        next(it, None)
        next(it, None)
        del it
        list(c.prefix_((i % 500,), 0))
        c.first()
        c.last()
        c.len()
        if i % 3 == 0:
            c.delete(k)
        if i % 50 == 0:
            c.put_many([((j, "m"), doc) for j in range(10)])
        done += 9 + (i % 3 == 0) + (i % 50 == 0)
        i += 1
    return done
run(max(calls // 5, 20000))
gc.collect()
before = rss()
done = run(calls)
gc.collect()
print(done, rss() - before)
"""


@pytest.mark.parametrize("kind", ["memory", "file"])
def test_memory_stays_flat(tmp_path, kind):
    calls = 200_000 if ASAN else (3_000_000 if LONG else 1_000_000)
    if kind == "file" and not LONG:
        calls //= 4
    args = [str(calls)] + ([str(tmp_path / "m.db")] if kind == "file" else [])
    env = dict(os.environ, PYTHONPATH=PKG_DIR)
    if ASAN:  # freed memory waits in the sanitizer's quarantine, which would read as growth
        env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":quarantine_size_mb=0"
    r = subprocess.run([sys.executable, "-c", RSS_LOOP, *args], env=env, capture_output=True,
                       text=True, timeout=600)
    assert r.returncode == 0, r.stderr[-4000:]
    done, growth = map(int, r.stdout.split())
    per_million = growth * 1_000_000 / done
    print("\nRSS (%s): %+.2f MB over %d calls (%+.2f MB per million)"
          % (kind, growth / 2**20, done, per_million / 2**20))
    # A leak of one small object per call would be ~30 MB per million calls.
    assert growth < 4 * 2**20 + 8 * done


# ---- descriptors and reader slots ---------------------------------------------------------------

def fds():
    return len(os.listdir("/proc/self/fd"))


def mine(slots):
    """(live snapshots, all slots) of this process in a reader table listing."""
    own = [t for p, t in slots if p == os.getpid()]
    return sum(t is not None for t in own), len(own)


def test_iterators_give_back_reader_slots_and_descriptors(path):
    start_fds = fds()
    db = tarnel.open(path)
    c = db.collection("c")
    c.put_many([(i, {"i": i}) for i in range(100)])
    opened_fds = fds()
    partly = []
    for n in range(60):
        it = c.iter_(n % 3, n % 2 == 0)
        next(it)
        partly.append(it)
    for n in range(60):
        assert len(list(c.range_(n, None, 0))) == 100 - n  # drained: the snapshot went back
        c.get(n), c.first(), c.len()
    live, total = mine(reader_slots(path))
    assert live == 60
    assert fds() == opened_fds  # snapshots share the environment's descriptors
    del partly, it
    gc.collect()
    live, total = mine(reader_slots(path))
    assert live == 0 and total <= 16  # only the small pool of reset transactions is kept
    held = c.iter_(0, False)
    next(held)
    db.close()
    assert list(held) == list(range(1, 100))  # the snapshot outlives close()
    del held
    gc.collect()
    assert fds() == start_fds
    assert reader_slots(path) == []


# ---- fork ----------------------------------------------------------------------------------------

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
    os.close(r)
    seen = []
    if mode == "use":
        calls = [lambda: c.put(1000, {}), lambda: c.put_many([(1001, {})]), lambda: c.get(1),
                 lambda: c.contains(1), lambda: c.delete(2), lambda: c.len(), lambda: c.first(),
                 lambda: c.last(), lambda: list(c.iter_(0, False)), lambda: next(it),
                 lambda: db.names(), lambda: db.has("c"), lambda: db.drop("c")]
        for call in calls:
            try:
                call()
                seen.append("returned")
            except tarnel.Error as e:
                seen.append(str(e))
        db.collection("d")
        db.close()
    os.write(w, json.dumps(seen).encode())
    os.close(w)
    sys.exit(0)  # a normal exit: the inherited objects are released
os.close(w)
with os.fdopen(r) as f:
    child_saw = json.loads(f.read())
_, status = os.waitpid(pid, 0)
after = slots()
rest = list(it)
c.put(500, {"v": 1})
c.delete(0)
ok = c.get(500) == {"v": 1} and c.len() == 200 and db.names() == ["c"]
db.close()
db = tarnel.open(path)
c = db.collection("c")
docs = dict(c.iter_(2, False))
ok = ok and len(docs) == 200 and docs[500] == {"v": 1} and 0 not in docs
db.close()
print(json.dumps({"child": child_saw, "status": status, "slots_kept": before == after and
                  len(before) > 0, "iter": first + rest == list(range(200)), "ok": ok}))
"""


@pytest.mark.parametrize("mode", ["use", "exit"])
def test_database_inherited_through_fork(path, mode):
    r = run_child(FORK, path, mode, READERS)
    assert r.returncode == 0, r.stderr
    out = json.loads(r.stdout)
    assert out["status"] == 0
    assert out["child"] == ([FORKED] * 13 if mode == "use" else [])
    assert out["slots_kept"] and out["iter"] and out["ok"]

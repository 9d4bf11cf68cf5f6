"""Promises kept under faults, load and odd lifecycles, mostly in child processes."""
import contextlib
import gc
import json
import os
import pathlib
import random
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time

import pytest

import tarnel
import workload
from conftest import ASAN, FORKED, HERE, LOCKED, LONG, PKG_DIR, READERS, parse_readers, reader_slots

CHILD_ENV = dict(os.environ, PYTHONPATH=PKG_DIR)

# Shared by the child scripts: other(code, *args) runs `code` in yet another process and returns
# what it printed; attempt(f, *args) calls f and returns "ok" or the text of its tarnel.Error.
PRELUDE = r"""
import os, subprocess, sys, tarnel
def other(code, *args):
    r = subprocess.run([sys.executable, "-c", PRELUDE + code, *args], capture_output=True, text=True)
    assert r.returncode == 0, r.stderr
    return r.stdout.strip()
def attempt(f, *args):
    try:
        f(*args)
        return "ok"
    except tarnel.Error as e:
        return str(e)
"""
PRELUDE = "PRELUDE = %r\n%s" % (PRELUDE, PRELUDE)


def child(code, *args):
    """The lines `code` prints in a fresh interpreter (after PRELUDE); it must end normally."""
    r = subprocess.run([sys.executable, "-c", PRELUDE + code, *args], capture_output=True,
                       text=True, timeout=120, env=CHILD_ENV)
    assert r.returncode == 0, r.stderr[-4000:]
    return r.stdout.splitlines()


def snapshot(path):
    """Every collection of the file as {name: {key: doc}}, checking len and reverse scans."""
    db = tarnel.open(path)
    out = {name: dict(db.collection(name).iter_(2, False)) for name in db.names()}
    for name, entries in out.items():
        c = db.collection(name)
        assert c.len() == len(entries) and [k for k, _ in c.iter_(2, True)] == list(entries)[::-1]
    db.close()
    return out


def run_and_kill(path, durable, rnd, rng):
    """Starts the writer, kills it after a random number of acknowledged calls (or while it opens),
    and returns (pid, acknowledged call count, or -1 if it never opened)."""
    proc = subprocess.Popen([sys.executable, os.path.join(HERE, "workload.py"), "kill", path,
                             "1" if durable else "0", str(rnd)],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=CHILD_ENV)
    target = rng.choice([-1, 0, 1, 3]) if rng.random() < 0.2 else rng.randint(0, 250)
    buf, deadline = b"", time.monotonic() + 30
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
    acks = [int(line.split()[1]) for line in lines[1:] if line.startswith("ack ")]
    assert acks == list(range(len(acks)))
    return proc.pid, len(acks) if lines[0] == "open" else -1


@pytest.mark.skipif(ASAN, reason="kills interpreters; too slow under the sanitizers")
@pytest.mark.parametrize("durable", [True, False], ids=["durable", "nosync"])
def test_killed_writer_loses_no_acknowledged_call(tmp_path, durable):
    path = str(tmp_path / "k.db")
    tarnel.open(path).close()
    rng = random.Random(0x7A21 + durable)
    model, killed = {}, []
    # py-lmdb holds the environment open, so slots of killed writers stay until someone clears them.
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
        assert [p for p, _ in parse_readers(holder.communicate("\n", timeout=60)[0]) if p in killed] == []
    finally:
        holder.kill()
        holder.communicate()


# Reads all of a possibly damaged file: "data", or "error <text>" at the first tarnel.Error.
READ_ALL = r"""
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
    path = str(tmp_path / "good.db")
    db = tarnel.open(path)
    for n in range(3):
        db.collection("c%d" % n).put_many([(("k", i), {"i": i, "s": "v" * (i % 7) * 30, "l": [i, {"x": i}]})
                                           for i in range(400)] + [(("big", n), {"blob": b"\x01" * 9000})])
    db.close()
    good, rng = pathlib.Path(path).read_bytes(), random.Random(0xDA4A)
    for n in range(100 if LONG else (4 if ASAN else 12)):
        data = bytearray(good)
        if how == "cut":
            data = data[:[len(data) - 1, 3 * 4096 + 100, 2 * 4096, rng.randrange(1, len(data))][n % 4]]
        for _ in range(0 if how == "cut" else rng.choice([1, 2, 8, 64])):
            data[rng.randrange(8192 if how == "meta" else len(data))] ^= 1 << rng.randrange(8)
        path = tmp_path / ("d%d.db" % n)
        path.write_bytes(data)
        r = subprocess.run([sys.executable, "-c", PRELUDE + READ_ALL, path], env=CHILD_ENV,
                           capture_output=True, text=True, timeout=120)
        if how != "cut" and (r.returncode < 0 or (ASAN and "Sanitizer" in r.stderr)):
            continue  # without checksums the engine may crash on damaged pages
        assert r.returncode == 0, r.stderr[-3000:]  # no exception but tarnel.Error
        if how == "cut" and n % 4 < 3:
            assert r.stdout.startswith("error database file is cut short: %d bytes, its last "
                                       "commit needs " % len(data)), r.stdout
            assert path.read_bytes() == data  # the refused file is left alone


@pytest.fixture
def small_fs(tmp_path):
    """A 2 MB tmpfs (needs root)."""
    if os.geteuid() != 0:
        pytest.skip("mounting a small file system needs root")
    (tmp_path / "fs").mkdir()
    r = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=2m", "tmpfs", str(tmp_path / "fs")],
                       capture_output=True, text=True)
    if r.returncode != 0:
        pytest.skip("cannot mount a tmpfs: " + r.stderr.strip())
    yield str(tmp_path / "fs")
    subprocess.run(["umount", "-l", str(tmp_path / "fs")], check=True)


# argv[1] is a 2 MB file system.
FULL = r"""
fs = sys.argv[1]
def fill():
    try:
        with open(os.path.join(fs, "ballast"), "wb") as f:
            f.write(b"x" * (4 << 20))
    except OSError:
        pass
open_db = lambda: tarnel.open(os.path.join(fs, "t.db"))
fill()
print(attempt(open_db), os.listdir(fs))
os.unlink(os.path.join(fs, "ballast"))
c = open_db().collection("c")
c.put(1, {})
fill()
its = [c.iter_(0, False) for _ in range(8000)]  # reader slots on every page of the -lock file
print(sum(next(it) for it in its))
del its
batch = [(i, {"p": "x" * 900}) for i in range(2, 800)]
failed = {attempt(c.put_many, batch) for _ in range(3)}  # the engine stays usable meanwhile
# A short write of a run of pages is reported by the engine as EIO.
print(failed <= {"I/O error: No space left on device (os error 28)",
                 "I/O error: Input/output error (os error 5)"}, list(c.iter_(0, False)))
os.unlink(os.path.join(fs, "ballast"))  # space again: writes work on the same handle
print(attempt(c.put_many, batch), c.len())
"""


def test_full_disk_fails_cleanly_and_readers_never_fault(small_fs):
    assert child(FULL, small_fs) == [
        "I/O error: No space left on device (os error 28) ['ballast']", "8000", "True [1]", "ok 799"]


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


# About argv[1] calls of every kind after a warm-up; prints the growth of the resident set.
RSS_LOOP = r"""
import datetime, gc
def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
c = tarnel.open().collection("c")
doc = {"s": "text", "n": 12, "f": 1.5, "l": [1, "a", {"x": b"b"}], "z": None,
       "t": datetime.datetime(2020, 1, 2, tzinfo=datetime.timezone.utc)}
def run(n):
    for i in range(n // 10):
        k = (i % 500, "k")
        c.put(k, doc), c.get(k), c.contains(k), c.first(), c.last(), c.len()
        next(c.range_(k, None, 2), None), list(c.prefix_((i % 500,), 0))
        if i % 3 == 0:
            c.delete(k)
        if i % 50 == 0:
            c.put_many([((j, "m"), doc) for j in range(10)])
run(max(int(sys.argv[1]) // 5, 20000))
gc.collect()
before = rss()
run(int(sys.argv[1]))
gc.collect()
print(rss() - before)
"""


def test_memory_stays_flat():
    calls = 200_000 if ASAN else (3_000_000 if LONG else 1_000_000)
    env = dict(CHILD_ENV)
    if ASAN:  # freed memory waits in the sanitizer's quarantine, which would read as growth
        env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":quarantine_size_mb=0"
    r = subprocess.run([sys.executable, "-c", PRELUDE + RSS_LOOP, str(calls)], env=env,
                       capture_output=True, text=True, timeout=600)
    assert r.returncode == 0, r.stderr[-4000:]
    # A leak of one small object per call would be ~30 MB per million calls.
    assert int(r.stdout) < 4 * 2**20 + 8 * calls


def fds():
    """How many descriptors this process has open."""
    return len(os.listdir("/proc/self/fd"))


def test_iterators_give_back_reader_slots_and_descriptors(path):
    mine = lambda: [t for p, t in reader_slots(path) if p == os.getpid()]  # noqa: E731
    start_fds = fds()
    db = tarnel.open(path)
    c = db.collection("c")
    c.put_many([(i, {"i": i}) for i in range(100)])
    opened_fds = fds()
    partly = [c.iter_(n % 3, n % 2 == 0) for n in range(60)]
    drained = [c.range_(n, None, 0) for n in range(60)]
    for n, it in enumerate(drained):
        assert next(partly[n]) is not None and len(list(it)) == 100 - n
    # The -lock file as a database: refused before it is opened, so no descriptor of it is kept
    # (closing one would drop our record locks on it).
    assert all(refused(path + "-lock") for _ in range(2000))
    assert sum(t is not None for t in mine()) == 60  # a drained iterator gave its snapshot back
    assert fds() == opened_fds  # snapshots share the environment's descriptors
    del partly, drained, it
    gc.collect()
    slots = mine()
    assert all(t is None for t in slots) and len(slots) <= 16  # only the pool of reset ones
    db.close()
    assert fds() == start_fds and reader_slots(path) == []


# An iterator kept past close(); B, in another process, writes through argv[2] (path or link).
KEPT_BY_ITERATOR = r"""
p, q = sys.argv[1], sys.argv[2]
db = tarnel.open(p)
db.collection("gone").put(1, {})
db.collection("keep").put_many([(i, {"v": "x" * 500}) for i in range(400)])
it = db.collection("keep").iter_(0, False)
next(it)
db.close()
B = '''def b(db):
    db.drop("gone")
    db.collection("keep").put_many([(i, {}) for i in range(400)])
print(attempt(lambda: b(tarnel.open(sys.argv[1]))))'''
print(other(B, q))
print(attempt(lambda: tarnel.open(q).collection("gone").put(2, {})))
print(sum(1 for _ in it))
print(other(B, q))
"""


@pytest.mark.parametrize("name", ["same", "symlink", "hardlink"])
def test_file_stays_locked_while_an_iterator_reads_it(tmp_path, name):
    path = str(tmp_path / "x.db")
    link = {"same": path, "symlink": path + ".sym", "hardlink": path + ".hard"}[name]
    if name != "same":
        open(path, "wb").close()
        (os.symlink if name == "symlink" else os.link)(path, link)
    # Reopening by the same name reuses the iterator's environment; a link has another -lock file.
    assert child(KEPT_BY_ITERATOR, path, link) == [LOCKED, "ok" if name == "same" else LOCKED, "399", "ok"]


REPLACED = r"""
a, how = sys.argv[1], sys.argv[2]
b = a + ".other"
db1 = tarnel.open(a)
c1 = db1.collection("c")
c1.put(0, {})
if how == "rename":
    os.rename(a, b)
else:  # a backup put in its place
    tarnel.open(b).collection("c").put(0, {"backup": 1})
    os.replace(b, a)
print(attempt(tarnel.open, a))
print(other("print(attempt(tarnel.open, sys.argv[1]))", a))
c1.put(1, {})
db1.close()
print(list(tarnel.open(b if how == "rename" else a).collection("c").iter_(2, False)))
"""


@pytest.mark.parametrize("how, found", [("rename", "[(0, {}), (1, {})]"), ("replace", "[(0, {'backup': 1})]")])
def test_new_file_under_a_name_whose_lock_file_is_in_use(tmp_path, how, found):
    assert child(REPLACED, str(tmp_path / "a.db"), how) == [LOCKED, LOCKED, found]


# "link": a dangling symbolic link, through which the open makes the file; "cut": a database
# shorter than its last commit, refused after LMDB's open; "self": x-lock is a link to x.
@pytest.mark.parametrize("lock, data", [("tarnel", None), ("text", None), ("text", b"notes\n" * 100),
                                        (None, b"notes\n" * 100), (None, b"\0" * 20000), (None, os.urandom(16384)),
                                        ("text", "link"), ("link", "cut"), ("empty", "cut"), ("zeros", "cut"),
                                        ("self", "cut")])
def test_open_changes_no_file_it_does_not_own(tmp_path, lock, data):
    path = str(tmp_path / "x")
    if data == "link":
        os.symlink("made/x", path)
    elif data == "cut":
        tarnel.open(path).collection("c").put_many([(i, {"p": "x" * 1000}) for i in range(100)])
        os.truncate(path, 3 * 4096)
        os.remove(path + "-lock")
    elif data:
        (tmp_path / "x").write_bytes(data)
    if lock == "tarnel":  # another database, named x-lock
        tarnel.open(path + "-lock").collection("c").put(1, {})
    elif lock == "text":
        (tmp_path / "x-lock").write_text("keep me\n")
    elif lock == "link":  # a chain: x-lock -> l -> made/l
        os.symlink("l", path + "-lock")
        os.symlink("made/l", tmp_path / "l")
    elif lock:  # what an opener killed before writing it leaves, or the data file itself
        os.symlink("x", path + "-lock") if lock == "self" else (tmp_path / "x-lock").write_bytes(
            b"\0" * 5000 * (lock == "zeros"))
    (tmp_path / "made").mkdir()
    files = lambda: {str(p.relative_to(tmp_path)): os.readlink(p) if p.is_symlink() else  # noqa: E731
                     p.read_bytes() for p in sorted(tmp_path.rglob("*")) if not p.is_dir()}
    before = files()
    with pytest.raises(tarnel.Error) as e:
        tarnel.open(path)
    assert str(e.value).startswith("MDB_INVALID: File is not an LMDB file" if isinstance(data, bytes) else
                                   "lock file is the database file itself: " if lock == "self" else
                                   "database file is cut short: 12288 bytes" if data == "cut" else
                                   "not an LMDB lock file: " + path + "-lock")
    assert files() == before
    if lock is None:  # the failed open held no lock: the file, emptied, becomes a database
        os.truncate(path, 0)
        tarnel.open(path).close()
    if "link" in (lock, data):  # without the fault, the open makes the file through the link
        os.remove(path if data == "cut" else path + "-lock")
        tarnel.open(path).collection("c").put(1, {})
        assert tarnel.open(path).collection("c").get(1) == {} and len(os.listdir(tmp_path / "made")) == 1


# Flips the symbolic link argv[1] between argv[2] and argv[3] until it is killed, as `ln -sfn`
# does: a new link renamed over the old one.
FLIP = r"""
import os, sys
link, targets = sys.argv[1], sys.argv[2:]
for n in range(10 ** 12):
    os.symlink(targets[n % 2], link + ".new")
    os.replace(link + ".new", link)
"""


def refused(path):
    """Whether another open of `path` is refused because a database holds the file."""
    try:
        tarnel.open(path).close()
        return False
    except tarnel.Error as e:
        assert str(e) == LOCKED
        return True


@pytest.mark.parametrize("targets", ["existing", "absent"])
def test_open_through_a_link_that_is_repointed(tmp_path, targets):
    a, b, link = (str(tmp_path / n) for n in ("a.db", "b.db", "current.db"))
    held = {a: set(), b: set()}  # the keys each file holds
    for p in held if targets == "existing" else ():
        tarnel.open(p).collection("c").put(p, {})
        held[p].add(p)
    os.symlink(a, link)
    flipper = subprocess.Popen([sys.executable, "-c", FLIP, link, a, b])
    try:
        end, rounds = time.monotonic() + (30 if LONG else 2), 0
        while time.monotonic() < end or rounds < 20:
            db = tarnel.open(link, durable=False)
            db.collection("c").put(rounds, {})
            locked = [p for p in held if os.path.exists(p) and refused(p)]
            db.close()
            assert len(locked) == 1, rounds
            held[locked[0]].add(rounds)  # the put went to the file the open locked
            assert set(os.listdir(tmp_path)) - {"current.db.new"} == {"current.db", "current.db-lock"} | (
                {"a.db", "a.db-lock", "b.db", "b.db-lock"} if targets == "existing" else {locked[0][-4:]}), rounds
            assert {p: set(snapshot(p).get("c", {})) for p in held if os.path.exists(p)} == \
                {p: keys for p, keys in held.items() if keys}, rounds
            if targets == "absent":
                for name in (locked[0], locked[0] + "-lock"):
                    os.remove(name)
                held[locked[0]] = set()
            rounds += 1
    finally:
        flipper.kill()
        flipper.wait()


# y.db opened in a loop while a link flips between the -lock file of a database open here and
# another file: y.db itself ("data"), or y.db-lock ("lock"). An open whose look at the name saw
# the other file, and whose open() reached the -lock file, is refused without keeping a descriptor.
@pytest.mark.parametrize("link, other", [("y.db", "b.db"), ("y.db-lock", "b.db-lock")], ids=["data", "lock"])
def test_opens_refused_through_a_flipping_name_keep_no_descriptor(tmp_path, link, other):
    db = tarnel.open(str(tmp_path / "a.db"))
    link, other = str(tmp_path / link), str(tmp_path / other)
    os.symlink(other, link)
    flipper = subprocess.Popen([sys.executable, "-c", FLIP, link, str(tmp_path / "a.db-lock"), other])
    try:
        before, end = fds(), time.monotonic() + 2
        while time.monotonic() < end:
            refused(str(tmp_path / "y.db"))
        assert fds() == before
    finally:
        flipper.kill()
        flipper.wait()
        db.close()


# Opens a file database (argv[1]) and an in-memory one, after the shell commands of argv[2] in a
# mount namespace of its own, or ("main") in a thread of a process whose main thread has ended
# (pthread_exit, as a C program that embeds Python may do).
SETTING = r"""
import ctypes, threading
def work():
    while sys.argv[2] == "main" and os.listdir("/proc/self/fd"):  # empty once the main thread ends
        pass
    def file_db():
        tarnel.open(sys.argv[1]).collection("c").put(1, {})
        assert tarnel.open(sys.argv[1]).collection("c").get(1) == {}
    print(attempt(file_db), attempt(lambda: tarnel.open().collection("c").put(1, {})), sep="\n", flush=True)
    os._exit(0)
threading.Thread(target=work).start()
if sys.argv[2] == "main":
    ctypes.CDLL(None).pthread_exit(None)
"""
SHM = "mount -t tmpfs -o %s tarnel-test /dev/shm"


def in_mount_namespace(mounts, cmd):
    """`cmd`, run after the shell commands `mounts` in a mount namespace of its own."""
    if os.geteuid() != 0 or not shutil.which("unshare"):
        pytest.skip("mounting in a namespace of its own needs root and unshare")
    return ["unshare", "-m", "sh", "-c", mounts + ' && exec "$0" "$@"'] + cmd
NOWHERE = ("I/O error: no folder for %s; tried /dev/shm: Read-only file system (os error 30); /missing: No such "
           "file or directory (os error 2); /tmp: Read-only file system (os error 30)")


# The link folder (and an in-memory database's files) go to the first of /dev/shm, $TMPDIR and /tmp
# where they can be made and used. "long": a $TMPDIR where the folder fits PATH_MAX, its links not.
@pytest.mark.parametrize("mounts, tmpdir, result", [
    ("main", None, ["ok", "ok"]),
    (SHM % "nr_inodes=1", None, ["ok", "ok"]),
    (SHM % "nr_inodes=2", None, ["ok", "ok"]),
    (SHM % "nosymfollow", None, ["ok", "ok"]),
    (SHM % "size=528384", None, ["ok", "ok"]),  # 129 pages: room for the -lock file, not LMDB's first pages
    (SHM % "ro", "/missing", ["ok", "ok"]),
    (SHM % "ro", "long", ["ok", "ok"]),
    (SHM % "ro" + " && mount --bind /tmp /tmp && mount --bind {db} {db} && mount -o remount,bind,ro /tmp", "/missing",
     [NOWHERE % "the links to the database's files", NOWHERE % "an in-memory database's files"]),
], ids=["main-thread-ended", "shm-no-free-inode", "shm-one-free-inode", "shm-nosymfollow", "shm-room-for-lock-only",
        "tmpdir-missing", "tmpdir-long", "nowhere"])
def test_open_wherever_the_link_folder_can_be_made(tmp_path, mounts, tmpdir, result):
    db = tmp_path / "db"
    db.mkdir()
    env, cmd = dict(CHILD_ENV), [sys.executable, "-c", PRELUDE + SETTING, str(db / "x.db"), mounts]
    if tmpdir == "long":  # 4072 characters: the folder's name takes 19 more, its "db-lock" link 27
        tmpdir = str(tmp_path)
        while len(tmpdir) < 4072:
            tmpdir += "/" + "d" * min(200, 4072 - len(tmpdir) - 1)
        os.makedirs(tmpdir)
    if tmpdir:
        env["TMPDIR"] = tmpdir
    if mounts != "main":
        cmd = in_mount_namespace(mounts.format(db=db), cmd)
    r = subprocess.run(cmd, capture_output=True, text=True, timeout=120, env=env)
    assert (r.returncode, r.stdout.splitlines()) == (0, result), r.stderr[-4000:]


# Opens argv[1] in a loop with room for two more descriptors only: each open creates the files
# when they are missing, fails inside LMDB's open (EMFILE) and removes the files it created.
FAILING_OPENER = r"""
import os, resource, signal, sys, tarnel
signal.signal(signal.SIGINT, signal.default_int_handler)  # also where the suite runs with SIGINT ignored
top = max(int(fd) for fd in os.listdir("/proc/self/fd"))
resource.setrlimit(resource.RLIMIT_NOFILE, (top + 3, resource.getrlimit(resource.RLIMIT_NOFILE)[1]))
print(flush=True)
while True:
    try:
        tarnel.open(sys.argv[1]).close()
    except tarnel.Error:
        pass
"""


def test_no_write_lost_to_a_peer_whose_open_fails(tmp_path):
    path = str(tmp_path / "x.db")

    def opened():
        while True:
            try:
                return tarnel.open(path)
            except tarnel.Error as e:
                assert str(e) == LOCKED

    # Two such peers: one's open often reaches the file the other made.
    peers = [subprocess.Popen([sys.executable, "-c", FAILING_OPENER, path], stdout=subprocess.PIPE, env=CHILD_ENV)
             for _ in range(2)]
    try:
        for peer in peers:
            peer.stdout.readline()
        end, rounds = time.monotonic() + (30 if LONG else 3), 0
        while time.monotonic() < end or rounds < 100:
            for name in (path, path + "-lock"):
                with contextlib.suppress(FileNotFoundError):  # a peer may remove what it made
                    os.remove(name)
            db = opened()  # often on the file a peer made, unless the peer removed it first
            db.collection("c").put(rounds, {})
            db.close()
            db = opened()
            assert db.collection("c").get(rounds) == {}, rounds
            db.close()
            rounds += 1
    finally:
        for peer in peers:  # stopped between opens: one killed inside an open would leave its link folder
            peer.send_signal(signal.SIGINT)
            peer.communicate(timeout=60)


# Once a line comes on stdin, writes to argv[1]: with room for the database's two files only, as
# FAILING_OPENER ("fail": the open fails inside LMDB's open), or after a warm-up open that does the
# first-time work, the sweep of link folders and the first look at /proc ("write").
PEER = PRELUDE + r"""
import resource
if sys.argv[2] == "write":
    tarnel.open(sys.argv[1] + ".warm").close()
print(flush=True)
sys.stdin.readline()
if sys.argv[2] == "fail":
    top = max(int(fd) for fd in os.listdir("/proc/self/fd"))
    resource.setrlimit(resource.RLIMIT_NOFILE, (top + 3, resource.getrlimit(resource.RLIMIT_NOFILE)[1]))
print(attempt(lambda: tarnel.open(sys.argv[1]).collection("c").put(1, {})))
"""


@contextlib.contextmanager
def traced_peer(path, how, inject):
    """P, running PEER on `path`, started once strace has attached to it with `inject` (-e inject=)."""
    if not shutil.which("strace"):
        pytest.skip("strace is not installed")
    p = subprocess.Popen([sys.executable, "-c", PEER, path, how], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                         text=True, env=CHILD_ENV)
    tracer = None
    try:
        p.stdout.readline()
        tracer = subprocess.Popen(["strace", "-o", "/dev/null", "-p", str(p.pid), "-e", "inject=" + inject],
                                  stderr=subprocess.PIPE, text=True)
        if "attached" not in (said := tracer.stderr.readline()):
            pytest.skip("strace cannot attach here: " + said.strip())
        p.stdin.write("\n")
        p.stdin.flush()
        yield p
    finally:
        p.kill()
        p.communicate()
        if tracer:
            tracer.send_signal(signal.SIGINT)  # detaches, unless P's end ended it
            tracer.communicate(timeout=60)


def wait_for(proc, found):
    """found()'s first true value, polled while `proc` runs; until what it reads is there, it raises."""
    end = time.monotonic() + 60
    while True:
        with contextlib.suppress(OSError, LookupError, ValueError):
            if value := found():
                return value
        assert proc.poll() is None, proc.communicate()
        assert time.monotonic() < end
        time.sleep(0.002)


# P has the data file open (created, or found empty) and strace holds its flock back 3 s; meanwhile
# this process opens that file, writes and closes. P's open then fails and puts back what it changed:
# the write it never saw stays.
@pytest.mark.parametrize("empty", [False, True], ids=["created", "found-empty"])
def test_failed_open_keeps_what_a_peer_wrote_before_its_flock(tmp_path, empty):
    path = str(tmp_path / "x.db")
    if empty:
        open(path, "wb").close()
    with traced_peer(path, "fail", "flock:delay_enter=3000000:when=1") as p:
        fds = "/proc/%d/fd/" % p.pid
        wait_for(p, lambda: path in [os.readlink(fds + n) for n in os.listdir(fds)])
        db = tarnel.open(path)
        db.collection("c").put(1, {})
        db.close()
        out = p.communicate(timeout=60)[0]
    assert out == "I/O error: Too many open files (os error 24)\n"
    assert snapshot(path) == {"c": {1: {}}}


# While LMDB is about to open P's link "db" (its 4th openat: after the data file, the -lock file and
# the link "db-lock"), after the open checked the links, the link is swapped for one to another
# database: LMDB must not write to a file whose flock the open does not hold.
def test_engine_writes_only_to_the_data_file_the_open_locked(tmp_path):
    if not os.access("/dev/shm", os.W_OK):
        pytest.skip("the link folders go to $TMPDIR here")
    path, other = str(tmp_path / "x.db"), str(tmp_path / "other.db")
    tarnel.open(path).close()
    tarnel.open(other).collection("c").put("other", {})
    before = snapshot(other)
    with traced_peer(path, "write", "openat:delay_enter=2000000:when=4") as p:
        def opening():  # with the -lock file open twice (LMDB has its link's), the name P is held opening
            fds = "/proc/%d/fd/" % p.pid
            if [os.readlink(fds + n) for n in os.listdir(fds)].count(path + "-lock") != 2:
                return None
            with open("/proc/%d/syscall" % p.pid) as call, open("/proc/%d/mem" % p.pid, "rb", buffering=0) as mem:
                mem.seek(int(call.read().split()[2], 16))  # the call's second argument
                name = mem.read(4096).split(b"\0")[0].decode()
            return name.startswith("/dev/shm/tarnel-open-") and name.endswith("/db") and name
        link = wait_for(p, opening)
        os.symlink(other, link + ".new")
        os.replace(link + ".new", link)
        out = p.communicate(timeout=60)[0]
    assert snapshot(other) == before
    assert p.returncode == 0 and (out != "ok\n" or snapshot(path) == {"c": {1: {}}}), out


# A process killed inside LMDB's open leaves the folder of links it gave LMDB; a later process's
# first open removes it once it is old (a young one may belong to an open still running). Only
# what an open makes goes: a user's folder of a like name stays as it is. Rows: the suffix after
# "tarnel-open-" ("?": six random letters or digits, as the open's own), mode, age in seconds,
# entries (a str is a link's target, bytes a file's content), and whether the open removes it.
FOLDERS = [("?", 0o700, 3600, {"db": "/proc/self/fd/7", "db-lock": "/proc/self/fd/8"}, True),
           ("?", 0o700, 3600, {"db": "/proc/thread-self/fd/12"}, True),
           ("?", 0o700, 3600, {}, True),
           ("?", 0o700, 0, {"db": "/proc/self/fd/7", "db-lock": "/proc/self/fd/8"}, False),
           ("cache", 0o700, 3600, {"db": b"a database"}, False),
           ("?", 0o700, 3600, {"db": b"a database"}, False),
           ("?", 0o700, 3600, {"db": "/srv/x.db", "db-lock": "/srv/x.db-lock"}, False),
           ("?", 0o700, 3600, {"db": "/proc/self/fd/7", "notes": b"keep"}, False),
           ("?", 0o755, 3600, {"db": "/proc/self/fd/7"}, False)]


def test_first_open_removes_link_folders_that_killed_opens_left(tmp_path):
    if not os.access("/dev/shm", os.W_OK):
        pytest.skip("the folders go to $TMPDIR here")
    rng, made = random.Random(), []
    for suffix, mode, age, entries, _ in FOLDERS:
        if suffix == "?":
            suffix = "".join(rng.choice("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789")
                             for _ in range(6))
        folder = pathlib.Path("/dev/shm/tarnel-open-" + suffix)
        folder.mkdir()
        folder.chmod(mode)
        made.append(folder)
        for name, what in entries.items():
            folder.joinpath(name).symlink_to(what) if isinstance(what, str) else folder.joinpath(name).write_bytes(what)
        os.utime(folder, (time.time() - age,) * 2)
    try:
        child("tarnel.open(sys.argv[1]).close()", str(tmp_path / "x.db"))
        for folder, (_, _, _, entries, removed) in zip(made, FOLDERS):
            assert not folder.exists() if removed else {
                p.name: os.readlink(p) if p.is_symlink() else p.read_bytes() for p in folder.iterdir()} == entries
    finally:
        for folder in made:
            shutil.rmtree(folder, ignore_errors=True)


# Kills processes that open and close in-memory databases in a loop, each at a random moment, with
# /dev/shm of its own; prints what they left there but folders of links as in FOLDERS, then, once
# those are an hour old, what is left after an open in a new process.
KILLED_IN_MEMORY = r"""
import random, re, time
LOOP = "import tarnel\nprint(flush=True)\nwhile True:\n    tarnel.open().close()\n"
for _ in range(5):
    loops = [subprocess.Popen([sys.executable, "-c", LOOP], stdout=subprocess.PIPE) for _ in range(8)]
    for p in loops:
        p.stdout.readline()
        time.sleep(random.uniform(0, 0.02))
        p.kill()
        p.wait()
def links(folder):
    return os.lstat(folder).st_mode == 0o40700 and all(
        e in ("db", "db-lock") and re.fullmatch(r"/proc/(thread-)?self/fd/\d+", os.readlink(os.path.join(folder, e)))
        for e in os.listdir(folder))
left = os.listdir("/dev/shm")
print([n for n in left if not (re.fullmatch("tarnel-open-[0-9A-Za-z]{6}", n) and links("/dev/shm/" + n))])
for n in left:
    os.utime("/dev/shm/" + n, (time.time() - 3600,) * 2)
other("tarnel.open().close()")
print(os.listdir("/dev/shm"))
"""


def test_in_memory_opens_killed_midway_leave_nothing_for_good():
    r = subprocess.run(in_mount_namespace(SHM % "mode=1777", [sys.executable, "-c", PRELUDE + KILLED_IN_MEMORY]),
                       capture_output=True, text=True, timeout=120, env=CHILD_ENV)
    assert (r.returncode, r.stdout.splitlines()) == (0, ["[]", "[]"]), r.stderr[-4000:]


# An ordinary user's opens under a umask that clears some of the owner's bits (argv[2]): of a
# database it made in the folder argv[1] before, and of an in-memory one.
UMASK = r"""
if os.geteuid() == 0:
    os.setgroups([])
    os.setgid(65534)
    os.setuid(65534)
path = os.path.join(sys.argv[1], "x.db")
tarnel.open(path).collection("c").put(1, {})
os.umask(int(sys.argv[2], 8))
def file_db():
    tarnel.open(path).collection("c").put(2, {})
    assert tarnel.open(path).collection("c").get(2) == {}
print(attempt(file_db), attempt(lambda: tarnel.open().collection("c").put(1, {})))
"""


@pytest.mark.parametrize("umask", ["100", "200", "700"])
def test_open_under_a_umask_without_the_owners_bits(umask):
    folder = tempfile.mkdtemp()  # tmp_path lies in a folder of root's alone
    try:
        if os.geteuid() == 0:  # root may write anywhere: the child drops to an ordinary user
            os.chown(folder, 65534, 65534)
        assert child(UMASK, folder, umask) == ["ok ok"]
    finally:
        shutil.rmtree(folder)


# Daemon threads that the interpreter's exit stops inside user code a call runs for them (three
# callers), or at the writer slot (two writers); a finalizer then uses what they held: the writer
# slot, pooled snapshots, the step lock of an iterator they stepped. argv: kind, call, path or "".
EXIT = r"""
import datetime, gc, threading, time
kind, call, path = sys.argv[1], sys.argv[2], sys.argv[3] or None
db = tarnel.open(path)
c = db.collection("c")
c.put_many([(i, {"t": datetime.datetime(2020, 1, 1), "n": [{}] * 40}) for i in range(50)])
callers, stalling, (entered, enter) = set(), [True], os.pipe()  # a pipe: a finalizer may stop in a lock
def stall(*_):
    if threading.get_ident() in callers:
        os.write(enter, b".")
        while stalling[0]:
            time.sleep(0.001)
S = type("S", (str,), {"__str__": lambda s: stall() or "s"})
Z = type("Z", (datetime.tzinfo,), {"utcoffset": lambda s, d: stall() or datetime.timedelta(0)})
I = type("I", (), {"__index__": lambda s: stall() or 0})
P = type("P", (), {"__fspath__": lambda s: stall() or path})
D = type("D", (dict,), {"__del__": stall})  # dropped by put_many as it ends
Items = type("Items", (), {"__len__": lambda s: (kind != "len" or stall()) and 2,
                           "__getitem__": lambda s, i: [(i, D() if kind == "del" else {})][i > 1 or stall()]})
class Cycle:  # garbage that the collector finds in a call's allocations (before 3.12), or just after
    __del__ = stall
    def __init__(self):
        self.me = self
k = S("k") if kind == "str" else 1
v = datetime.datetime(2020, 1, 1, tzinfo=Z()) if kind == "tzinfo" else S("x") if kind == "str" else 1
m = I() if kind == "index" else 1
calls = {"put": lambda: c.put(k, {"v": v}), "get": lambda: c.get(k), "open": lambda: tarnel.open(P()),
         "put_many": lambda: c.put_many(Items() if kind in ("len", "iter", "del") else [(0, {}), (k, {"v": v})]),
         "prefix_": lambda: list(c.prefix_(S("p") if kind == "str" else "p", m)),
         "range_": lambda: list(c.range_(k, None, m)), "iter_": lambda: list(c.iter_(m, False))}
def caller():
    callers.add(threading.get_ident())
    while True:
        if kind == "gc":
            gc.set_threshold(30)
            Cycle()
        calls[call]()
def writer(n):
    for b in range(10 ** 9):
        db.collection("w%d" % n).put_many([(b * 10 + i, {"i": b * 10 + i}) for i in range(10)])
it = c.iter_(1, False)
if kind == "step":  # reading a stored datetime reaches datetime.timezone, which stalls
    sys.modules["datetime"] = type("Fake", (), {"datetime": datetime.datetime,
                                                "timezone": property(lambda s: stall() or datetime.timezone)})()
    calls["step"] = lambda: next(it)
    threading.Thread(target=caller, daemon=True).start()
    os.read(entered, 1)
    threading.Thread(target=lambda: next(it), daemon=True).start()  # waits for the stalled step
else:
    for target, args in [(caller, ())] * 3 + [(writer, (0,)), (writer, (1,))]:
        threading.Thread(target=target, args=args, daemon=True).start()
    os.read(entered, 1)
time.sleep(0.05)
class AtEnd:  # collected while the interpreter finalizes, after the daemon threads were stopped
    def __del__(self, w=os.write, c=c, it=it):
        stalling[0] = False
        try:  # not poisoned (PanicException) by the stopped threads' steps
            next(it)
        except Exception:
            pass  # a datetime at the interpreter's end, or refused while a stopped thread's step holds it
        c.put(99, {})
        w(1, repr(c.get(99)).encode())
gc.disable()
end = AtEnd()
end.me = end
del end
"""


@pytest.mark.parametrize("store", ["file", "memory"])
@pytest.mark.parametrize("kind, call", [
    ("str", "put"), ("str", "put_many"), ("str", "get"), ("str", "prefix_"), ("str", "range_"),
    ("tzinfo", "put"), ("tzinfo", "put_many"), ("index", "iter_"), ("fspath", "open"), ("len", "put_many"),
    ("iter", "put_many"), ("del", "put_many"), ("gc", "get"), ("gc", "put"), ("step", "step")])
def test_interpreter_exit_with_threads_inside_calls(path, store, kind, call):
    # A collection stopped inside the collector stops every later one: no finalizer runs then.
    assert child(EXIT, kind, call, path if store == "file" else "") == ([] if kind == "gc" else ["{}"])
    if store == "file":
        entries = snapshot(path)
        assert len(entries.pop("c")) >= 50
        for c in entries.values():  # writers' batches are whole
            assert list(c) == list(range(len(c))) and len(c) % 10 == 0


# The child of a fork is refused every inherited call, whatever a thread of the parent held at
# the fork (argv[2]: the step lock of `held`, inside a step stalled in Python code; or the writer
# slot and the table map, in commits that create collections); a database opened in the
# child works, and the child can open the parent's file once the parent closes it.
FORK = r"""
import datetime, signal, threading, time
p, busy = sys.argv[1], sys.argv[2]
db = tarnel.open(p)
c = db.collection("c")
c.put_many([(i, {}) for i in range(200)])
it = c.iter_(0, False)
first = [next(it) for _ in range(50)]
db.collection("d").put(0, {"t": datetime.datetime(2020, 1, 1)})
held = db.collection("d").iter_(1, False)
running, (entered, enter) = [True], os.pipe()
def stall(_):  # reading a stored datetime reaches datetime.timezone
    os.write(enter, b".")
    while running[0]:
        time.sleep(0.001)
    return datetime.timezone
def writes(n=0):
    while running[0]:
        db.collection("w%%d" %% n).put(0, {})
        n += 1
        os.write(enter, b".") if n == 3 else None
if busy == "step":
    sys.modules["datetime"] = type("Fake", (), {"datetime": datetime.datetime, "timezone": property(stall)})()
thread = threading.Thread(target=lambda: next(held) if busy == "step" else writes())
thread.start()
os.read(entered, 1)
to_child, from_parent = os.pipe()
to_parent, from_child = os.pipe()
def step(send, wait):
    os.write(send, b".")
    os.read(wait, 1)
if os.fork() == 0:
    signal.alarm(30)  # a call that waits for a lock of the parent's ends the child
    calls = [lambda: next(held), lambda: c.put(1000, {}), lambda: c.put_many([(1, {})]), lambda: c.get(1),
             lambda: c.delete(2), c.len, c.first, lambda: list(c.iter_(0, False)), lambda: next(it), db.names,
             lambda: db.drop("c"), lambda: db.collection("x").put(1, {})]
    mine = lambda: tarnel.open(p + ".child").collection("c").put(1, {}) or tarnel.open().collection("c").put(1, {})
    print("child", [attempt(f) for f in calls] == [%r] * len(calls), attempt(tarnel.open, p), attempt(mine), flush=True)
    db.close()
    del db, c, it, held
    step(from_child, to_child)  # the parent closes
    print("child", attempt(lambda: tarnel.open(p).collection("c").put("child", {})), flush=True)
    step(from_child, to_child)  # the parent reopens, this child still alive
    os._exit(0)
os.close(from_child)
os.close(to_child)
running[0] = False
thread.join()
os.read(to_parent, 1)
print("parent", first + list(it) == list(range(200)), flush=True)
del held  # a live iterator would keep the file locked
db.close()
step(from_parent, to_parent)
print("parent", attempt(lambda: print(tarnel.open(p).collection("c").len())), flush=True)
os.write(from_parent, b".")
print("child status", os.wait()[1])
"""


@pytest.mark.parametrize("busy", ["step", "writes"])
def test_database_inherited_through_fork(path, busy):
    assert child(FORK % FORKED, path, busy) == ["child True %s ok" % LOCKED, "parent True", "child ok", "201",
                                                "parent ok", "child status 0"]


SMALL_ADDRESS_SPACE = r"""
import resource
resource.setrlimit(resource.RLIMIT_AS, (16 << 30, 16 << 30))
dbs = []
while len(dbs) < 100:
    try:
        dbs.append(tarnel.open(os.path.join(sys.argv[1], "%d.db" % len(dbs))))
    except tarnel.Error as e:
        print(e)
        break
print(attempt(tarnel.open))
for db in dbs:
    db.collection("c").put_many([(i, {"p": "x" * 1000}) for i in range(3000)])
print(len(dbs) > 2, len(os.listdir(sys.argv[1])) == 2 * len(dbs))
"""


@pytest.mark.skipif(ASAN, reason="the sanitizers need more address space than the limit")
def test_open_under_a_small_address_space(tmp_path):
    error = ("I/O error: Cannot allocate memory (os error 12): could not reserve even 1 GiB of "
             "address space to map the database")
    assert child(SMALL_ADDRESS_SPACE, str(tmp_path)) == [error, error, "True True"]

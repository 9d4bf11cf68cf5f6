"""Promises kept under faults: a writer killed at random moments, damaged and foreign files,
a full disk, and writes made by Python code that runs inside another call."""
import os
import random
import re
import select
import shutil
import signal
import subprocess
import sys
import threading
import time

import pytest

import tarnel
import kill_child
from conftest import ASAN, LONG, PKG_DIR, READERS, parse_readers, run_child

HERE = os.path.dirname(os.path.abspath(__file__))
CHILD_ENV = dict(os.environ, PYTHONPATH=PKG_DIR)


def snapshot(path):
    """Every collection of the file as {name: {key: doc}}, checking len against a full scan."""
    db = tarnel.open(path)
    try:
        out = {}
        for name in db.names():
            c = db.collection(name)
            entries = dict(c.iter_(2, False))
            assert c.len() == len(entries), name
            assert [k for k, _ in c.iter_(2, True)] == list(reversed(list(entries))), name
            out[name] = entries
        return out
    finally:
        db.close()


def diff(found, model):
    """The first differences between two {name: {key: doc}} maps, for a failure message."""
    out = []
    for name in sorted(set(found) | set(model)):
        a, b = found.get(name), model.get(name)
        if a is None or b is None:
            out.append("%s %s" % (name, "missing" if a is None else "unexpected"))
        elif a != b:
            out.append("%s: missing %s, unexpected %s, changed %s" % (
                name, sorted(set(b) - set(a))[:5], sorted(set(a) - set(b))[:5],
                [k for k in a if k in b and a[k] != b[k]][:5]))
    return "; ".join(out)


# ---- a writer killed at random moments ---------------------------------------------------------

class Holder:
    """A py-lmdb process that keeps the environment open across the rounds, so the reader table
    is never reset by a lone opener and the slots of killed writers stay until someone clears
    them; it lists the table on demand."""

    def __init__(self, path):
        self.proc = subprocess.Popen([sys.executable, "-c", READERS, path, "hold"],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)

    def slots(self):
        self.proc.stdin.write("\n")
        self.proc.stdin.flush()
        lines = []
        while (line := self.proc.stdout.readline().strip()) != "end":
            assert line, "the holder died"
            lines.append(line)
        return parse_readers("\n".join(lines))

    def close(self):
        self.proc.stdin.close()
        self.proc.wait(30)
        self.proc.stdout.close()


def run_and_kill(path, durable, rnd, rng):
    """Starts the writer, kills it after a random number of acknowledged calls (or while it opens),
    and returns (pid, acknowledged call count or -1 if it never opened)."""
    proc = subprocess.Popen([sys.executable, os.path.join(HERE, "kill_child.py"), path,
                             "1" if durable else "0", str(rnd)],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=CHILD_ENV)
    target = rng.choice([-1, 0, 1, 3]) if rng.random() < 0.2 else rng.randint(0, 250)
    buf = b""
    deadline = time.monotonic() + 30
    try:
        if target == -1:
            time.sleep(rng.uniform(0, 0.15))
        else:
            while buf.count(b"\n") < target + 1 and time.monotonic() < deadline:
                ready, _, _ = select.select([proc.stdout], [], [], 1)
                if ready:
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
    rounds = 300 if LONG else 30
    rng = random.Random(0x7A21 + durable)
    model = {}
    killed = []
    acknowledged = in_flight_landed = 0
    holder = Holder(path)
    try:
        for rnd in range(rounds):
            pid, acked = run_and_kill(path, durable, rnd, rng)
            killed.append(pid)
            found = snapshot(path)
            if acked < 0:
                assert found == model, "round %d: a writer killed while opening changed the file" % rnd
                continue
            for i in range(acked):
                kill_child.apply(model, kill_child.op(rnd, i))
            # The call in flight when the kill landed is wholly there or wholly absent.
            landed = {k: dict(v) for k, v in model.items()}
            kill_child.apply(landed, kill_child.op(rnd, acked))
            if found != model:
                assert found == landed, "round %d, %d calls acknowledged, in flight %s: %s" % (
                    rnd, acked, kill_child.op(rnd, acked)[:2], diff(found, model))
                model = landed
                in_flight_landed += 1
            acknowledged += acked
        # Opening runs the reader check: no slot of a killed writer survives it.
        tarnel.open(path).close()
        stale = [pid for pid, _ in holder.slots() if pid in killed]
        assert stale == []
    finally:
        holder.close()
    print("\nkill (%s): %d rounds survived, %d acknowledged calls, %d in-flight calls landed"
          % ("durable" if durable else "nosync", rounds, acknowledged, in_flight_landed))


# ---- damaged and foreign files -----------------------------------------------------------------

# Opens a possibly damaged file and reads everything it can; prints "data" when every read
# returned, "error <text>" at the first tarnel.Error. Any other exception fails the process.
READ_ALL = r"""
import sys, tarnel
try:
    db = tarnel.open(sys.argv[1])
    for name in db.names():
        c = db.collection(name)
        c.len(), c.first(), c.last()
        keys = list(c.iter_(0, False))
        for k, d in c.iter_(2, True):
            assert isinstance(d, dict)
        for k in keys[:50]:
            try:
                c.get(k)
            except KeyError:
                pass
        list(c.prefix_(("k",), 1))
    db.close()
    print("data")
except tarnel.Error as e:
    print("error", e)
"""


def make_database(path):
    db = tarnel.open(path)
    for n in range(3):
        c = db.collection("c%d" % n)
        c.put_many([(("k", i), {"i": i, "s": "v" * (i % 7) * 30, "l": [i, {"x": i}]})
                    for i in range(400)])
        c.put(("big", n), {"blob": b"\x01" * 9000})
    db.close()


def damage(data, rng):
    """A damaged copy of `data`: flipped bytes anywhere, in the two meta pages, or a cut."""
    data = bytearray(data)
    how = rng.choice(["flip", "flip", "meta", "cut"])
    if how == "cut":
        return bytes(data[:rng.randrange(1, len(data))]), how
    span = 8192 if how == "meta" else len(data)
    for _ in range(rng.choice([1, 2, 8, 64])):
        data[rng.randrange(span)] ^= 1 << rng.randrange(8)
    return bytes(data), how


def test_damaged_files_end_in_data_or_error(tmp_path):
    src = str(tmp_path / "good.db")
    make_database(src)
    with open(src, "rb") as f:
        good = f.read()
    rng = random.Random(0xDA4A)
    count = 400 if LONG else (20 if ASAN else 60)
    outcomes = {"data": 0, "error": 0, "crash": 0}
    errors = set()
    for n in range(count):
        path = str(tmp_path / ("d%d.db" % n))
        data, how = damage(good, rng)
        with open(path, "wb") as f:
            f.write(data)
        try:
            r = run_child(READ_ALL, path)
        except subprocess.TimeoutExpired:
            pytest.fail("a read of damaged file %d (%s) hung" % (n, how))
        if r.returncode < 0 or (ASAN and r.returncode != 0 and "Sanitizer" in r.stderr):
            outcomes["crash"] += 1
        else:
            assert r.returncode == 0, r.stderr  # an exception that is not tarnel.Error
            word, _, text = r.stdout.strip().partition(" ")
            outcomes[word] += 1
            if text:
                errors.add(re.sub(r"(?<=[ (])\d+\b", "N", text))
        os.unlink(path)
        if os.path.exists(path + "-lock"):
            os.unlink(path + "-lock")
    assert sum(outcomes.values()) == count
    print("\ndamaged files: %d tried: %s; errors seen: %s" % (count, outcomes, sorted(errors)))


# Opens the file and reads everything; prints the error's text or "data". Run in a child: a
# regression would end the process with SIGBUS.
OPEN_CUT = r"""
import sys, tarnel
try:
    db = tarnel.open(sys.argv[1])
    for name in db.names():
        list(db.collection(name).iter_(2, False))
    print("data")
except tarnel.Error as e:
    print(e)
"""


@pytest.mark.parametrize("keep", [0.98, 0.5, 3 * 4096 + 100, 2 * 4096])
def test_file_cut_short_is_refused(tmp_path, keep):
    path = str(tmp_path / "cut.db")
    make_database(path)
    size = os.path.getsize(path)
    with open(path, "r+b") as f:
        f.truncate(int(size * keep) if keep < 1 else keep)
    with open(path, "rb") as f:
        before = f.read()
    r = run_child(OPEN_CUT, path)
    assert r.returncode == 0, r.stderr
    assert r.stdout.startswith("database file is cut short: %d bytes, its last commit needs "
                               % len(before))
    with open(path, "rb") as f:
        assert f.read() == before


# ---- a full disk -------------------------------------------------------------------------------

# A write the disk cannot hold fails with ENOSPC, or with EIO where the engine's write of a run of
# pages came up short (LMDB reports a short write as EIO). The map is far larger than the disk,
# so MDB_MAP_FULL never comes first.
DISK_FULL = {"I/O error: No space left on device (os error 28)",
             "I/O error: Input/output error (os error 5)"}


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


@pytest.mark.parametrize("durable", [True, False], ids=["durable", "nosync"])
def test_full_disk_fails_cleanly_and_recovers(small_fs, durable):
    path = os.path.join(small_fs, "t.db")
    ballast = os.path.join(small_fs, "ballast")
    with open(ballast, "wb") as f:
        f.write(b"\xAA" * 300_000)
    db = tarnel.open(path, durable)
    c = db.collection("c")
    model = {}
    with pytest.raises(tarnel.Error) as e:
        for i in range(100_000):
            c.put(i, {"pad": "x" * 900})
            model[i] = {"pad": "x" * 900}
    seen = {str(e.value)}
    failed = len(model)
    batch = [(("b", j), {"pad": "y" * 300}) for j in range(60)]
    for _ in range(3):  # the engine stays usable: every attempt fails the same way
        with pytest.raises(tarnel.Error) as e:
            c.put_many(batch)
        seen.add(str(e.value))
    assert seen <= DISK_FULL
    # Nothing of the failed calls was written; everything acknowledged reads back.
    assert not c.contains(failed) and not c.contains(("b", 0))
    assert c.len() == len(model)
    assert dict(c.iter_(2, False)) == model
    assert c.get(0) == model[0]
    os.unlink(ballast)  # space again: writes work on the same handle
    c.put_many(batch)
    model.update(batch)
    for i in range(0, failed, 2):
        c.delete(i)
        del model[i]
    c.put("after", {})
    model["after"] = {}
    db.close()
    print("\nfull disk (%s): %d puts fit, then %s" % ("durable" if durable else "nosync", failed,
                                                      sorted(seen)))
    db = tarnel.open(path)
    c = db.collection("c")
    assert c.len() == len(model)
    assert dict(c.iter_(2, False)) == model
    db.close()


# ---- writes from Python code that runs inside another call -------------------------------------

class TestReentrantWrites:
    def test_key_and_document_str_that_write(self, coll):
        calls = []

        class Sneaky(str):
            def __str__(self):
                n = len(calls)
                calls.append(n)
                coll.put(("inner", n), {"n": n})  # runs while the outer call encodes
                return str.__str__(self)

        coll.put(Sneaky("outer"), {"v": Sneaky("value")})
        coll.put_many([(Sneaky("m1"), {"a": 1}), ("m2", {"v": Sneaky("x")})])
        assert coll.get("outer") == {"v": "value"}
        assert coll.get("m1") == {"a": 1} and coll.get("m2") == {"v": "x"}
        assert [coll.get(("inner", n)) for n in calls] == [{"n": n} for n in calls]
        assert len(calls) == 4 and coll.len() == 3 + len(calls)

    def test_datetime_read_that_writes(self, db, monkeypatch):
        import datetime as real
        import types

        c = db.collection("c")
        when = real.datetime(2024, 5, 1, 12, 0, 0, 123000, tzinfo=real.timezone.utc)
        c.put_many([(i, {"t": when, "i": i}) for i in range(50)])
        written = []

        class FakeDatetime:
            @staticmethod
            def fromtimestamp(secs, tz):
                n = len(written)
                written.append(n)
                c.put(("side", n), {"n": n})  # the scan's snapshot does not see these
                db.collection("other%d" % (n % 3)).put(n, {})  # nor tables made meanwhile
                return real.datetime.fromtimestamp(secs, tz)

        fake = types.ModuleType("datetime")
        fake.datetime = FakeDatetime
        fake.timezone = real.timezone
        monkeypatch.setitem(sys.modules, "datetime", fake)
        it = c.iter_(2, False)
        first = [next(it) for _ in range(10)]  # drained partly, then a point read, then the rest
        got = c.get(7)
        rest = list(it)
        c.first(), c.last()
        monkeypatch.undo()
        assert [k for k, _ in first + rest] == list(range(50))
        assert all(d["t"] == when for _, d in first + rest) and got["t"] == when
        assert len(written) == 52  # last() is a ("side", n) entry now, with no date
        assert all(c.get(("side", n)) == {"n": n} for n in written)
        assert sum(db.collection("other%d" % m).len() for m in range(3)) == 52

    def test_many_threads_write_at_once(self, db):
        threads, per = 8, 60
        errors = []

        def writer(w):
            try:
                mine = db.collection("own%d" % w)
                shared = db.collection("shared")
                for j in range(per):
                    shared.put((w, j), {"w": w, "j": j})
                    mine.put_many([(j, {"j": j}), (-j - 1, {})])
                    if j % 20 == 19:
                        db.drop("own%d" % w)
            except BaseException as e:  # noqa: BLE001 - reported below
                errors.append(e)

        ts = [threading.Thread(target=writer, args=(w,)) for w in range(threads)]
        for t in ts:
            t.start()
        for t in ts:
            t.join(60)
        assert not any(t.is_alive() for t in ts) and errors == []
        shared = db.collection("shared")
        assert shared.len() == threads * per
        assert dict(shared.iter_(2, False)) == {(w, j): {"w": w, "j": j}
                                                 for w in range(threads) for j in range(per)}
        assert sorted(db.names()) == ["shared"]  # each own collection was dropped last

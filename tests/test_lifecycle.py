"""One file, one lock, one environment: files kept by iterators past close(), reached through
links, renamed or replaced; foreign -lock files; a full disk; fork; the interpreter's exit with
threads inside calls; a small address space. Most run in a child: a regression ends a process."""
import os
import shutil
import subprocess
import sys

import pytest

import tarnel
from conftest import ASAN, PKG_DIR
from test_reliability import small_fs  # noqa: F401 - a fixture

LOCKED = "Database already open. Cannot acquire lock."

# Shared by the child scripts: other(code, *args) runs `code` in yet another process and returns
# what it printed; attempt(f, *args) calls f and returns "ok" or the text of its tarnel.Error.
PRELUDE = r"""
import os, subprocess, sys, tarnel
def other(code, *args):
    r = subprocess.run([sys.executable, "-c", PRELUDE + code, *args], capture_output=True,
                       text=True)
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


def child(code, *args, argv0=()):
    r = subprocess.run([*argv0, sys.executable, "-c", PRELUDE + code, *args], capture_output=True,
                       text=True, timeout=60, env=dict(os.environ, PYTHONPATH=PKG_DIR))
    assert r.returncode == 0, r.stderr
    return r.stdout.splitlines()


# A keeps an iterator of the file past close(); B, in another process, opens the file through
# argv[2] (the same path or a link), drops a collection and rewrites the rest.
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
    # This process reopens the file by its own name (the iterator's environment is reused), but
    # not through a link, whose -lock file is another.
    assert child(KEPT_BY_ITERATOR, path, link) == [LOCKED, "ok" if name == "same" else LOCKED,
                                                    "399", "ok"]


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
db = tarnel.open(b if how == "rename" else a)
print(list(db.collection("c").iter_(2, False)))
"""


@pytest.mark.parametrize("how, found", [("rename", "[(0, {}), (1, {})]"),
                                        ("replace", "[(0, {'backup': 1})]")])
def test_new_file_under_a_name_whose_lock_file_is_in_use(tmp_path, how, found):
    assert child(REPLACED, str(tmp_path / "a.db"), how) == [LOCKED, LOCKED, found]


@pytest.mark.parametrize("lock, data", [("tarnel", None), ("text", None), ("text", "text"),
                                        (None, "text")])
def test_open_changes_no_file_it_does_not_own(tmp_path, lock, data):
    path = str(tmp_path / "x")
    if lock == "tarnel":  # another database, named x-lock
        tarnel.open(path + "-lock").collection("c").put(1, {})
    elif lock == "text":
        (tmp_path / "x-lock").write_text("keep me\n")
    if data == "text":
        (tmp_path / "x").write_text("notes\n" * 100)

    def files():
        return {n: (tmp_path / n).read_bytes() for n in sorted(os.listdir(tmp_path))}

    before = files()
    with pytest.raises(tarnel.Error) as e:
        tarnel.open(path)
    assert str(e.value) == ("MDB_INVALID: File is not an LMDB file" if data
                            else "not an LMDB lock file: " + path + "-lock")
    assert files() == before


# argv[1] is a 2 MB file system, argv[2] "file" or "memory" (then it is /dev/shm).
FULL = r"""
fs, where = sys.argv[1], sys.argv[2]
def fill():
    try:
        with open(os.path.join(fs, "ballast"), "wb") as f:
            f.write(b"x" * (4 << 20))
    except OSError:
        pass
open_db = (lambda: tarnel.open(os.path.join(fs, "t.db"))) if where == "file" else tarnel.open
fill()
print(attempt(open_db), os.listdir(fs))
os.unlink(os.path.join(fs, "ballast"))
c = open_db().collection("c")
c.put(1, {})
fill()
its = [c.iter_(0, False) for _ in range(8000)]  # reader slots on every page of the -lock file
print(sum(next(it) for it in its))
"""


@pytest.mark.parametrize("where", ["file", "memory"])
def test_full_disk_fails_open_cleanly_and_readers_never_fault(small_fs, where):  # noqa: F811
    full = "I/O error: No space left on device (os error 28) ['ballast']"
    if where == "file":
        assert child(FULL, small_fs, where) == [full, "8000"]
        return
    if shutil.which("unshare") is None:
        pytest.skip("needs unshare")
    # A private /dev/shm of 2 MB, in a mount namespace of the child's own.
    shm = ["unshare", "-m", "sh", "-c", 'mount -t tmpfs -o size=2m tmpfs /dev/shm && exec "$@"',
           "sh"]
    assert child(FULL, "/dev/shm", where, argv0=shm) == [full, "8000"]


# Daemon threads inside put (waiting for the writer slot or committing) when the interpreter
# ends; a slow finalizer keeps the end going while they come back for the interpreter lock.
EXIT = r"""
import threading, time
db = tarnel.open(sys.argv[1])
def write(n):
    c = db.collection(str(n))
    for i in range(10 ** 9):
        c.put(i, {"i": i})
for n in range(8):
    threading.Thread(target=write, args=(n,), daemon=True).start()
class SlowEnd:
    def __del__(self):
        time.sleep(0.3)
slow = SlowEnd()
time.sleep(0.2)
"""


def test_interpreter_exit_with_threads_inside_calls(path):
    for _ in range(3):
        child(EXIT, path)
    db = tarnel.open(path)
    for name in db.names():
        c = db.collection(name)
        assert [k for k, _ in c.iter_(2, False)] == list(range(c.len()))
    db.close()


FORK = r"""
p = sys.argv[1]
db = tarnel.open(p)
db.collection("c").put("parent", {})
to_child, from_parent = os.pipe()
to_parent, from_child = os.pipe()
def step(send, wait):
    os.write(send, b".")
    os.read(wait, 1)
if os.fork() == 0:
    print("child", attempt(tarnel.open, p), flush=True)
    step(from_child, to_child)  # the parent closes
    print("child", attempt(lambda: tarnel.open(p).collection("c").put("child", {})), flush=True)
    step(from_child, to_child)  # the parent reopens, this child still alive
    os._exit(0)
os.read(to_parent, 1)
db.close()
step(from_parent, to_parent)
print("parent", attempt(lambda: print(list(tarnel.open(p).collection("c").iter_(0, False)))))
os.write(from_parent, b".")
os.wait()
"""


def test_forked_child_never_holds_the_parents_lock(path):
    assert child(FORK, path) == ["child " + LOCKED, "child ok", "['child', 'parent']",
                                 "parent ok"]


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

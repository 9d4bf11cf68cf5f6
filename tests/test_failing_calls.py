"""Opens and calls whose 1st, 2nd, ... allocation or file-system call fails, each try in a child."""
import marshal
import os
import shutil
import subprocess
import sys

import lmdb
import pytest

import tarnel
from conftest import ASAN, LONG, PKG_DIR

# Preloaded into a child: call_armed(f, args, n, files, err) returns f(*args), during which the
# nth allocation (files = 0: ENOMEM) or the nth file-system call (files = 1: -1, NULL or
# MAP_FAILED with errno err) of the calling thread fails. The count ends as the call returns,
# before the interpreter notes anything of an exception on its way out (a traceback allocates).
# In a page shared with the process's forks, so that a parent reads them after a child died,
# counted() says how many such calls were made and failed() names the one that failed (arm(0,
# 0, 0) clears both). close() never fails. /dev/shm refuses mkdtemp, so the folders of links go
# to $TMPDIR, which the child watches.
FAILING_CALLS = r"""
#define _GNU_SOURCE
#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/uio.h>
#include <unistd.h>
void *__libc_malloc(size_t), *__libc_calloc(size_t, size_t), *__libc_realloc(void *, size_t);
int __fxstat(int, int, struct stat *);  /* what liblmdb, built before glibc 2.33, calls for fstat */
void *PyObject_Call(void *, void *, void *);
#define TLS __thread __attribute__((tls_model("initial-exec")))
static TLS int left, files, error;
static struct { int counted; char failed[60]; } *shared;
void arm(int n, int fs, int err) { left = n; files = fs; error = err; shared->counted = 0; shared->failed[0] = 0; }
int counted(void) { return shared->counted; }
const char *failed(void) { return shared->failed; }
void *call_armed(void *f, void *args, int n, int fs, int err) {
    arm(n, fs, err);
    void *result = PyObject_Call(f, args, NULL);
    left = 0;
    return result;
}
static int fails(int fs, const char *name) {
    if (left <= 0 || files != fs) return 0;
    shared->counted++;
    if (--left > 0) return 0;
    strcpy(shared->failed, name);
    errno = fs ? error : ENOMEM;
    return 1;
}
void *malloc(size_t n) { return fails(0, "malloc") ? NULL : __libc_malloc(n); }
void *calloc(size_t n, size_t m) { return fails(0, "calloc") ? NULL : __libc_calloc(n, m); }
void *realloc(void *p, size_t n) { return fails(0, "realloc") ? NULL : __libc_realloc(p, n); }

/* Every file-system call that liblmdb or the extension imports (nm -D --undefined-only). */
#define CALLS(X) X(open) X(fcntl) X(flock) X(__fxstat) X(fstat) X(stat) X(lstat) X(fstatat) \
    X(fstatfs) X(pread) X(pwrite) X(write) X(writev) X(lseek) X(fsync) X(fdatasync) X(msync) \
    X(ftruncate) X(fallocate) X(mmap) X(unlink) X(unlinkat) X(rmdir) X(mkdtemp) X(symlink) \
    X(readlink) X(readlinkat) X(chmod) X(fchmod) X(opendir) X(fdopendir) X(readdir)
#define REAL(f) static __typeof__(f) *real_##f;
CALLS(REAL)
__attribute__((constructor)) static void find_real_calls(void) {
#define FIND(f) real_##f = (__typeof__(f) *)dlsym(RTLD_NEXT, #f);
    CALLS(FIND)
    shared = real_mmap(NULL, sizeof *shared, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
}
#define FAILS(type, f, failure, params, args) \
    type f params { return fails(1, #f) ? failure : real_##f args; }
FAILS(int, flock, -1, (int fd, int op), (fd, op))
FAILS(int, __fxstat, -1, (int v, int fd, struct stat *s), (v, fd, s))
FAILS(int, fstat, -1, (int fd, struct stat *s), (fd, s))
FAILS(int, stat, -1, (const char *p, struct stat *s), (p, s))
FAILS(int, lstat, -1, (const char *p, struct stat *s), (p, s))
FAILS(int, fstatat, -1, (int d, const char *p, struct stat *s, int f), (d, p, s, f))
FAILS(int, fstatfs, -1, (int fd, struct statfs *s), (fd, s))
FAILS(ssize_t, pread, -1, (int fd, void *b, size_t n, off_t o), (fd, b, n, o))
FAILS(ssize_t, pwrite, -1, (int fd, const void *b, size_t n, off_t o), (fd, b, n, o))
FAILS(ssize_t, write, -1, (int fd, const void *b, size_t n), (fd, b, n))
FAILS(ssize_t, writev, -1, (int fd, const struct iovec *v, int n), (fd, v, n))
FAILS(off_t, lseek, -1, (int fd, off_t o, int w), (fd, o, w))
FAILS(int, fsync, -1, (int fd), (fd))
FAILS(int, fdatasync, -1, (int fd), (fd))
FAILS(int, msync, -1, (void *a, size_t n, int f), (a, n, f))
FAILS(int, ftruncate, -1, (int fd, off_t n), (fd, n))
FAILS(int, fallocate, -1, (int fd, int m, off_t o, off_t n), (fd, m, o, n))
FAILS(void *, mmap, MAP_FAILED, (void *a, size_t n, int p, int f, int fd, off_t o), (a, n, p, f, fd, o))
FAILS(int, unlink, -1, (const char *p), (p))
FAILS(int, unlinkat, -1, (int d, const char *p, int f), (d, p, f))
FAILS(int, rmdir, -1, (const char *p), (p))
FAILS(int, symlink, -1, (const char *t, const char *p), (t, p))
FAILS(ssize_t, readlink, -1, (const char *p, char *b, size_t n), (p, b, n))
FAILS(ssize_t, readlinkat, -1, (int d, const char *p, char *b, size_t n), (d, p, b, n))
FAILS(int, chmod, -1, (const char *p, mode_t m), (p, m))
FAILS(int, fchmod, -1, (int fd, mode_t m), (fd, m))
FAILS(DIR *, opendir, NULL, (const char *p), (p))
FAILS(DIR *, fdopendir, NULL, (int fd), (fd))
FAILS(struct dirent *, readdir, NULL, (DIR *d), (d))
int open(const char *p, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    int mode = flags & O_CREAT || (flags & O_TMPFILE) == O_TMPFILE ? va_arg(ap, int) : 0;
    va_end(ap);
    return fails(1, "open") ? -1 : real_open(p, flags, mode);
}
int fcntl(int fd, int cmd, ...) {
    va_list ap;
    va_start(ap, cmd);
    void *arg = va_arg(ap, void *);  /* an int or a pointer: passed on alike */
    va_end(ap);
    return fails(1, "fcntl") ? -1 : real_fcntl(fd, cmd, arg);
}
char *mkdtemp(char *t) {
    if (fails(1, "mkdtemp")) return NULL;
    return strncmp(t, "/dev/shm/", 9) ? real_mkdtemp(t) : (errno = EACCES, NULL);
}
"""

# The sweep, shared by the child scripts. sweep(work) calls work(n, carry) in a fork of this
# process for each try n, the first open of its process (this one never opens a database): first
# with no failure (n past any count: it counts the calls a try makes), then failing the 1st, 2nd,
# ... call (every one under TARNEL_LONG, else the first and last few and a stride between) until a
# try ends before its count. work arms the shim through called() around the call it tries and
# returns (its problems, its outcome, and `carry` for the next try). A try that dies, or hangs
# (SIGALRM), is a problem named by the call that failed and the last stage() it reached; the next
# try gets None to carry then. Prints the tries, the outcomes seen and the problems (marshalled).
SWEEP = r"""
import ctypes, errno, itertools, marshal, os, signal, sys
import tarnel
shim = ctypes.PyDLL(sys.argv[1])
shim.arm.restype = None
shim.failed.restype = ctypes.c_char_p
shim.call_armed.restype = ctypes.py_object
shim.call_armed.argtypes = [ctypes.py_object, ctypes.py_object] + [ctypes.c_int] * 3
kind, every = sys.argv[2], sys.argv[3] == "1"
# Errnos a file-system call may fail with, but ENOENT, which LMDB takes from a read of the data
# file's first page for an empty file.
OTHER_ERRNOS = [errno.ENOSPC, errno.EACCES, errno.ENOMEM, errno.EINTR, errno.EAGAIN, errno.EPERM, errno.EROFS,
                errno.EOPNOTSUPP]
NONE = 10 ** 9  # a count no try reaches
to_parent = None

def stage(text):
    os.write(to_parent, text.encode() + b"\n")

def fds():
    return sorted(os.listdir("/proc/self/fd"))

def called(n, call, *args):
    # What call(*args) gave with the shim armed: ("ok", its result), ("MemoryError", None) or
    # ("tarnel.Error", its text), and whether a call failed. Anything else it raises is raised.
    stage("in the call")
    err = errno.EIO if kind == "EIO" else OTHER_ERRNOS[n % len(OTHER_ERRNOS)]
    try:
        outcome = ("ok", shim.call_armed(call, args, n, kind != "alloc", err))
    except MemoryError:
        outcome = ("MemoryError", None)
    except tarnel.Error as e:
        outcome = ("tarnel.Error", str(e))
    stage("after the call")
    return outcome, bool(shim.failed())

def tries(total):
    # Every n, or the first four and the last three of the count and three between; then on, for
    # a count that grew since (a write's pages, say), until a try fails nothing.
    few = range(1, total + 1) if every else {*range(1, 5), *range(total - 2, total + 1),
                                             *range(5, total, max(1, total // 4))}
    return itertools.chain(sorted(n for n in few if 0 < n <= total), itertools.count(total + 1))

def sweep(work, carry=None):
    problems, outcomes, done = [], set(), 0
    def attempt(n):
        global to_parent
        nonlocal carry, problems
        print(n, end=" ", file=sys.stderr, flush=True)
        shim.arm(0, 0, 0)
        r, to_parent = os.pipe()
        pid = os.fork()
        if pid == 0:
            os.close(r)
            signal.alarm(60)
            try:
                out = work(n, carry)
            except BaseException:
                import traceback
                out = (["raised " + traceback.format_exc(limit=-3)], None, None)
            stage("=" + marshal.dumps(out).hex())
            os._exit(0)
        os.close(to_parent)
        with os.fdopen(r) as f:
            said = f.read().splitlines()
        status = os.waitpid(pid, 0)[1]
        call = shim.failed().decode() or "nothing"
        if said and said[-1].startswith("="):
            mine, outcome, carry = marshal.loads(bytes.fromhex(said[-1][1:]))
            outcomes.add(outcome)
        else:
            sig = os.WIFSIGNALED(status) and signal.Signals(os.WTERMSIG(status)).name
            how = "hung" if sig == "SIGALRM" else sig or "exited"
            mine, carry = ["%s %s" % (how, said[-1] if said else "")], None
        problems += ["try %s (%s failed): %s" % ("with no failure" if n == NONE else n, call, p) for p in mine]
        return call != "nothing"
    attempt(NONE)
    for n in tries(shim.counted()):
        done = n
        if not attempt(n):
            break
    print(file=sys.stderr)
    print(marshal.dumps({"tries": done, "outcomes": outcomes, "problems": problems}).hex())
"""

# Opens the database argv[4] ("-": in memory) in each try, from the files of the folder argv[5]
# copied back first, and checks what a failed open leaves. argv[6] says what a plain open then
# finds: "docs", the documents of argv[7] (marshalled); "fails", nothing (a tarnel.Error); "any".
# With argv[8] (not "-"), the database there is open meanwhile: names are then reached through
# O_PATH descriptors, looked at, and opened through /proc.
FAILING_OPEN = r"""
import shutil
path, pristine, expect = None if sys.argv[4] == "-" else sys.argv[4], sys.argv[5], sys.argv[6]
docs, beside = marshal.loads(bytes.fromhex(sys.argv[7])), sys.argv[8] != "-" and sys.argv[8]
folder, tmp = path and os.path.dirname(path), os.environ["TMPDIR"]
# Where one of these fails, what the open would remove may stay: a file of its own (empty), which
# it removes only once it has flocked it and looked at it, or its folder of links (in $TMPDIR).
REMOVING = {"unlink", "unlinkat", "rmdir", "fstat", "lstat", "flock"}

def files():
    # {name: its bytes}, but a -lock file's: (its size, whether it is all zero bytes)
    out = {}
    for name in os.listdir(folder) if folder else ():
        with open(os.path.join(folder, name), "rb") as f:
            data = f.read()
        out[name] = (len(data), not data.strip(b"\0")) if name.endswith("-lock") else data
    return out

def size(found):
    return None if found is None else found[0] if type(found) is tuple else len(found)

def work(n, _):
    for place, source in ((folder, pristine), (tmp, None)):
        if place:
            shutil.rmtree(place, ignore_errors=True)
            shutil.copytree(source, place) if source else os.mkdir(place)
    other = beside and tarnel.open(beside)  # open until the try ends
    problems, before, fds_before = [], files(), fds()
    outcome, failed = called(n, tarnel.open, path)
    if outcome[0] == "ok":
        outcome = ("ok", outcome[1].close())
        if expect == "fails":
            problems.append("the open succeeded")
    elif failed:  # every file as it was, but for what a failed removal left
        after, removing = files(), shim.failed().decode() in REMOVING
        stays = lambda name: removing and name not in before and not size(after[name])
        changed = {name: (size(before.get(name)), size(after.get(name))) for name in {*before, *after}
                   if before.get(name) != after.get(name) and not stays(name)}
        if changed:
            problems.append("changed files (their sizes before and after): %s" % changed)
        if any(not (removing and x.startswith("tarnel-open-")) for x in os.listdir(tmp)):
            problems.append("left in $TMPDIR: %s" % os.listdir(tmp))
    if fds() != fds_before:
        problems.append("descriptors %s became %s" % (fds_before, fds()))
    stage("in a plain open afterwards")
    try:
        db = tarnel.open(path)
        found = {name: dict(db.collection(name).iter_(2, False)) for name in db.names()}
        db.close()
        if expect == "fails" or expect == "docs" and found != docs:
            problems.append("a plain open afterwards found %r" % found)
    except tarnel.Error as e:
        if expect != "fails":
            problems.append("a plain open afterwards raised %s" % e)
    return problems, outcome, None

sweep(work)
"""

# Tries the operation argv[5] on the database argv[4], whose documents the sweep carries as a model
# ({collection: {key: document}}, first those of argv[6]): reads give what the model says; a write
# that returned is found, and one that raised is wholly absent, on the same handle (unless LMDB
# holds the environment unusable: MDB_PANIC) and after a reopen; a write on the same handle
# works after it. Each try writes keys or a collection of its own.
FAILING_OPS = r"""
path, op = sys.argv[4], sys.argv[5]
READS = {"get", "contains", "len", "first", "last", "iter_", "range_", "prefix_", "step"}

def snapshot(db):
    return {name: dict(db.collection(name).iter_(2, False)) for name in db.names()}

def diff(found, model):
    return {name: ("missing", sorted(set(want) - set(got)), "extra", sorted(set(got) - set(want)))
            for name in set(found) | set(model) if (got := found.get(name, {})) != (want := model.get(name, {}))}

def unlike(got, want):
    if type(got) is not list or type(want) is not list:
        return "%.200r, not %.200r" % (got, want)
    got, want = [k for k, _ in got], [k for k, _ in want]
    return "rows less the keys %s, more %s: %s" % (sorted(set(want) - set(got)), sorted(set(got) - set(want)), got)

def prepare(db, n, model):
    # The call to try, and for a read a function of what it returned that gives what it read,
    # with what it must read; for a write, how it changes the model once it returned.
    c, rows = db.collection("c"), sorted(model["c"].items())
    if op == "step":  # an iterator stepped to its end, its steps kept where nothing allocates
        it, got, at = c.iter_(2, True), [None] * len(rows), [0]
        def step():
            for row in it:
                got[at[0]] = row
                at[0] += 1
        # What it yielded, then what a failed step left to yield: each row once.
        return step, (lambda _: got[:at[0]] + list(it), rows[::-1])
    if op in READS:
        call, want = {"get": (lambda: c.get(7), rows[7][1]), "contains": (lambda: c.contains(7), True),
                      "len": (c.len, len(rows)), "first": (c.first, rows[0]), "last": (c.last, rows[-1]),
                      "iter_": (lambda: list(c.iter_(2, False)), rows),
                      "range_": (lambda: list(c.range_(10, 20, 2)), rows[10:20]),
                      "prefix_": (lambda: list(c.prefix_((7,), 2)), rows[7:8])}[op]
        return call, (lambda result: result, want)
    if op in ("delete", "drop", "close", "close-nosync"):  # what the call undoes, or must keep
        name = "drop%d" % n if op == "drop" else op
        db.collection(name).put_many([(n * 10 + i, {"i": i}) for i in range(3)])
        model.setdefault(name, {}).update((n * 10 + i, {"i": i}) for i in range(3))
    doc, pairs = {"n": n, "s": "v" * (n % 3000)}, [(n * 10 + i, {"i": i}) for i in range(5)]
    return {"put": (lambda: db.collection("put").put(n, doc),
                    lambda m: m.setdefault("put", {}).update({n: doc})),
            # into a new collection each try: its creation fails too
            "put_many": (lambda: db.collection("many%d" % n).put_many(pairs),
                         lambda m: m.setdefault("many%d" % n, {}).update(pairs)),
            "delete": (lambda: db.collection("delete").delete(n * 10 + 1), lambda m: m["delete"].pop(n * 10 + 1)),
            "drop": (lambda: db.drop("drop%d" % n), lambda m: m.pop("drop%d" % n)),
            "close": (db.close, lambda m: None), "close-nosync": (db.close, lambda m: None)}[op]

def work(n, model):
    problems, fds_before = [], fds()
    db = tarnel.open(path, durable=op != "close-nosync")
    if model is None:  # the try before died: the model is what the file holds
        model = snapshot(db)
    call, then = prepare(db, n, model)
    outcome, failed = called(n, call)
    if op in READS:
        read, want = then
        if outcome[0] == "ok" or op == "step":
            if (got := read(outcome[1])) != want:
                problems.append("read %s" % unlike(got, want))
        outcome = outcome[0], outcome[1] if outcome[0] == "tarnel.Error" else None
    elif outcome[0] == "ok":
        then(model)
    if not op.startswith("close"):  # the same handle holds the model, and takes a write
        stage("on the same handle")
        try:
            if (found := snapshot(db)) != model:
                problems.append("the same handle holds %s" % diff(found, model))
            db.collection("after").put(n, {})
            model.setdefault("after", {})[n] = {}
        except tarnel.Error as e:
            # LMDB holds the environment unusable after a failed write of its commit record.
            if outcome[0] == "ok" or not str(e).startswith("MDB_PANIC"):
                problems.append("the same handle raised %s" % e)
            outcome = outcome[0], "%s, then MDB_PANIC" % outcome[1]
    db.close()
    stage("in a reopen")
    db = tarnel.open(path)
    found = snapshot(db)
    db.close()
    if found != model:
        problems.append("after a reopen: %s" % diff(found, model))
    if fds() != fds_before or os.listdir(os.environ["TMPDIR"]):
        problems.append("left descriptors %s or files in $TMPDIR %s" % (fds(), os.listdir(os.environ["TMPDIR"])))
    return problems, outcome, model

sweep(work, marshal.loads(bytes.fromhex(sys.argv[6])))
"""


@pytest.fixture(scope="module")
def shim(tmp_path_factory):
    if ASAN:
        pytest.skip("the sanitizers' allocator takes the place of malloc")
    if not shutil.which("gcc"):
        pytest.skip("no gcc to build the failing calls")
    so = str(tmp_path_factory.mktemp("shim") / "fail.so")
    subprocess.run(["gcc", "-shared", "-fPIC", "-U_FORTIFY_SOURCE", "-o", so, "-x", "c", "-", "-ldl"],
                   input=FAILING_CALLS, text=True, check=True)
    return so


def run_sweep(tmp_path, shim, script, kind, *args):
    """What `script` (after SWEEP) reports, run in a child with the shim preloaded."""
    (tmp_path / "tmp").mkdir()
    # The interpreter's allocations go through malloc too: making the objects of a call fails as well.
    env = dict(os.environ, PYTHONPATH=PKG_DIR, LD_PRELOAD=shim, PYTHONMALLOC="malloc",
               TMPDIR=str(tmp_path / "tmp"))
    cmd = [sys.executable, "-c", SWEEP + script, shim, kind, "1" if LONG else "0", *map(str, args)]
    try:
        r = subprocess.run(cmd, env=env, capture_output=True, text=True, timeout=1800 if LONG else 120)
    except subprocess.TimeoutExpired as e:  # stderr ends with the try that hung
        pytest.fail("the sweep hung: " + (e.stderr or b"").decode()[-300:])
    assert r.returncode == 0, r.stderr[-3000:]
    out = marshal.loads(bytes.fromhex(r.stdout))
    problems = out["problems"]
    assert problems == [], "%d problems:\n%s" % (len(problems), "\n".join(p[:600] for p in problems[:30]))
    return out


DOCS = {"c": {k: {"k": k, "pad": "x" * (k * 37 % 300)} for k in range(60)}}


def make_state(folder, state):
    """The files of a starting state in `folder`, and what a plain open then finds ("fails": none)."""
    path = str(folder / "x.db")
    if state in ("existing", "existing-empty-lock", "existing-beside-another"):
        db = tarnel.open(path)
        db.collection("c").put_many(list(DOCS["c"].items()))
        db.close()
    elif state == "many-tables":  # more tables than an open takes, made by another program
        env = lmdb.open(path, subdir=False, max_dbs=4200, map_size=64 << 20)
        with env.begin(write=True) as txn:
            for i in range(4100):  # names of twelve lengths: finding one compares it with those of its length
                env.open_db((b"%x" % i).rjust(4 + i % 12, b"t"), txn=txn)
        env.close()
    if state in ("existing-empty-lock", "many-tables"):  # as an open killed midway leaves it
        os.truncate(path + "-lock", 0)
    return "fails" if state == "many-tables" else "docs" if state.startswith("existing") else "any"


KINDS = ["alloc", "EIO", "errnos"]  # errnos: each try another errno (ENOSPC, EACCES, ENOMEM, ...)
# and "many-tables"; "-beside-another": another database of the process is open meanwhile
STATES = ["new", "existing", "existing-empty-lock", "memory", "new-beside-another",
          "existing-beside-another"]
WRITES = ["put", "put_many", "delete", "drop", "close", "close-nosync"]
READS = ["get", "contains", "len", "first", "last", "iter_", "range_", "prefix_", "step"]


# The tables' walk of "many-tables" makes no file-system call: which errno its calls fail with
# is tried on the other states.
@pytest.mark.parametrize("state, kind", [(state, kind) for state in STATES for kind in KINDS] +
                         [("many-tables", "alloc"), ("many-tables", "EIO")])
def test_open_whose_calls_fail_fails_cleanly(tmp_path, shim, state, kind):
    (tmp_path / "pristine").mkdir()
    expect = make_state(tmp_path / "pristine", state)
    path = "-" if state == "memory" else tmp_path / "db" / "x.db"
    beside = tmp_path / "other.db" if state.endswith("beside-another") else "-"
    out = run_sweep(tmp_path, shim, FAILING_OPEN, kind, path, tmp_path / "pristine", expect,
                    marshal.dumps(DOCS).hex(), beside)
    assert out["tries"] > 10 and (kind != "alloc" or ("MemoryError", None) in out["outcomes"]), out


# Reads make no file-system calls of their own (their reader slot was taken at open): they run
# the allocation sweep only.
@pytest.mark.parametrize("op, kind", [(op, kind) for op in WRITES for kind in KINDS] +
                         [(op, "alloc") for op in READS])
def test_call_whose_calls_fail_fails_cleanly(tmp_path, shim, op, kind):
    make_state(tmp_path, "existing")
    out = run_sweep(tmp_path, shim, FAILING_OPS, kind, tmp_path / "x.db", op, marshal.dumps(DOCS).hex())
    assert ("ok", None) in out["outcomes"], out

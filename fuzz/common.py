"""Shared pieces of the fuzz targets: a file py-lmdb writes behind tarnel's back, the driver."""

import os
import shutil
import sys

import atheris
import lmdb

import tarnel

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
# The tests' helpers, shared with the targets.
from conftest import CORPUS, KEY1, OtherText, Same, Unprintable, plain, same  # noqa: E402,F401
# What a call may raise besides a crash; anything else is a finding.
EXPECTED = (TypeError, ValueError, OverflowError, tarnel.Error)


def check(cond, what, *context):
    if not cond:  # atheris stops and keeps the input
        raise AssertionError(what + "".join(f"\n  {c!r}" for c in context))


def outcome(fn, *args):
    """('ok', value) or ('raise', class, message); exceptions outside EXPECTED propagate."""
    try:
        return ("ok", fn(*args))
    except EXPECTED as e:
        return ("raise", type(e), str(e))


class RawStore:
    """A database file of one collection "c"; tarnel and py-lmdb never have it open at once."""

    def __init__(self, target):
        # libFuzzer ends the process with exit(), so the files live in the work directory.
        directory = os.path.join(os.environ.get("TARNEL_FUZZ_DIR", "build/fuzz"), target + "-work")
        shutil.rmtree(directory, ignore_errors=True)
        os.makedirs(directory)
        self.path = os.path.join(directory, "db")
        db = self.open()
        db.collection("c").put(1, {})
        db.close()

    def raw(self, value=None):
        """The stored document of key 1; with `value`, the table's only entry is set to it."""
        env = lmdb.open(self.path, subdir=False, max_dbs=4, sync=False, lock=False)
        try:
            with env.begin(write=value is not None) as txn:
                table = env.open_db(b"c", txn=txn)
                if value is None:
                    return txn.get(KEY1, db=table)
                txn.drop(table, delete=False)
                txn.put(KEY1, value, db=table)
        finally:
            env.close()

    def open(self):
        return tarnel.open(self.path, durable=False)


def run(target, test_one_input, seeds):
    """Runs libFuzzer over test_one_input. Without a corpus directory among the arguments,
    $TARNEL_FUZZ_DIR/<target>-corpus is used; an empty corpus is filled with `seeds`."""
    sys.unraisablehook = lambda unraisable: None  # a str whose __str__ fails reports there
    argv = list(sys.argv)
    dirs = [a for a in argv[1:] if not a.startswith("-")]
    if not dirs:
        dirs = [os.path.join(os.environ.get("TARNEL_FUZZ_DIR", "build/fuzz"), target + "-corpus")]
        argv.append(dirs[0])
    os.makedirs(dirs[0], exist_ok=True)
    if not os.listdir(dirs[0]):
        for i, s in enumerate(seeds):
            with open(os.path.join(dirs[0], f"seed-{i:03d}"), "wb") as f:
                f.write(s)
    atheris.instrument_all()
    atheris.Setup(argv, test_one_input)
    atheris.Fuzz()

"""Shared pieces of the fuzz targets: a reference key codec written from the key format, a file
database whose raw table is filled through py-lmdb, and the outcome of a call.

The reference codec is deliberately plain Python: besides serving as the oracle it gives
atheris branch coverage to steer by, since the extension itself is not instrumented.
"""

import os
import shutil
import struct
import sys

import atheris
import lmdb

import tarnel

TAG_INT, TAG_STR, TAG_BYTES = 0x01, 0x02, 0x03
MAX_KEY = 511
EMPTY_DOC = b"\x05\x00\x00\x00\x00"
KEY_ONE = b"\x01\x80\x00\x00\x00\x00\x00\x00\x01"
# What a call may raise besides a crash; anything else is a finding.
EXPECTED = (TypeError, ValueError, OverflowError, tarnel.Error)


# ---------------------------------------------------------------------------------------------
# Reference key codec

def _escape(body):
    return body.replace(b"\x00", b"\x00\xff")


def lenient(text):
    return text.encode("utf-8", "surrogatepass").decode("utf-8", "replace")


def encode_part(v):
    if isinstance(v, int):
        return bytes([TAG_INT]) + struct.pack(">Q", (v + (1 << 63)) & ((1 << 64) - 1))
    if isinstance(v, str):
        return bytes([TAG_STR]) + _escape(lenient(v).encode()) + b"\x00"
    return bytes([TAG_BYTES]) + _escape(bytes(v)) + b"\x00"


def encode_key(key):
    """Key bytes of a plain key (int, str, bytes or a tuple of those); () is stored as 00."""
    parts = key if isinstance(key, tuple) else (key,)
    out = b"".join(encode_part(p) for p in parts)
    return out or b"\x00"


class KeyDecodeError(Exception):
    pass


def _utf8_error(body):
    try:
        body.decode("utf-8")
    except UnicodeDecodeError as e:
        if e.reason == "unexpected end of data":
            return f"incomplete utf-8 byte sequence from index {e.start}"
        return f"invalid utf-8 sequence of {e.end - e.start} bytes from index {e.start}"
    return None


def decode_key(kb):
    """The Python object of stored key bytes, or KeyDecodeError with the message to expect."""
    if kb == b"\x00":
        return ()
    parts = []
    i, n = 0, len(kb)
    while i < n:
        tag = kb[i]
        if tag == TAG_INT:
            if i + 9 > n:
                raise KeyDecodeError("truncated int key")
            u = int.from_bytes(kb[i + 1:i + 9], "big") ^ (1 << 63)
            parts.append(u - (1 << 64) if u >= 1 << 63 else u)
            i += 9
        elif tag in (TAG_STR, TAG_BYTES):
            body = bytearray()
            j = i + 1
            if j == n:
                raise KeyDecodeError("unterminated key component")
            while True:
                if kb[j] != 0:
                    body.append(kb[j])
                    j += 1
                elif j + 1 == n or kb[j + 1] != 0xFF:
                    i = j + 1
                    break
                else:
                    body.append(0)
                    j += 2
                if j >= n:
                    raise KeyDecodeError("unterminated key component")
            if tag == TAG_STR:
                err = _utf8_error(bytes(body))
                if err:
                    raise KeyDecodeError(err)
                parts.append(body.decode())
            else:
                parts.append(bytes(body))
        else:
            raise KeyDecodeError(f"bad key tag {tag:#x}")
    return parts[0] if len(parts) == 1 else tuple(parts)


# ---------------------------------------------------------------------------------------------
# Outcomes

class Finding(AssertionError):
    """A wrong result or an unexpected exception: atheris stops and keeps the input."""


def outcome(fn, *args):
    """('ok', value) or ('raise', class, message); exceptions outside EXPECTED propagate."""
    try:
        return ("ok", fn(*args))
    except EXPECTED as e:
        return ("raise", type(e), str(e))


def same(a, b):
    """Deep equality that also compares types, NaN bits and the sign of zero."""
    if type(a) is not type(b):
        return False
    if isinstance(a, float):
        return struct.pack("<d", a) == struct.pack("<d", b)
    if isinstance(a, dict):
        return list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    if isinstance(a, (list, tuple)):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    return a == b


def check(cond, what, *context):
    if not cond:
        raise Finding(what + "".join(f"\n  {c!r}" for c in context))


# ---------------------------------------------------------------------------------------------
# A file database with one collection, its table written raw

class RawStore:
    """A database file with the collection "c" whose single entry is written through py-lmdb.

    tarnel and py-lmdb never have the file open at the same time: LMDB allows one environment
    per file and process.
    """

    def __init__(self, directory):
        # libFuzzer ends the process with exit(), so no cleanup runs: the files live in the
        # target's work directory and are replaced by the next run.
        shutil.rmtree(directory, ignore_errors=True)
        os.makedirs(directory)
        self.path = os.path.join(directory, "db")
        db = tarnel.open(self.path, durable=False)
        db.collection("c").put(0, {})
        db.close()

    def write(self, key, value):
        env = lmdb.open(self.path, subdir=False, max_dbs=4, sync=False, lock=False)
        try:
            with env.begin(write=True) as txn:
                table = env.open_db(b"c", txn=txn)
                txn.drop(table, delete=False)
                txn.put(key, value, db=table)
        finally:
            env.close()

    def open(self):
        return tarnel.open(self.path, durable=False)


def quiet_unraisable():
    """str subclasses whose __str__ fails report through the unraisable hook; count, not print."""
    sys.unraisablehook = lambda unraisable: None


def work_dir(target):
    """Scratch files of a target: $TARNEL_FUZZ_DIR/<target>-work (default build/fuzz)."""
    return os.path.join(os.environ.get("TARNEL_FUZZ_DIR", "build/fuzz"), target + "-work")


def run(target, test_one_input, seeds):
    """Runs libFuzzer over test_one_input. Without a corpus directory among the arguments,
    $TARNEL_FUZZ_DIR/<target>-corpus is used; an empty corpus is filled with `seeds`."""
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
    atheris.instrument_all()  # the targets' own code steers too
    atheris.Setup(argv, test_one_input)
    atheris.Fuzz()

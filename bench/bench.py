"""Throughput of tarnel against the same work done by hand with py-lmdb and pymongo's bson.

Both sides use the same engine (LMDB), the same document format (BSON) and the same key bytes,
on the same generated data, in the same process run. Prints one line per workload: operations per
second for each side and the ratio tarnel / peer (above 1.0: tarnel is faster).

    python bench/bench.py [--n 100000] [--json out.json]
"""

import argparse
import datetime
import gc
import json
import os
import random
import shutil
import struct
import tempfile
import time

import bson
import lmdb
from bson.codec_options import CodecOptions

import tarnel

UTC = datetime.timezone.utc
CODEC = CodecOptions(tz_aware=True, tzinfo=UTC)


def make_doc(i):
    return {
        "id": i,
        "score": i * 0.5,
        "name": f"user-{i}",
        "active": i % 2 == 0,
        "created": datetime.datetime(2024, 1, 1, tzinfo=UTC) + datetime.timedelta(seconds=i),
        "tags": [i, i + 1, i + 2],
        "address": {"city": "Zurich", "zip": 8000 + i % 100},
        "big": i * 1_000_000_007,
    }


def int_key(i):
    return struct.pack(">BQ", 1, (i ^ (1 << 63)) & 0xFFFFFFFFFFFFFFFF)


def timed(fn, ops):
    gc.collect()
    t0 = time.perf_counter()
    fn()
    return ops / (time.perf_counter() - t0)


class Peer:
    """The hand-built pairing: py-lmdb plus bson.encode/decode, with our key bytes."""

    def __init__(self, path):
        self.env = lmdb.open(path, subdir=False, map_size=1 << 36, max_dbs=16, sync=False,
                             lock=True)
        self.db = self.env.open_db(b"c")

    def put(self, i, doc):
        with self.env.begin(write=True, db=self.db) as txn:
            txn.put(int_key(i), bson.encode(doc))

    def put_many(self, pairs):
        with self.env.begin(write=True, db=self.db) as txn:
            for i, doc in pairs:
                txn.put(int_key(i), bson.encode(doc))

    def get(self, i):
        with self.env.begin(db=self.db, buffers=True) as txn:
            raw = txn.get(int_key(i))
            if raw is None:
                raise KeyError(i)
            return bson.decode(raw, CODEC)

    def contains(self, i):
        with self.env.begin(db=self.db, buffers=True) as txn:
            return txn.get(int_key(i)) is not None

    def scan(self, mode):
        out = 0
        with self.env.begin(db=self.db, buffers=True) as txn:
            for k, v in txn.cursor():
                if mode == 0:
                    struct.unpack(">BQ", k)
                elif mode == 1:
                    bson.decode(v, CODEC)
                else:
                    (struct.unpack(">BQ", k), bson.decode(v, CODEC))
                out += 1
        return out

    def range(self, lo, hi):
        out = []
        with self.env.begin(db=self.db, buffers=True) as txn:
            cur = txn.cursor()
            end = int_key(hi)
            if cur.set_range(int_key(lo)):
                for k, v in cur:
                    if bytes(k) >= end:
                        break
                    out.append(bson.decode(v, CODEC))
        return out


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--n", type=int, default=100_000)
    ap.add_argument("--json")
    args = ap.parse_args()
    n = args.n
    docs = [make_doc(i) for i in range(n)]
    order = list(range(n))
    random.Random(7).shuffle(order)
    base = tempfile.mkdtemp(dir="/dev/shm" if os.path.isdir("/dev/shm") else None)
    results = []

    def row(name, t_ops, p_ops):
        results.append({"workload": name, "tarnel": t_ops, "peer": p_ops, "ratio": t_ops / p_ops})
        print(f"{name:<28} tarnel {t_ops:>12,.0f}/s   lmdb+bson {p_ops:>12,.0f}/s   ratio {t_ops / p_ops:5.2f}")

    try:
        db = tarnel.open(os.path.join(base, "t.db"), durable=False)
        c = db.collection("c")
        peer = Peer(os.path.join(base, "p.db"))

        row("put (single)",
            timed(lambda: [c.put(i, docs[i]) for i in order], n),
            timed(lambda: [peer.put(i, docs[i]) for i in order], n))
        db.drop("c")
        peer.env.close()
        peer = Peer(os.path.join(base, "p2.db"))
        c = db.collection("c")

        def t_batches():
            for s in range(0, n, 1000):
                c.put_many([(i, docs[i]) for i in range(s, min(n, s + 1000))])

        def p_batches():
            for s in range(0, n, 1000):
                peer.put_many([(i, docs[i]) for i in range(s, min(n, s + 1000))])

        row("put_many (batches of 1000)", timed(t_batches, n), timed(p_batches, n))
        row("get (hits, random)",
            timed(lambda: [c.get(i) for i in order], n),
            timed(lambda: [peer.get(i) for i in order], n))
        row("contains (misses)",
            timed(lambda: [c.contains(i + n) for i in order], n),
            timed(lambda: [peer.contains(i + n) for i in order], n))
        for mode in (0, 1, 2):
            row(f"full scan, mode {mode}",
                timed(lambda: sum(1 for _ in c.iter_(mode, False)), n),
                timed(lambda: peer.scan(mode), n))
        width = max(1, n // 100)
        starts = [random.Random(i).randrange(0, n - width) for i in range(50)]
        row("1% range_ (docs)",
            timed(lambda: [list(c.range_(s, s + width, 1)) for s in starts], 50 * width),
            timed(lambda: [peer.range(s, s + width) for s in starts], 50 * width))
        db.close()
        peer.env.close()
    finally:
        shutil.rmtree(base, ignore_errors=True)
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"n": n, "results": results}, f, indent=2)


if __name__ == "__main__":
    main()

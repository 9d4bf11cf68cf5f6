"""Throughput and memory of tarnel against other ways of keeping documents from Python.

Every workload runs against tarnel and each peer in the same process run, on the same generated
documents and the same key order:

  lmdb+bson     py-lmdb with pymongo's bson C codec, by hand: the same engine, the same format,
                the same key bytes (tarnel's key encoding).
  sqlite3+json  the stdlib sqlite3: a WITHOUT ROWID table, BLOB key (the same key bytes), JSON
                text value, cached prepared statements, journal_mode=WAL, `synchronous` OFF where
                tarnel is not durable and FULL where it is, one transaction per tarnel commit.
                (JSON has no datetime: the peer stores it as ISO text and reads back a str.)
  rocksdict     RocksDB through rocksdict in raw mode, BSON values and the same key bytes;
                WriteOptions.sync follows tarnel's durability.
  diskcache     diskcache.Cache (SQLite underneath, pickled values), `sqlite_synchronous`
                following tarnel's durability. It has no ordered ranges: range_/prefix_ are n/a.

Prints one table (operations per second, and tarnel / peer ratios: above 1.0 tarnel is faster),
the memory a full scan adds (measured in fresh subprocesses), the file sizes, and the goals; with
--json writes the same figures as JSON.

    python bench/bench.py [--scale 0.2] [--json out.json] [--stores tarnel,lmdb+bson,...]

Sizes: small documents N = 1,000,000 x scale, large (~10 KB) documents 50,000 x scale.
"""

import argparse
import collections
import datetime
import functools
import gc
import json
import os
import platform
import random
import shutil
import sqlite3
import struct
import subprocess
import sys
import tempfile
import threading
import time

import bson
from bson.codec_options import CodecOptions

import tarnel

UTC = datetime.timezone.utc
CODEC = CodecOptions(tz_aware=True, tzinfo=UTC)
SIGN = 1 << 63
KEY = struct.Struct(">BQ")  # tarnel's encoding of a non-negative int key
KEY2 = struct.Struct(">BQBQ")  # ... and of a (int, int) tuple key
ALL_STORES = ["tarnel", "lmdb+bson", "sqlite3+json", "rocksdict", "diskcache"]
GROUP = 1000  # documents per prefix in the tuple-keyed table

# ---- data ----------------------------------------------------------------------------------------


def small_doc(i):
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


def large_doc(i, rnd):
    # About 10 KB of BSON: text that does not compress to nothing, numbers, a list of records.
    return {
        "id": i,
        "title": f"document {i}",
        "created": datetime.datetime(2024, 1, 1, tzinfo=UTC) + datetime.timedelta(minutes=i),
        "body": rnd.randbytes(3000).hex(),
        "samples": [rnd.random() for _ in range(200)],
        "items": [{"sku": f"sku-{i}-{j}", "qty": j, "price": j * 1.25} for j in range(60)],
        "meta": {"source": "bench", "version": 3, "flags": [True, False, True]},
        "checksum": rnd.getrandbits(62),
    }


def enc_key(i):
    return KEY.pack(1, i ^ SIGN)


def dec_key(k):
    return KEY.unpack(k)[1] ^ SIGN


def enc_key2(t):
    return KEY2.pack(1, t[0] ^ SIGN, 1, t[1] ^ SIGN)


def dec_key2(k):
    _, a, _, b = KEY2.unpack(k)
    return (a ^ SIGN, b ^ SIGN)


bson_encode = bson.encode
bson_decode = functools.partial(bson.decode, codec_options=CODEC)


def json_default(o):
    if isinstance(o, datetime.datetime):
        return o.isoformat()
    raise TypeError(type(o).__name__)


json_encode = json.JSONEncoder(default=json_default, separators=(",", ":")).encode
json_decode = json.loads

# ---- stores ----------------------------------------------------------------------------------------
#
# Each store answers the same calls. `put`, `get`, `contains` are the cheapest callables the
# library allows (tarnel's are its bound methods); `get` raises KeyError on a miss, as tarnel's
# does. `scan(mode, reverse)` returns an iterator of keys (0), documents (1) or (key, document)
# pairs (2). `durable` is None for an in-memory store (peers on /dev/shm without syncs).


class Tarnel:
    name = "tarnel"

    def __init__(self, path, durable):
        self.path = path
        if durable is None:
            self.db = tarnel.open(durable=False)
        else:
            self.db = tarnel.open(path, durable=durable)
        self.c = self.db.collection("c")
        self.t = self.db.collection("t")
        self.put = self.c.put
        self.get = self.c.get
        self.contains = self.c.contains
        self.len = self.c.len

    def put_many(self, pairs):
        self.c.put_many(pairs)

    def put_many_tuples(self, pairs):
        self.t.put_many(pairs)

    def scan(self, mode, reverse):
        return self.c.iter_(mode, reverse)

    def range(self, lo, hi):
        return self.c.range_(lo, hi, 1)

    def prefix(self, g):
        return self.t.prefix_((g,), 1)

    def size(self):
        return os.path.getsize(self.path)

    def close(self):
        self.db.close()


class LmdbBson:
    name = "lmdb+bson"

    def __init__(self, path, durable):
        import lmdb

        self.path = path
        self.env = lmdb.open(path, subdir=False, map_size=1 << 38, max_dbs=16,
                             sync=bool(durable), lock=True)
        self.db = self.env.open_db(b"c")
        self.tdb = self.env.open_db(b"t")
        env, db = self.env, self.db

        def put(i, doc):
            with env.begin(write=True, db=db) as txn:
                txn.put(enc_key(i), bson_encode(doc))

        def get(i):
            with env.begin(db=db, buffers=True) as txn:
                raw = txn.get(enc_key(i))
                if raw is None:
                    raise KeyError(i)
                return bson_decode(raw)

        def contains(i):
            with env.begin(db=db, buffers=True) as txn:
                return txn.get(enc_key(i)) is not None

        self.put, self.get, self.contains = put, get, contains

    def put_many(self, pairs, db=None):
        with self.env.begin(write=True, db=db or self.db) as txn:
            put = txn.put
            for i, doc in pairs:
                put(enc_key(i), bson_encode(doc))

    def put_many_tuples(self, pairs):
        with self.env.begin(write=True, db=self.tdb) as txn:
            for t, doc in pairs:
                txn.put(enc_key2(t), bson_encode(doc))

    def len(self):
        with self.env.begin(db=self.db) as txn:
            return txn.stat(self.db)["entries"]

    def scan(self, mode, reverse):
        with self.env.begin(db=self.db, buffers=True) as txn:
            cur = txn.cursor()
            if mode == 0:
                it = map(dec_key, cur.iterprev(values=False) if reverse else cur.iternext(values=False))
            elif mode == 1:
                it = map(bson_decode, cur.iterprev(keys=False) if reverse else cur.iternext(keys=False))
            else:
                it = ((dec_key(k), bson_decode(v))
                      for k, v in (cur.iterprev() if reverse else cur.iternext()))
            yield from it

    def _bounded(self, db, lo, hi):
        with self.env.begin(db=db, buffers=True) as txn:
            cur = txn.cursor()
            if cur.set_range(lo):
                for k, v in cur:
                    if bytes(k) >= hi:
                        break
                    yield bson_decode(v)

    def range(self, lo, hi):
        return self._bounded(self.db, enc_key(lo), enc_key(hi))

    def prefix(self, g):
        return self._bounded(self.tdb, KEY.pack(1, g ^ SIGN), KEY.pack(1, (g + 1) ^ SIGN))

    def size(self):
        return os.path.getsize(self.path)

    def close(self):
        self.env.close()


class SqliteJson:
    name = "sqlite3+json"

    def __init__(self, path, durable):
        self.path = path
        self.sync = "FULL" if durable else "OFF"
        self.local = threading.local()
        conn = self.conn()
        conn.execute("CREATE TABLE IF NOT EXISTS c (k BLOB PRIMARY KEY, v TEXT) WITHOUT ROWID")
        conn.execute("CREATE TABLE IF NOT EXISTS t (k BLOB PRIMARY KEY, v TEXT) WITHOUT ROWID")
        ins = "INSERT OR REPLACE INTO c (k, v) VALUES (?, ?)"
        sel = "SELECT v FROM c WHERE k = ?"
        self.conns = [conn]

        def put(i, doc):  # autocommit: one transaction per call
            conn.execute(ins, (enc_key(i), json_encode(doc)))

        def get(i):
            row = self.conn().execute(sel, (enc_key(i),)).fetchone()
            if row is None:
                raise KeyError(i)
            return json_decode(row[0])

        def contains(i):
            return self.conn().execute(sel, (enc_key(i),)).fetchone() is not None

        self.put, self.get, self.contains = put, get, contains

    def conn(self):
        c = getattr(self.local, "c", None)
        if c is None:
            c = sqlite3.connect(self.path, isolation_level=None, check_same_thread=False,
                                cached_statements=64)
            c.execute("PRAGMA journal_mode=WAL")
            c.execute(f"PRAGMA synchronous={self.sync}")
            self.local.c = c
            if hasattr(self, "conns"):
                self.conns.append(c)
        return c

    def _many(self, table, rows):
        conn = self.conn()
        conn.execute("BEGIN")
        conn.executemany(f"INSERT OR REPLACE INTO {table} (k, v) VALUES (?, ?)", rows)
        conn.execute("COMMIT")

    def put_many(self, pairs):
        self._many("c", ((enc_key(i), json_encode(d)) for i, d in pairs))

    def put_many_tuples(self, pairs):
        self._many("t", ((enc_key2(t), json_encode(d)) for t, d in pairs))

    def len(self):
        return self.conn().execute("SELECT COUNT(*) FROM c").fetchone()[0]

    def scan(self, mode, reverse):
        order = "DESC" if reverse else "ASC"
        conn = self.conn()
        if mode == 0:
            cur = conn.execute(f"SELECT k FROM c ORDER BY k {order}")
            return (dec_key(r[0]) for r in cur)
        if mode == 1:
            cur = conn.execute(f"SELECT v FROM c ORDER BY k {order}")
            return (json_decode(r[0]) for r in cur)
        cur = conn.execute(f"SELECT k, v FROM c ORDER BY k {order}")
        return ((dec_key(k), json_decode(v)) for k, v in cur)

    def _bounded(self, table, lo, hi):
        cur = self.conn().execute(f"SELECT v FROM {table} WHERE k >= ? AND k < ? ORDER BY k", (lo, hi))
        return (json_decode(r[0]) for r in cur)

    def range(self, lo, hi):
        return self._bounded("c", enc_key(lo), enc_key(hi))

    def prefix(self, g):
        return self._bounded("t", KEY.pack(1, g ^ SIGN), KEY.pack(1, (g + 1) ^ SIGN))

    def size(self):
        return sum(os.path.getsize(self.path + s) for s in ("", "-wal", "-shm")
                   if os.path.exists(self.path + s))

    def close(self):
        for c in self.conns:
            c.close()


class RocksDict:
    name = "rocksdict"

    def __init__(self, path, durable):
        import rocksdict

        self.rd = rocksdict
        self.path = path
        self.db = rocksdict.Rdict(path, rocksdict.Options(raw_mode=True))
        wo = rocksdict.WriteOptions()
        wo.sync = bool(durable)
        self.wo = wo
        self.db.set_write_options(wo)
        db = self.db
        dbput, dbget = db.put, db.__getitem__

        def put(i, doc):
            dbput(enc_key(i), bson_encode(doc))

        def get(i):
            return bson_decode(dbget(enc_key(i)))

        def contains(i):
            return enc_key(i) in db

        self.put, self.get, self.contains = put, get, contains
        self.len = None  # RocksDB keeps only an estimate of its key count

    def _many(self, rows):
        wb = self.rd.WriteBatch(raw_mode=True)
        for k, v in rows:
            wb.put(k, v)
        self.db.write(wb, self.wo)

    def put_many(self, pairs):
        self._many((enc_key(i), bson_encode(d)) for i, d in pairs)

    def put_many_tuples(self, pairs):
        # Tuple keys begin 0x01 like int keys but are 18 bytes: a second key space of its own.
        self._many((b"t" + enc_key2(t), bson_encode(d)) for t, d in pairs)

    def _ro(self, lo=None, hi=None):
        ro = self.rd.ReadOptions()
        if lo is not None:
            ro.set_iterate_lower_bound(lo)
        if hi is not None:
            ro.set_iterate_upper_bound(hi)
        # rocksdict's iterators do not keep their ReadOptions (and so their bounds) alive.
        self._live_ro = ro
        return ro

    def scan(self, mode, reverse):
        # Int keys only: everything below the tuple table's b"t" prefix.
        ro = self._ro(b"\x01", b"\x02")
        start = b"\x02" if reverse else b"\x01"
        if mode == 0:
            return map(dec_key, self.db.keys(reverse, start, ro))
        if mode == 1:
            return map(bson_decode, self.db.values(reverse, start, ro))
        return ((dec_key(k), bson_decode(v)) for k, v in self.db.items(reverse, start, ro))

    def range(self, lo, hi):
        lo, hi = enc_key(lo), enc_key(hi)
        return map(bson_decode, self.db.values(False, lo, self._ro(lo, hi)))

    def prefix(self, g):
        lo, hi = b"t" + KEY.pack(1, g ^ SIGN), b"t" + KEY.pack(1, (g + 1) ^ SIGN)
        return map(bson_decode, self.db.values(False, lo, self._ro(lo, hi)))

    def size(self):
        return sum(os.path.getsize(os.path.join(self.path, f)) for f in os.listdir(self.path))

    def close(self):
        self.db.close()


class DiskCache:
    name = "diskcache"

    def __init__(self, path, durable):
        import diskcache

        self.path = path
        self.cache = diskcache.Cache(path, sqlite_synchronous=2 if durable else 0,
                                     size_limit=1 << 40, eviction_policy="none")
        cache = self.cache
        self.put = cache.set
        self.get = cache.__getitem__
        self.contains = cache.__contains__
        self.len = cache.__len__
        self.range = self.prefix = None

    def put_many(self, pairs):
        with self.cache.transact():
            put = self.cache.set
            for i, d in pairs:
                put(i, d)

    put_many_tuples = None

    def scan(self, mode, reverse):
        keys = self.cache.iterkeys(reverse=reverse)
        if mode == 0:
            return keys
        get = self.cache.__getitem__
        if mode == 1:
            return map(get, keys)
        return ((k, get(k)) for k in keys)

    def size(self):
        return sum(os.path.getsize(os.path.join(self.path, f)) for f in os.listdir(self.path))

    def close(self):
        self.cache.close()


STORE_TYPES = {t.name: t for t in (Tarnel, LmdbBson, SqliteJson, RocksDict, DiskCache)}


def store_path(base, name, tag):
    return os.path.join(base, f"{name.replace('+', '_')}-{tag}")


# ---- measuring -------------------------------------------------------------------------------------


def timed(fn, ops):
    """Operations per second of one run of fn (which does `ops` operations)."""
    gc.collect()
    gc.disable()
    try:
        t0 = time.perf_counter()
        fn()
        dt = time.perf_counter() - t0
    finally:
        gc.enable()
    return ops / dt


def repeated(fn, min_seconds=0.2):
    """Calls per second of fn, repeated until min_seconds pass."""
    n, t0 = 0, time.perf_counter()
    while True:
        fn()
        n += 1
        dt = time.perf_counter() - t0
        if dt >= min_seconds:
            return n / dt


def drain(it):
    d = collections.deque(enumerate(it, 1), maxlen=1)
    return d[0][0] if d else 0


def batches(docs, keys, size):
    for s in range(0, len(keys), size):
        yield [(i, docs[i]) for i in keys[s:s + size]]


def threaded_reads(store, keys, seconds, readers=4):
    """Reads per second of `readers` threads doing random gets while one thread writes."""
    stop = threading.Event()
    counts = [0] * readers
    doc = small_doc(0)

    def reader(slot):
        get = store.get
        n, j, m = 0, slot * 7919, len(keys)
        while not stop.is_set():
            for _ in range(256):
                get(keys[j % m])
                j += 1
            n += 256
        counts[slot] = n

    def writer():
        put, j = store.put, 0
        while not stop.is_set():
            put(keys[j % len(keys)], doc)
            j += 1

    threads = [threading.Thread(target=reader, args=(s,)) for s in range(readers)]
    threads.append(threading.Thread(target=writer))
    for t in threads:
        t.start()
    time.sleep(seconds)
    stop.set()
    for t in threads:
        t.join()
    return sum(counts) / seconds


def run_store(cls, data, base, cfg, rows):
    """Every workload against one store; results go to rows[workload][store]."""
    name = cls.name
    docs, order, n = data["docs"], data["order"], cfg.n

    def rec(workload, value):
        rows.setdefault(workload, {})[name] = value

    def fresh(tag, durable):
        path = store_path(base, name, tag)
        return cls(path, durable)

    def drop(s):  # closes the store and removes its files
        s.close()
        where = os.path.dirname(s.path)
        for p in os.listdir(where):
            if p.startswith(os.path.basename(s.path)):
                q = os.path.join(where, p)
                shutil.rmtree(q) if os.path.isdir(q) else os.remove(q)

    log = lambda w: print(f"  {name:<13} {w}", file=sys.stderr, flush=True)  # noqa: E731

    # Single puts: in memory, on a file without syncs, on a file with a sync per commit.
    puts = order[:cfg.n_put]
    for tag, durable, base_dir in (("memory", None, data["shm"]), ("file", False, base)):
        s = cls(store_path(base_dir, name, "put-" + tag), durable)
        put = s.put
        rec(f"put, small ({tag}, durable=False)",
            timed(lambda: [put(i, docs[i]) for i in puts], len(puts)))
        drop(s)
    log("single puts")
    s = fresh("durable", True)
    put, few = s.put, order[:cfg.n_durable]
    rec("put, small (file, durable=True)", timed(lambda: [put(i, docs[i]) for i in few], len(few)))
    drop(s)
    log("durable puts")

    # Batch writes of all N documents, in random key order.
    s = fresh("pm100k", False)
    bs = list(batches(docs, order, 100_000))
    rec("put_many, small, batches of 100k", timed(lambda: [s.put_many(b) for b in bs], n))
    drop(s)
    del bs
    s = fresh("main", False)
    bs = list(batches(docs, order, 1000))
    rec("put_many, small, batches of 1k", timed(lambda: [s.put_many(b) for b in bs], n))
    del bs
    log("put_many")
    data["sizes"][name] = s.size()

    get, contains = s.get, s.contains
    hits = order[:cfg.n_get]
    misses = [i + n for i in hits]

    def get_misses():
        for i in misses:
            try:
                get(i)
            except KeyError:
                pass

    rec("get, small, random hits", timed(lambda: [get(i) for i in hits], len(hits)))
    rec("get, small, misses", timed(get_misses, len(misses)))
    mixed = [i if j % 2 else i + n for j, i in enumerate(hits)]
    rec("contains, random, half hits", timed(lambda: [contains(i) for i in mixed], len(mixed)))
    if s.len is not None:
        assert s.len() == n, (name, s.len())
        rec("len (calls)", repeated(s.len))
    log("point reads")
    for mode in (0, 1, 2):
        for reverse in (False, True):
            counted = []
            rec(f"full scan, mode {mode}{', reverse' if reverse else ''}",
                timed(lambda: counted.append(drain(s.scan(mode, reverse))), n))
            assert counted == [n], (name, mode, reverse, counted)
    log("scans")
    if s.range is not None:
        width = max(1, n // 100)
        starts = [random.Random(j).randrange(0, n - width) for j in range(cfg.n_slices)]
        got = []
        rec("range_ 1% slices, docs", timed(lambda: got.extend(drain(s.range(a, a + width)) for a in starts),
                                             width * len(starts)))
        assert got == [width] * len(starts), (name, got[:3])
    if s.put_many_tuples is not None:
        groups = max(1, cfg.n_tuple // GROUP)
        for g in range(groups):
            s.put_many_tuples([((g, j), docs[(g * GROUP + j) % n]) for j in range(GROUP)])
        picks = [random.Random(j).randrange(groups) for j in range(cfg.n_slices)]
        got = []
        rec("prefix_ over tuple keys, docs",
            timed(lambda: got.extend(drain(s.prefix(g)) for g in picks), GROUP * len(picks)))
        assert got == [GROUP] * len(picks), (name, got[:3])
    log("ranges")
    rec("4 readers + 1 writer, reads", threaded_reads(s, hits, cfg.thread_seconds))
    log("threads")
    drop(s)

    # Large documents.
    big, border = data["big"], data["big_order"]
    s = fresh("big", False)
    bs = list(batches(big, border, 1000))
    rec("put_many, large, batches of 1k", timed(lambda: [s.put_many(b) for b in bs], len(border)))
    del bs
    get, put = s.get, s.put
    rec("get, large, random hits", timed(lambda: [get(i) for i in border], len(border)))
    counted = []
    rec("full scan, large, mode 1", timed(lambda: counted.append(drain(s.scan(1, False))), len(border)))
    few = border[:cfg.n_put_large]
    rec("put, large (file, durable=False)", timed(lambda: [put(i, big[i]) for i in few], len(few)))
    drop(s)
    log("large documents")


# ---- memory (in fresh subprocesses) --------------------------------------------------------------


def rss_anon():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("RssAnon:"):
                return int(line.split()[1]) * 1024
    return 0


def mem_child(argv):
    """`--mem-child fill|scan STORE PATH N`: fills a store, or scans it and prints JSON."""
    what, name, path, n = argv[0], argv[1], argv[2], int(argv[3])
    cls = STORE_TYPES[name]
    if what == "fill":
        s = cls(path, False)
        raw = 0
        for start in range(0, n, 10_000):
            pairs = [(i, small_doc(i)) for i in range(start, min(n, start + 10_000))]
            raw += sum(len(enc_key(i)) + len(bson_encode(d)) for i, d in pairs)
            s.put_many(pairs)
        s.close()
        print(json.dumps({"raw": raw}))
        return
    import tracemalloc

    s = cls(path, False)
    gc.collect()
    base = rss_anon()
    tracemalloc.start()
    peak, count = base, 0
    t0 = time.perf_counter()
    for count, _ in enumerate(s.scan(2, False), 1):
        if count & 0x3FFF == 0:
            peak = max(peak, rss_anon())
    dt = time.perf_counter() - t0
    peak = max(peak, rss_anon())
    _, traced_peak = tracemalloc.get_traced_memory()
    tracemalloc.stop()
    s.close()
    print(json.dumps({"count": count, "rss_anon_added": peak - base, "traced_peak": traced_peak,
                      "seconds": dt}))


def measure_memory(stores, base, n):
    out = {}
    for name in stores:
        if name == "diskcache":
            continue  # one query per document for mode 2: minutes at 1M documents
        path = store_path(base, name, "mem")
        run = lambda what: json.loads(subprocess.run(  # noqa: E731
            [sys.executable, __file__, "--mem-child", what, name, path, str(n)],
            check=True, capture_output=True, text=True).stdout)
        filled = run("fill")
        scanned = run("scan")
        assert scanned["count"] == n, scanned
        s = STORE_TYPES[name](path, False)
        size = s.size()
        s.close()
        out[name] = {"n": n, "raw_bson": filled["raw"], "file_size": size, **scanned}
        print(f"  {name:<13} memory", file=sys.stderr, flush=True)
    return out


# ---- report ------------------------------------------------------------------------------------------

GOALS = [  # (workload prefix, peer, minimum ratio)
    ("get, small, random hits", "lmdb+bson", 1.0),
    ("put_many, small, batches of 1k", "lmdb+bson", 1.0),
    ("put_many, small, batches of 100k", "lmdb+bson", 1.0),
    ("full scan, mode", "lmdb+bson", 1.0),
    ("put, small (", "lmdb+bson", 0.9),
    ("get, small, random hits", "sqlite3+json", 3.0),
    ("full scan, mode", "sqlite3+json", 3.0),
    ("put, small (", "sqlite3+json", 2.0),
    ("put_many, small", "sqlite3+json", 2.0),
]


def machine():
    model = "?"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    mem = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES")
    return {"nproc": os.cpu_count(), "cpu": model, "memory_gib": round(mem / 2**30, 1),
            "python": platform.python_version(), "kernel": platform.release()}


def fmt(v):
    if v is None:
        return "n/a"
    return f"{v:,.0f}" if v >= 100 else f"{v:,.1f}"


def report(rows, stores, memory, sizes, cfg):
    peers = [s for s in stores if s != "tarnel"]
    head = ["workload (per second)", "tarnel"] + [f"{p} (x)" for p in peers]
    lines = []
    for w, vals in rows.items():
        t = vals.get("tarnel")
        cells = [w, fmt(t)]
        for p in peers:
            v = vals.get(p)
            cells.append("n/a" if v is None else f"{fmt(v)} ({t / v:.2f})" if t else fmt(v))
        lines.append(cells)
    widths = [max(len(r[i]) for r in [head] + lines) for i in range(len(head))]
    out = ["| " + " | ".join(h.ljust(w) for h, w in zip(head, widths)) + " |",
           "|" + "|".join("-" * (w + 2) for w in widths) + "|"]
    for r in lines:
        out.append("| " + " | ".join([r[0].ljust(widths[0])] + [c.rjust(w) for c, w in zip(r[1:], widths[1:])]) + " |")
    print(f"\nN = {cfg.n:,} small documents, {cfg.n_big:,} large; (x) = tarnel / peer\n")
    print("\n".join(out))
    if sizes:
        print(f"\nFile size after put_many of {cfg.n:,} small documents: "
              + ", ".join(f"{k} {v / 2**20:,.1f} MiB" for k, v in sizes.items()))
    if memory:
        print("\nFull scan (mode 2) in a fresh process: memory it adds, and the file")
        print("| store | documents | RssAnon added | tracemalloc peak | file MiB | file / raw BSON |")
        print("|---|---|---|---|---|---|")
        for k, m in memory.items():
            print(f"| {k} | {m['n']:,} | {m['rss_anon_added'] / 2**20:.1f} MiB | "
                  f"{m['traced_peak'] / 2**20:.1f} MiB | {m['file_size'] / 2**20:,.1f} | "
                  f"{m['file_size'] / m['raw_bson']:.2f} |")
    goals = []
    for prefix, peer, want in GOALS:
        for w, vals in rows.items():
            if w.startswith(prefix) and vals.get(peer) and vals.get("tarnel"):
                r = vals["tarnel"] / vals[peer]
                goals.append({"workload": w, "peer": peer, "ratio": r, "goal": want, "met": r >= want})
    if "tarnel" in memory:
        added = memory["tarnel"]["rss_anon_added"]
        goals.append({"workload": "full scan memory (RssAnon added, bytes)", "peer": "-",
                      "ratio": added, "goal": 20 * 2**20, "met": added < 20 * 2**20})
    if goals:
        print("\nGoals")
        for g in goals:
            print(f"  {'met   ' if g['met'] else 'MISSED'} {g['workload']:<40} vs {g['peer']:<13} "
                  f"{g['ratio']:>8.2f} (goal {g['goal']})")
    return goals


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "--mem-child":
        return mem_child(sys.argv[2:])
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--scale", type=float, default=0.2,
                    help="sizes relative to 1M small documents (default 0.2)")
    ap.add_argument("--stores", default=",".join(ALL_STORES))
    ap.add_argument("--mem-n", type=int, default=1_000_000,
                    help="documents for the memory and file-size measurement (0: skip)")
    ap.add_argument("--threads-seconds", type=float, default=2.0)
    ap.add_argument("--dir", help="directory for the file stores (default: a temporary one)")
    ap.add_argument("--json")
    cfg = ap.parse_args()
    stores = [s for s in cfg.stores.split(",") if s]
    for s in stores:
        if s not in STORE_TYPES:
            ap.error(f"unknown store {s!r}; known: {', '.join(ALL_STORES)}")
    sc = cfg.scale
    cfg.n = max(10_000, int(1_000_000 * sc))
    cfg.n_big = max(1_000, int(50_000 * sc))
    cfg.n_put = max(5_000, int(200_000 * sc))
    cfg.n_put_large = max(500, int(10_000 * sc))
    cfg.n_durable = max(100, int(2_000 * sc))
    cfg.n_get = cfg.n
    cfg.n_slices = 20
    cfg.n_tuple = max(GROUP, int(100_000 * sc))
    cfg.thread_seconds = cfg.threads_seconds

    t0 = time.perf_counter()
    print(f"generating {cfg.n:,} small and {cfg.n_big:,} large documents", file=sys.stderr)
    rnd = random.Random(7)
    data = {"docs": [small_doc(i) for i in range(cfg.n)], "sizes": {}}
    data["order"] = list(range(cfg.n))
    rnd.shuffle(data["order"])
    data["big"] = [large_doc(i, rnd) for i in range(cfg.n_big)]
    data["big_order"] = list(range(cfg.n_big))
    rnd.shuffle(data["big_order"])
    shm = "/dev/shm" if os.path.isdir("/dev/shm") else None
    base = tempfile.mkdtemp(prefix="tarnel-bench-", dir=cfg.dir)
    data["shm"] = tempfile.mkdtemp(prefix="tarnel-bench-", dir=shm)
    rows, memory = {}, {}
    try:
        for name in stores:
            run_store(STORE_TYPES[name], data, base, cfg, rows)
        del data["docs"], data["big"]
        gc.collect()
        if cfg.mem_n:
            memory = measure_memory(stores, base, cfg.mem_n)
    finally:
        shutil.rmtree(base, ignore_errors=True)
        shutil.rmtree(data["shm"], ignore_errors=True)
    goals = report(rows, stores, memory, data["sizes"], cfg)
    elapsed = time.perf_counter() - t0
    print(f"\n{elapsed:.0f} s in all; machine: {machine()}")
    if cfg.json:
        with open(cfg.json, "w") as f:
            json.dump({"machine": machine(), "scale": sc, "n_small": cfg.n, "n_large": cfg.n_big,
                       "seconds": elapsed,
                       "results": [{"workload": w, "ops_per_second": v,
                                    "ratio": {p: v["tarnel"] / x for p, x in v.items()
                                              if p != "tarnel" and "tarnel" in v}}
                                   for w, v in rows.items()],
                       "file_size_after_put_many": data["sizes"], "memory": memory,
                       "goals": goals}, f, indent=2)


if __name__ == "__main__":
    main()

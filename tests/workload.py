"""Workloads that test_reliability.py runs in child processes.

    python workload.py kill PATH DURABLE(0|1) ROUND
A writer to be killed: a fixed sequence of calls on a file database, "ack <i>" on stdout after
each call that returned. The sequence is a function of (round, i) alone (`op`), and `apply` plays
it on a plain model, so the parent can compute the database it must find after the kill.

    python workload.py stress PATH|- DURABLE(0|1) SECONDS CLOSE(end|middle) SEED
Threads mixing every call on one database. Writers own their keys (their own collection, and
(w, n) keys of a shared one) and keep models of them, so every read of their own data has one
right answer; readers scan the shared collection and keep some iterators alive; one thread drops
and recreates a scratch collection. With CLOSE=middle the database is closed while they run and
every later call must fail with "database is closed". Prints one JSON line: the call count, the
problems found, and whether a file was checked against the models after the run.
"""
import faulthandler
import json
import os
import random
import sys
import threading
import time

SCRATCH = ["s0", "s1"]


def doc(rnd, i, j, rng):
    return {"r": rnd, "i": i, "j": j, "pad": "x" * rng.choice([0, 40, 600, 5000]), "tags": [i, str(j)]}


def op(rnd, i):
    """The i-th call of round `rnd`: (kind, collection, payload)."""
    rng = random.Random(rnd * 1_000_003 + i)
    x = rng.random()
    if x < 0.45:
        return ("put", "main", (("p", rnd, i), doc(rnd, i, 0, rng)))
    if x < 0.70:
        n = rng.randint(1, 40)
        return ("put_many", rng.choice(["main"] + SCRATCH),
                [(("m", rnd, i, j), doc(rnd, i, j, rng)) for j in range(n)])
    if x < 0.85:
        return ("delete", "main", ("p", rnd, rng.randrange(i) if i else 0))
    if x < 0.93:
        return ("drop", rng.choice(SCRATCH), None)
    return ("read", "main", None)


def apply(model, o):
    """Plays call `o` on `model` ({collection: {key: doc}}), as a committed call changes the store."""
    kind, coll, payload = o
    if kind == "put":
        model.setdefault(coll, {})[payload[0]] = payload[1]
    elif kind == "put_many":
        model.setdefault(coll, {}).update(payload)
    elif kind == "delete":
        model.get(coll, {}).pop(payload, None)
    elif kind == "drop":
        model.pop(coll, None)


def kill(path, durable, rnd):
    import tarnel

    out = os.fdopen(sys.stdout.fileno(), "w", buffering=1)
    db = tarnel.open(path, durable == "1")
    out.write("open\n")
    held = []  # live iterators: their snapshots hold reader slots when the kill lands
    for i in range(10**9):
        kind, coll, payload = op(int(rnd), i)
        c = db.collection(coll)
        try:
            if kind == "put":
                c.put(*payload)
            elif kind == "put_many":
                c.put_many(payload)
            elif kind == "delete":
                c.delete(payload)
            elif kind == "drop":
                db.drop(coll)
            else:
                it = c.iter_(2, i % 2 == 0)
                next(it, None)
                held = held[-3:] + [it]
                c.len(), c.first(), c.last(), db.names()
        except KeyError:
            pass
        out.write("ack %d\n" % i)


class Stop(Exception):
    pass


def stress(path, durable, seconds, close_mode, seed):
    import tarnel

    path = None if path == "-" else path
    seconds = float(seconds)
    faulthandler.dump_traceback_later(seconds + 60, exit=True)  # a hang shows where it hangs
    db = tarnel.open(path, durable == "1")
    stop, closed = threading.Event(), threading.Event()
    problems, ops = [], []
    writers = 3
    models = [({}, {}) for _ in range(writers)]  # (own collection, shared (w, n) keys)

    def check(cond, what):
        if not cond:
            problems.append(what)

    def call(fn, *args):
        """Runs one call; the closed-database error after close() ends the thread."""
        try:
            return fn(*args)
        except tarnel.Error as e:
            if closed.is_set() and str(e) == "database is closed":
                raise Stop from None
            raise

    def writer(w, rng):
        own, shared_model = models[w]
        c, shared = db.collection("own%d" % w), db.collection("shared")
        n = 0
        while not stop.is_set():
            n += 1
            x, k = rng.random(), rng.randrange(200)
            if x < 0.3:
                d = {"w": w, "n": n, "pad": "p" * rng.choice([0, 10, 3000])}
                call(c.put, k, d)
                own[k] = d
            elif x < 0.45:
                items = [(rng.randrange(200), {"n": n, "j": j}) for j in range(rng.randint(1, 30))]
                call(c.put_many, items)
                own.update(items)
            elif x < 0.55:
                try:
                    call(c.delete, k)
                    check(k in own, "delete of an absent key succeeded")
                    own.pop(k, None)
                except KeyError:
                    check(k not in own, "delete of a present key raised KeyError")
            elif x < 0.7:
                try:
                    check(own.get(k) == call(c.get, k), "get returned a stale document")
                except KeyError:
                    check(k not in own, "get lost a key")
            elif x < 0.8:
                call(shared.put, (w, n), {"w": w, "n": n})
                shared_model[(w, n)] = {"w": w, "n": n}
            elif x < 0.85:
                check(call(c.contains, k) == (k in own), "contains disagrees")
                check(call(c.len) == len(own), "len disagrees")
            elif x < 0.9:
                f, last = call(c.first), call(c.last)
                check((f and f[0]) == (min(own) if own else None), "first disagrees")
                check((last and last[0]) == (max(own) if own else None), "last disagrees")
            elif x < 0.93:
                try:
                    call(db.drop, "own%d" % w)
                    own.clear()
                except KeyError:
                    check(not own, "drop lost a collection")
            else:
                keys = list(call(c.range_, k, k + 50, 0))
                check(keys == sorted(kk for kk in own if k <= kk < k + 50), "range disagrees")
            ops[w] += 1

    def reader(r, rng):
        shared = db.collection("shared")
        held = []
        while not stop.is_set():
            x = rng.random()
            if x < 0.4:
                it = call(shared.iter_, rng.choice([0, 1, 2]), rng.random() < 0.5)
                part = [e for _, e in zip(range(rng.randint(0, 40)), it)]
                held.append(it)
                check(all(isinstance(e, (tuple, dict)) for e in part), "bad scan entry")
            elif x < 0.6:
                w = rng.randrange(writers)
                keys = list(call(shared.prefix_, (w,), 0))
                check(keys == sorted(keys) and all(k[0] == w for k in keys), "prefix scan disorder")
            elif x < 0.7 and held:  # a snapshot kept across other calls, and across close()
                rest = list(held.pop(rng.randrange(len(held))))
                check(all(e is not None for e in rest), "held iterator yielded None")
            elif x < 0.85:
                call(shared.len), call(shared.first), call(shared.last)
            else:
                names = call(db.names)
                check(names == sorted(names, key=lambda s: s.encode()), "names unsorted")
            del held[:-20]
            ops[writers + r] += 1

    def chaos(rng):
        scratch = db.collection("scratch")
        while not stop.is_set():
            x = rng.random()
            if x < 0.4:
                call(scratch.put_many, [(i, {"i": i}) for i in range(rng.randint(1, 50))])
            elif x < 0.6:
                try:
                    call(db.drop, "scratch")
                except KeyError:
                    pass
            else:
                list(call(scratch.iter_, 2, True))
            ops[-1] += 1

    def guard(fn, *args):
        def body():
            try:
                fn(*args)
            except Stop:
                pass
            except BaseException as e:  # noqa: BLE001 - reported on stdout
                problems.append("%s: %r" % (fn.__name__, e))
        return body

    rng = random.Random(int(seed))
    bodies = [guard(writer, w, random.Random(rng.random())) for w in range(writers)]
    bodies += [guard(reader, r, random.Random(rng.random())) for r in range(2)]
    bodies += [guard(chaos, random.Random(rng.random()))]
    ops.extend([0] * len(bodies))
    threads = [threading.Thread(target=b) for b in bodies]
    for t in threads:
        t.start()
    time.sleep(seconds / 2)
    if close_mode == "middle":
        closed.set()
        db.close()
    time.sleep(seconds / 2)
    stop.set()
    for t in threads:
        t.join()
    db.close()
    if path is not None:  # a file keeps everything acknowledged
        db = tarnel.open(path)
        want_shared = {}
        for w, (own, shared_model) in enumerate(models):
            c = db.collection("own%d" % w)
            check(dict(c.iter_(2, False)) == own and c.len() == len(own), "own%d differs" % w)
            want_shared.update(shared_model)
        check(dict(db.collection("shared").iter_(2, False)) == want_shared, "shared differs")
        db.close()
    print(json.dumps({"ops": sum(ops), "problems": problems[:20], "verified": path is not None}))


if __name__ == "__main__":
    {"kill": kill, "stress": stress}[sys.argv[1]](*sys.argv[2:])

"""Child workloads of test_reliability.py.

kill PATH DURABLE ROUND: the round's calls, printing "ack <i>" after each that returned.
stress PATH|- DURABLE SECONDS CLOSE(end|middle) SEED: threads mixing every call against models;
prints {"ops", "problems", "verified"} as one JSON line.
"""
import faulthandler
import json
import os
import random
import sys
import threading
import time

import tarnel


def op(rnd, i):
    """The i-th call of round `rnd`: (kind, collection, payload)."""
    rng = random.Random(rnd * 1_000_003 + i)
    x = rng.random()
    doc = lambda j: {"r": rnd, "i": i, "j": j, "pad": "x" * rng.choice([0, 40, 600, 5000])}  # noqa: E731
    if x < 0.45:
        return ("put", "main", (("p", rnd, i), doc(0)))
    if x < 0.70:
        coll = rng.choice(["main", "s0", "s1"])
        return ("put_many", coll, [(("m", rnd, i, j), doc(j)) for j in range(rng.randint(1, 40))])
    if x < 0.85:
        return ("delete", "main", ("p", rnd, rng.randrange(i) if i else 0))
    return ("drop", rng.choice(["s0", "s1"]), None) if x < 0.93 else ("read", "main", None)


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
    out = os.fdopen(sys.stdout.fileno(), "w", buffering=1)
    db = tarnel.open(path, durable == "1")
    out.write("open\n")
    held = []  # live iterators: their snapshots hold reader slots when the kill lands
    for i in range(10**9):
        kind, name, payload = op(int(rnd), i)
        c = db.collection(name)
        try:
            if kind == "read":
                held = held[-3:] + [c.iter_(2, i % 2 == 0)]
                next(held[-1], None), c.len(), c.first(), c.last(), db.names()
            else:
                {"put": lambda: c.put(*payload), "put_many": lambda: c.put_many(payload),
                 "delete": lambda: c.delete(payload), "drop": lambda: db.drop(name)}[kind]()
        except KeyError:
            pass
        out.write("ack %d\n" % i)


def stress(path, durable, seconds, close_mode, seed):
    path, seconds = None if path == "-" else path, float(seconds)
    faulthandler.dump_traceback_later(seconds + 60, exit=True)  # a hang shows where it hangs
    db = tarnel.open(path, durable == "1")
    stop, closed = threading.Event(), threading.Event()
    problems, ops, models = [], [0] * 5, [{}, {}, {}]  # models: each writer's own collection

    def check(cond, what):
        if not cond:
            problems.append(what)

    def writer(w, rng):
        own, c, shared = models[w], db.collection("own%d" % w), db.collection("shared")
        n = 0
        while not stop.is_set():
            n, x, k = n + 1, rng.random(), rng.randrange(200)
            if x < 0.3:
                own[k] = {"n": n, "pad": "p" * rng.choice([0, 10, 3000])}
                c.put(k, own[k])
            elif x < 0.45:
                items = [(rng.randrange(200), {"n": n, "j": j}) for j in range(rng.randint(1, 30))]
                c.put_many(items)
                own.update(items)
            elif x < 0.55:
                try:
                    c.delete(k)
                    check(own.pop(k, None) is not None, "delete of an absent key succeeded")
                except KeyError:
                    check(k not in own, "delete of a present key raised KeyError")
            elif x < 0.7:
                try:
                    check(own.get(k) == c.get(k), "get returned a stale document")
                except KeyError:
                    check(k not in own, "get lost a key")
            elif x < 0.8:
                shared.put((w, n), {"n": n})
            elif x < 0.9:
                check((c.contains(k), c.len()) == (k in own, len(own)), "contains or len disagrees")
                f, last = c.first(), c.last()
                check((f and f[0], last and last[0]) == (min(own, default=None), max(own, default=None)),
                      "first or last disagrees")
            elif x < 0.93:
                try:
                    db.drop("own%d" % w)
                    own.clear()
                except KeyError:
                    check(not own, "drop lost a collection")
            else:
                keys = list(c.range_(k, k + 50, 0))
                check(keys == sorted(kk for kk in own if k <= kk < k + 50), "range disagrees")
            ops[w] += 1

    def reader(r, rng):
        shared, scratch, held = db.collection("shared"), db.collection("scratch"), []
        while not stop.is_set():
            x = rng.random()
            if x < 0.3:  # snapshots kept across other calls, and across close()
                held = held[-20:] + [shared.iter_(rng.choice([0, 1, 2]), rng.random() < 0.5)]
                check(None not in [e for _, e in zip(range(rng.randint(0, 40)), held[-1])], "bad entry")
            elif x < 0.4:
                check(None not in list(held.pop(rng.randrange(len(held)))) if held else True, "held")
            elif x < 0.5:
                w = rng.randrange(3)
                keys = list(shared.prefix_((w,), 0))
                check(keys == sorted(keys) and all(k[0] == w for k in keys), "prefix scan disorder")
            elif x < 0.7:  # a collection dropped and made again under the scans
                scratch.put_many([(i, {"i": i}) for i in range(rng.randint(1, 50))])
                list(scratch.iter_(2, True))
                if r == 0 and db.has("scratch"):
                    db.drop("scratch")
            else:
                shared.len(), shared.first(), shared.last()
                names = db.names()
                check(names == sorted(names, key=lambda s: s.encode()), "names unsorted")
            ops[3 + r] += 1

    def guard(fn, *args):
        def body():
            try:
                fn(*args)
            except tarnel.Error as e:
                if not (closed.is_set() and str(e) == "database is closed"):
                    problems.append("%s: %r" % (fn.__name__, e))
            except BaseException as e:  # noqa: BLE001 - reported on stdout
                problems.append("%s: %r" % (fn.__name__, e))
        return body

    rng = random.Random(int(seed))
    threads = [threading.Thread(target=guard(f, n, random.Random(rng.random())))
               for f, n in [(writer, 0), (writer, 1), (writer, 2), (reader, 0), (reader, 1)]]
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
        for w, own in enumerate(models):
            c = db.collection("own%d" % w)
            check(dict(c.iter_(2, False)) == own and c.len() == len(own), "own%d differs" % w)
    print(json.dumps({"ops": sum(ops), "problems": problems[:20], "verified": path is not None}))


if __name__ == "__main__":
    {"kill": kill, "stress": stress}[sys.argv[1]](*sys.argv[2:])

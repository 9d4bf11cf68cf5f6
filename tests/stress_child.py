"""Threads mixing every operation on one database for a bounded time.

    python stress_child.py PATH|- DURABLE(0|1) SECONDS CLOSE(end|middle) SEED

Writers own their keys (their own collection, and (w, n) keys of a shared one) and keep a model
of them, so every read of their own data has one right answer and the store can be compared
with the models at the end. Readers scan the shared collection (drained partly, kept alive across
other calls), and one thread drops and recreates a scratch collection. With CLOSE=middle the
database is closed while they run; every later call must fail with "database is closed".
Prints one JSON line: operation count, problems found, and the final check's outcome.
"""
import faulthandler
import json
import random
import sys
import threading
import time

import tarnel

CLOSED = {"database is closed", "Database has been closed"}


class Stop(Exception):
    pass


def main():
    path, durable, seconds, close_mode, seed = sys.argv[1:6]
    path = None if path == "-" else path
    seconds = float(seconds)
    faulthandler.dump_traceback_later(seconds + 60, exit=True)  # a hang shows where it hangs
    db = tarnel.open(path, durable == "1")
    stop = threading.Event()
    closed = threading.Event()
    problems = []
    ops = []
    writers = 3
    models = [({}, {}) for _ in range(writers)]  # (own collection, shared (w, n) keys)

    def check(cond, what):
        if not cond:
            problems.append(what)

    def call(fn, *args):
        """Runs one call; a closed-database error after close() ends the thread."""
        try:
            return fn(*args)
        except tarnel.Error as e:
            if closed.is_set() and str(e) in CLOSED:
                raise Stop from None
            raise

    def writer(w, rng):
        own, shared_model = models[w]
        c = db.collection("own%d" % w)
        shared = db.collection("shared")
        n = 0
        while not stop.is_set():
            n += 1
            x = rng.random()
            k = rng.randrange(200)
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
                    got = call(c.get, k)
                    check(own.get(k) == got, "get returned a stale document")
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
                if rng.random() < 0.3:
                    held.append(it)
                check(all(isinstance(e, (tuple, dict)) for e in part), "bad scan entry")
            elif x < 0.6:
                w = rng.randrange(writers)
                keys = list(call(shared.prefix_, (w,), 0))
                check(keys == sorted(keys) and all(k[0] == w for k in keys), "prefix scan disorder")
            elif x < 0.7 and held:
                it = held.pop(rng.randrange(len(held)))
                try:
                    rest = list(it)
                    check(all(e is not None for e in rest), "held iterator yielded None")
                except tarnel.Error as e:  # the engine shut down under a held snapshot
                    check(closed.is_set() and str(e) in CLOSED, "held iterator: %r" % e)
            elif x < 0.85:
                call(shared.len)
                call(shared.first), call(shared.last)
            else:
                names = call(db.names)
                check(names == sorted(names, key=lambda s: s.encode()), "names unsorted")
                call(db.has, "shared")
            ops[writers + r] += 1
            if len(held) > 20:
                held.clear()

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
            elif x < 0.8:
                list(call(scratch.iter_, 2, True))
            else:
                call(db.collection, "c%d" % rng.randrange(5))
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
    if close_mode == "middle":
        time.sleep(seconds / 2)
        closed.set()
        db.close()
    time.sleep(seconds if close_mode == "end" else seconds / 2)
    stop.set()
    for t in threads:
        t.join()
    if close_mode == "end":
        db.close()

    # The models against the store (reopened: a file keeps everything acknowledged).
    verified = False
    if path is not None:
        db = tarnel.open(path)
        shared_all = dict(db.collection("shared").iter_(2, False))
        want_shared = {}
        for w, (own, shared_model) in enumerate(models):
            c = db.collection("own%d" % w)
            check(dict(c.iter_(2, False)) == own, "own%d differs from its model" % w)
            check(c.len() == len(own), "own%d: len differs" % w)
            want_shared.update(shared_model)
        check(shared_all == want_shared, "shared differs from the models")
        db.close()
        verified = True
    print(json.dumps({"ops": sum(ops), "problems": problems[:20], "verified": verified}))


if __name__ == "__main__":
    main()

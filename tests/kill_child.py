"""A writer to be killed: runs a fixed sequence of calls on a file database and reports each
call that returned on stdout ("ack <i>"), so the test knows what was acknowledged when the
SIGKILL landed.

    python kill_child.py PATH DURABLE(0|1) ROUND

The sequence is a function of (round, i) alone (`op`), and `apply` plays it on a plain model, so
the parent can compute the database it must find after the kill.
"""
import os
import random
import sys

SCRATCH = ["s0", "s1"]
PADS = [0, 40, 600, 5000]  # 5000 bytes takes overflow pages


def doc(rnd, i, j, rng):
    return {"r": rnd, "i": i, "j": j, "pad": "x" * rng.choice(PADS), "tags": [i, str(j)]}


def op(rnd, i):
    """The i-th call of round `rnd`: (kind, collection, payload)."""
    rng = random.Random(rnd * 1_000_003 + i)
    x = rng.random()
    if x < 0.45:
        return ("put", "main", (("p", rnd, i), doc(rnd, i, 0, rng)))
    if x < 0.70:
        coll = rng.choice(["main"] + SCRATCH)
        n = rng.randint(1, 40)
        return ("put_many", coll, [(("m", rnd, i, j), doc(rnd, i, j, rng)) for j in range(n)])
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


def main():
    import tarnel

    path, durable, rnd = sys.argv[1], sys.argv[2] == "1", int(sys.argv[3])
    out = os.fdopen(sys.stdout.fileno(), "w", buffering=1)
    db = tarnel.open(path, durable)
    out.write("open\n")
    held = []  # live iterators: their snapshots hold reader slots when the kill lands
    i = 0
    while True:
        kind, coll, payload = op(rnd, i)
        c = db.collection(coll)
        if kind == "put":
            c.put(*payload)
        elif kind == "put_many":
            c.put_many(payload)
        elif kind == "delete":
            try:
                c.delete(payload)
            except KeyError:
                pass
        elif kind == "drop":
            try:
                db.drop(coll)
            except KeyError:
                pass
        else:
            it = c.iter_(2, i % 2 == 0)
            next(it, None)
            held = held[-3:] + [it]
            c.len(), c.first(), c.last(), db.names()
        out.write("ack %d\n" % i)
        i += 1


if __name__ == "__main__":
    main()

"""A step of an iterator runs Python code (reading a datetime); that code may step the same iterator.

The datetime reading goes through the module named "datetime" in sys.modules, so a stand-in module
there lets a test run code in the middle of a step.
"""

import datetime as real_datetime
import sys
import threading
import time
import types

import pytest

import tarnel

UTC = real_datetime.timezone.utc


@pytest.fixture
def coll():
    db = tarnel.open()
    c = db.collection("c")
    c.put_many([(i, {"at": real_datetime.datetime(2020, 1, 1, tzinfo=UTC)}) for i in range(5)])
    yield c
    db.close()


@pytest.fixture
def on_datetime_read(monkeypatch):
    """Installs a stand-in datetime module; returns a setter for the hook it calls on each read."""
    hook = {"fn": None}

    class StandInDatetime:
        @staticmethod
        def fromtimestamp(seconds, tz):
            if hook["fn"] is not None:
                fn, hook["fn"] = hook["fn"], None  # once
                fn()
            return real_datetime.datetime.fromtimestamp(seconds, tz)

    module = types.ModuleType("datetime")
    module.datetime = StandInDatetime
    module.timezone = real_datetime.timezone
    monkeypatch.setitem(sys.modules, "datetime", module)
    return lambda fn: hook.__setitem__("fn", fn)


def test_same_thread_reentry_is_refused_not_deadlocked(coll, on_datetime_read):
    it = coll.iter_(2, False)
    seen = []

    def reenter():
        with pytest.raises(ValueError, match="already executing"):
            next(it)
        seen.append("refused")

    on_datetime_read(reenter)
    first = next(it)
    assert seen == ["refused"]
    assert first[0] == 0
    # The refused step took no entry: the walk goes on in order.
    assert [k for k, _ in it] == [1, 2, 3, 4]


def test_other_thread_waits_for_the_step_without_holding_the_interpreter(coll, on_datetime_read):
    it = coll.iter_(0, False)
    it_docs = coll.iter_(1, False)
    got = []

    def other():
        got.append(next(it_docs))

    def start_other_and_let_it_block():
        t = threading.Thread(target=other)
        t.start()
        time.sleep(0.2)  # the other thread reaches the held step lock and waits
        start_other_and_let_it_block.thread = t

    on_datetime_read(start_other_and_let_it_block)
    first = next(it_docs)
    t = start_other_and_let_it_block.thread
    t.join(timeout=10)
    assert not t.is_alive(), "second step hung"
    assert first["at"] == real_datetime.datetime(2020, 1, 1, tzinfo=UTC)
    assert len(got) == 1
    # Each entry went to exactly one step.
    assert len(list(it_docs)) == 3
    assert list(it) == [0, 1, 2, 3, 4]

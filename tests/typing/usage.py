"""Typed use of tarnel, checked by `mypy --strict` (never run).

Each `assert_type` pins what the stubs promise; each `type: ignore[...]` marks a call the stubs
must refuse (with --strict, an ignore that is not needed is itself an error).
"""

import datetime
import pathlib
from typing import Any

from typing_extensions import assert_type

import tarnel
from tarnel import Collection, CollectionIter, Database, Document, Key

db = tarnel.open()
assert_type(db, Database)
assert_type(tarnel.open("app.db", durable=False), Database)
assert_type(tarnel.open(pathlib.Path("app.db")), Database)

users = db.collection("users")
assert_type(users, Collection)
users.put(1, {"name": "Ada", "born": datetime.datetime(1815, 12, 10), "tags": ["x"]})
users.put(("eu", 2, b"\x00"), {})
users.put_many([(2, {"name": "Grace"}), ((3, "x"), {"name": "Linus"})])
users.put_many(items=())
assert_type(users.get(1), dict[str, Any])
assert_type(users.contains("k"), bool)
assert_type(users.len(), int)
assert_type(users.delete(1), None)
assert_type(users.first(), tuple[Key, Document] | None)

# The scan mode decides what an iterator yields.
assert_type(users.iter_(0, False), CollectionIter[Key])
assert_type(users.iter_(1, True), CollectionIter[Document])
assert_type(users.iter_(2, False), CollectionIter[tuple[Key, Document]])
assert_type(users.iter_(mode=False, reverse=False), CollectionIter[Key])
assert_type(users.range_(1, None, 0), CollectionIter[Key])
assert_type(users.prefix_(("eu",), 2), CollectionIter[tuple[Key, Document]])
assert_type(users.prefix_(b"ab", mode=1), CollectionIter[Document])
some_mode: int = 7
assert_type(users.iter_(some_mode, False), CollectionIter[Key | Document | tuple[Key, Document]])

for key, doc in users.iter_(2, False):
    assert_type(key, Key)
    assert_type(doc, dict[str, Any])
assert_type(next(iter(users.iter_(0, False))), Key)

assert_type(db.names(), list[str])
assert_type(db.close(), None)

try:
    users.get(1)
except tarnel.Error as e:
    assert_type(e, tarnel.Error)
    assert isinstance(e, Exception)

# Calls the stubs refuse.
users.put(1.5, {})  # type: ignore[arg-type]
users.put(((1,),), {})  # type: ignore[arg-type]
users.put(1, {1: "x"})  # type: ignore[dict-item]
users.put_many({1: {}})  # type: ignore[arg-type]
users.iter_(0)  # type: ignore[call-overload]
users.iter_("0", False)  # type: ignore[call-overload]
users.prefix_(None, 0)  # type: ignore[call-overload]
tarnel.open(b"app.db")  # type: ignore[arg-type]
tarnel.open(pathlib.PurePath("x"), durable=None)  # type: ignore[arg-type]

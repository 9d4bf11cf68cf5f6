"""Typed use of tarnel for `mypy --strict` (never run); each `type: ignore` is a call the stubs refuse."""

import datetime
import pathlib
from typing import Any

from typing_extensions import assert_type

import tarnel
from tarnel import Collection, CollectionIter, Database, Document, Key

db = tarnel.open()
assert_type(db, Database)
assert_type(tarnel.open("app.db", durable=False), Database)

users = db.collection("users")
assert_type(users, Collection)
users.put(1, {"name": "Ada", "born": datetime.datetime(1815, 12, 10), "tags": ["x"]})
users.put_many([(2, {"name": "Grace"}), (("eu", 2, b"\x00"), {"name": "Linus"})])
assert_type(users.get(1), dict[str, Any])
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
assert_type(next(iter(users.iter_(0, False))), Key)

assert_type(db.names(), list[str])

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

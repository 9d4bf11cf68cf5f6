"""Types of the native module: the database, its collections and their scan iterators."""

import os
from collections.abc import Sequence
from typing import Any, Generic, Literal, SupportsIndex, TypeVar, final, overload

from typing_extensions import Self, TypeAlias

from tarnel import Document, Key, Prefix

__all__ = ["Database", "Collection", "CollectionIter", "open", "Error"]

_Item: TypeAlias = tuple[Key, Document]

# Scan modes: 0 yields keys, 1 documents, every other value from 2 to 255 (key, document) pairs.
_KeysMode: TypeAlias = Literal[0, False]
_DocumentsMode: TypeAlias = Literal[1, True]
_ItemsMode: TypeAlias = Literal[
    2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19,
    20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32, 33, 34, 35, 36, 37,
    38, 39, 40, 41, 42, 43, 44, 45, 46, 47, 48, 49, 50, 51, 52, 53, 54, 55,
    56, 57, 58, 59, 60, 61, 62, 63, 64, 65, 66, 67, 68, 69, 70, 71, 72, 73,
    74, 75, 76, 77, 78, 79, 80, 81, 82, 83, 84, 85, 86, 87, 88, 89, 90, 91,
    92, 93, 94, 95, 96, 97, 98, 99, 100, 101, 102, 103, 104, 105, 106, 107, 108, 109,
    110, 111, 112, 113, 114, 115, 116, 117, 118, 119, 120, 121, 122, 123, 124, 125, 126, 127,
    128, 129, 130, 131, 132, 133, 134, 135, 136, 137, 138, 139, 140, 141, 142, 143, 144, 145,
    146, 147, 148, 149, 150, 151, 152, 153, 154, 155, 156, 157, 158, 159, 160, 161, 162, 163,
    164, 165, 166, 167, 168, 169, 170, 171, 172, 173, 174, 175, 176, 177, 178, 179, 180, 181,
    182, 183, 184, 185, 186, 187, 188, 189, 190, 191, 192, 193, 194, 195, 196, 197, 198, 199,
    200, 201, 202, 203, 204, 205, 206, 207, 208, 209, 210, 211, 212, 213, 214, 215, 216, 217,
    218, 219, 220, 221, 222, 223, 224, 225, 226, 227, 228, 229, 230, 231, 232, 233, 234, 235,
    236, 237, 238, 239, 240, 241, 242, 243, 244, 245, 246, 247, 248, 249, 250, 251, 252, 253,
    254, 255,
]

_T_co = TypeVar("_T_co", covariant=True)

@final
class CollectionIter(Generic[_T_co]):
    """A streaming iterator over a read snapshot that it owns outright."""

    def __iter__(self) -> Self: ...
    def __next__(self) -> _T_co: ...

@final
class Collection:
    """A named collection of a database: documents under ordered keys."""

    def get(self, key: Key) -> Document:
        """Point lookup; `KeyError` on a missing key or a missing collection."""
    def put(self, key: Key, doc: Document) -> None:
        """Upsert. Assignment overwrites, exactly as it does for a `dict`."""
    def put_many(self, items: Sequence[tuple[Key, Document]]) -> None:
        """Upserts many documents in one commit.

        Everything is encoded before the transaction opens, so a bad key or
        document raises without having written anything.
        """
    def delete(self, key: Key) -> None:
        """Delete; `KeyError` on a missing key."""
    def contains(self, key: Key) -> bool:
        """Whether the key is present (`False` for a missing collection)."""
    def len(self) -> int:
        """The number of documents (0 for a missing collection)."""
    @overload
    def iter_(self, mode: _KeysMode, reverse: bool) -> CollectionIter[Key]:
        """Whole-collection iteration; `mode` selects keys, values, or items.

        `mode`: 0 yields keys, 1 documents, any of 2 to 255 `(key, document)` pairs.
        """
    @overload
    def iter_(self, mode: _DocumentsMode, reverse: bool) -> CollectionIter[Document]:
        """Whole-collection iteration; `mode` selects keys, values, or items.

        `mode`: 0 yields keys, 1 documents, any of 2 to 255 `(key, document)` pairs.
        """
    @overload
    def iter_(self, mode: _ItemsMode, reverse: bool) -> CollectionIter[_Item]:
        """Whole-collection iteration; `mode` selects keys, values, or items.

        `mode`: 0 yields keys, 1 documents, any of 2 to 255 `(key, document)` pairs.
        """
    @overload
    def iter_(
        self, mode: SupportsIndex, reverse: bool
    ) -> CollectionIter[Key | Document | _Item]:
        """Whole-collection iteration; `mode` selects keys, values, or items.

        `mode`: 0 yields keys, 1 documents, any of 2 to 255 `(key, document)` pairs.
        """
    @overload
    def range_(self, start: Key | None, stop: Key | None, mode: _KeysMode) -> CollectionIter[Key]:
        """Half-open `[start, stop)` scan; either bound may be `None` for unbounded.

        `mode`: 0 yields keys, 1 documents, any of 2 to 255 `(key, document)` pairs.
        """
    @overload
    def range_(
        self, start: Key | None, stop: Key | None, mode: _DocumentsMode
    ) -> CollectionIter[Document]:
        """Half-open `[start, stop)` scan; either bound may be `None` for unbounded.

        `mode`: 0 yields keys, 1 documents, any of 2 to 255 `(key, document)` pairs.
        """
    @overload
    def range_(
        self, start: Key | None, stop: Key | None, mode: _ItemsMode
    ) -> CollectionIter[_Item]:
        """Half-open `[start, stop)` scan; either bound may be `None` for unbounded.

        `mode`: 0 yields keys, 1 documents, any of 2 to 255 `(key, document)` pairs.
        """
    @overload
    def range_(
        self, start: Key | None, stop: Key | None, mode: SupportsIndex
    ) -> CollectionIter[Key | Document | _Item]:
        """Half-open `[start, stop)` scan; either bound may be `None` for unbounded.

        `mode`: 0 yields keys, 1 documents, any of 2 to 255 `(key, document)` pairs.
        """
    @overload
    def prefix_(self, p: Prefix, mode: _KeysMode) -> CollectionIter[Key]:
        """Every key sharing a prefix: a `str`/`bytes` text prefix, or a tuple of
        leading components.

        `mode`: 0 yields keys, 1 documents, any of 2 to 255 `(key, document)` pairs.
        """
    @overload
    def prefix_(self, p: Prefix, mode: _DocumentsMode) -> CollectionIter[Document]:
        """Every key sharing a prefix: a `str`/`bytes` text prefix, or a tuple of
        leading components.

        `mode`: 0 yields keys, 1 documents, any of 2 to 255 `(key, document)` pairs.
        """
    @overload
    def prefix_(self, p: Prefix, mode: _ItemsMode) -> CollectionIter[_Item]:
        """Every key sharing a prefix: a `str`/`bytes` text prefix, or a tuple of
        leading components.

        `mode`: 0 yields keys, 1 documents, any of 2 to 255 `(key, document)` pairs.
        """
    @overload
    def prefix_(self, p: Prefix, mode: SupportsIndex) -> CollectionIter[Key | Document | _Item]:
        """Every key sharing a prefix: a `str`/`bytes` text prefix, or a tuple of
        leading components.

        `mode`: 0 yields keys, 1 documents, any of 2 to 255 `(key, document)` pairs.
        """
    def first(self) -> _Item | None:
        """The smallest entry, or `None` when the collection is empty or absent."""
    def last(self) -> _Item | None:
        """The largest entry, or `None` when the collection is empty or absent."""

@final
class Database:
    """An open database: one file (or memory) of named collections."""

    def names(self) -> list[str]:
        """The names of the collections, sorted by their UTF-8 bytes."""
    def has(self, name: str) -> bool:
        """Whether the collection exists."""
    def drop(self, name: str) -> None:
        """Drops a collection in its own write transaction; `KeyError` if absent."""
    def collection(self, name: str) -> Collection:
        """The collection `name`; it is created by its first write."""
    def close(self) -> None:
        """Ends the database; later calls raise `Error`, except `collection()`, `close()` and
        iterators taken before it."""

def open(path: str | os.PathLike[str] | None = None, durable: bool = True) -> Database:
    """Opens the database file at `path`, or one in memory when `path` is `None`."""

class Error(Exception):
    """Base Tarnel error."""

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
    def get(self, key: Key) -> Document: ...
    def put(self, key: Key, doc: Document) -> None: ...
    def put_many(self, items: Sequence[tuple[Key, Document]]) -> None: ...
    def delete(self, key: Key) -> None: ...
    def contains(self, key: Key) -> bool: ...
    def len(self) -> int: ...
    @overload
    def iter_(self, mode: _KeysMode, reverse: bool) -> CollectionIter[Key]: ...
    @overload
    def iter_(self, mode: _DocumentsMode, reverse: bool) -> CollectionIter[Document]: ...
    @overload
    def iter_(self, mode: _ItemsMode, reverse: bool) -> CollectionIter[_Item]: ...
    @overload
    def iter_(
        self, mode: SupportsIndex, reverse: bool
    ) -> CollectionIter[Key | Document | _Item]: ...
    @overload
    def range_(self, start: Key | None, stop: Key | None, mode: _KeysMode) -> CollectionIter[Key]: ...
    @overload
    def range_(
        self, start: Key | None, stop: Key | None, mode: _DocumentsMode
    ) -> CollectionIter[Document]: ...
    @overload
    def range_(
        self, start: Key | None, stop: Key | None, mode: _ItemsMode
    ) -> CollectionIter[_Item]: ...
    @overload
    def range_(
        self, start: Key | None, stop: Key | None, mode: SupportsIndex
    ) -> CollectionIter[Key | Document | _Item]: ...
    @overload
    def prefix_(self, p: Prefix, mode: _KeysMode) -> CollectionIter[Key]: ...
    @overload
    def prefix_(self, p: Prefix, mode: _DocumentsMode) -> CollectionIter[Document]: ...
    @overload
    def prefix_(self, p: Prefix, mode: _ItemsMode) -> CollectionIter[_Item]: ...
    @overload
    def prefix_(self, p: Prefix, mode: SupportsIndex) -> CollectionIter[Key | Document | _Item]: ...
    def first(self) -> _Item | None: ...
    def last(self) -> _Item | None: ...

@final
class Database:
    def names(self) -> list[str]: ...
    def has(self, name: str) -> bool: ...
    def drop(self, name: str) -> None: ...
    def collection(self, name: str) -> Collection: ...
    def close(self) -> None: ...

def open(path: str | os.PathLike[str] | None = None, durable: bool = True) -> Database: ...

class Error(Exception):
    """Base Tarnel error."""

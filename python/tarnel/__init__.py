"""tarnel: an embedded document store.

Named collections of documents (``dict`` values stored as BSON) under ordered keys (``int``,
``str``, ``bytes`` or flat tuples of those), kept in one LMDB file or in memory.
"""

from typing import Any, TypeAlias

from tarnel._tarnel import Collection, CollectionIter, Database, Error, open

# A key: an int (signed 64-bit), a str, a bytes, or a flat tuple of those. A scalar and its
# one-element tuple are the same key, which reads back as the scalar.
Key: TypeAlias = int | str | bytes | tuple[int | str | bytes, ...]
# What prefix_ takes: a text prefix (str or bytes) or a tuple of leading key components.
Prefix: TypeAlias = str | bytes | tuple[int | str | bytes, ...]
# A document: a dict with str field names, written as BSON and read back as a new dict.
Document: TypeAlias = dict[str, Any]

__all__ = ["Database", "Collection", "CollectionIter", "open", "Error", "Key", "Prefix", "Document"]

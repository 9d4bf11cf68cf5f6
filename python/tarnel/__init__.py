"""tarnel: an embedded document store.

Named collections of documents (``dict`` values stored as BSON) under ordered keys (``int``,
``str``, ``bytes`` or flat tuples of those), kept in one LMDB file or in memory.
"""

from tarnel._tarnel import Collection, CollectionIter, Database, Error, open

__all__ = ["Database", "Collection", "CollectionIter", "open", "Error"]

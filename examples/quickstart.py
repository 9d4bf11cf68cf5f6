"""A short tour of tarnel: a database in one file, collections of documents under ordered keys."""

import datetime
import os
import tempfile

import tarnel

path = os.path.join(tempfile.mkdtemp(), "tour.db")
db = tarnel.open(path)

# A collection is an ordered map from keys to documents (dicts stored as BSON).
users = db.collection("users")
users.put(1, {"name": "Ada", "joined": datetime.datetime(2024, 5, 1, 12, 30), "tags": ["admin"]})
users.put_many([(2, {"name": "Grace"}), (3, {"name": "Linus"}), (4, {"name": "Barbara"})])
print("get(1):", users.get(1))
users.delete(3)
print("len:", users.len(), "contains(3):", users.contains(3))

# Keys may be tuples; they sort part by part (ints before strs before bytes).
events = db.collection("events")
events.put_many([((2024, "login", i), {"n": i}) for i in range(3)])
events.put_many([((2025, "logout", i), {"n": i}) for i in range(2)])
print("prefix (2024,):", list(events.prefix_((2024,), 0)))
print("range [(2024, 'login', 1), (2025,)):", list(events.range_((2024, "login", 1), (2025,), 0)))
print("first:", events.first())
print("last:", events.last())
print("keys, largest first:", list(users.iter_(0, True)))

print("names:", db.names())
db.drop("events")
print("after drop:", db.names(), db.has("events"))
db.close()

# Reopen: everything committed is there.
db = tarnel.open(path)
print("reopened, users:", list(db.collection("users").iter_(2, False)))
db.close()

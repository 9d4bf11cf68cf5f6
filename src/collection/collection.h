// Collection: a named table of a store, and every engine operation its Python methods need.
//
// The operations take key bytes (keys/keys.h) and document bytes (doc/doc.h), never Python
// objects, and return a Status; bytes they find are views into the read snapshot that found them
// and live as long as it does. Nothing here touches the interpreter, except that a write
// releases its lock while it waits for the writer slot and while it commits (store/store.h).
//
// Stored keys are the key bytes, except for the empty key: LMDB refuses zero-length keys, so the
// empty key () is stored as the single byte 0x00, which no other key can produce (every other
// key begins with a tag 0x01-0x03) and which sorts before them all.
//
// A collection that does not exist reads as empty: point reads find nothing, scans yield nothing,
// and only put and put_many create its table.
#ifndef TARNEL_COLLECTION_COLLECTION_H_
#define TARNEL_COLLECTION_COLLECTION_H_

#include <lmdb.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "error/status.h"
#include "store/store.h"

namespace tarnel::collection {

// An open read-only table: the snapshot and the table's handle in it.
struct ReadTable {
  store::ReadTxn txn;
  MDB_dbi dbi = 0;
};

// One stored entry: views into the snapshot that found it. `key` is the key bytes (not the
// stored key).
struct Entry {
  std::string_view key;
  std::string_view doc;
};

// What a scan covers: [lower, upper) in key bytes, each side optional.
struct Bounds {
  bool has_lower = false;
  std::string lower;  // key bytes, included
  bool has_upper = false;
  std::string upper;  // key bytes, excluded
};

// A walk over one range of one table, in a read snapshot it owns (a pooled read transaction of
// the environment and a cursor), never a share of the engine: it outlives Database.close() and
// keeps yielding its snapshot. Ending the Scan gives the snapshot back.
// REQUIRES: its owner serialises the calls (the iterator's step lock).
class Scan {
 public:
  Scan(Scan&& o) noexcept;
  Scan& operator=(Scan&&) = delete;
  ~Scan();

  // The next entry in the walk's direction; *found = false once the walk has left the bounds.
  // The entry's bytes stay valid until the Scan ends. In a process forked after the database was
  // opened it fails with store::kForked and touches nothing.
  Status next(Entry* out, bool* found);
  // The next step finds the entry this step found once more (its Python objects could not be
  // made: memory ran out), instead of moving on.
  void again() { again_ = true; }

 private:
  friend class Collection;
  Scan(ReadTable* table, Bounds bounds, bool reverse);
  int position(MDB_val* k, MDB_val* v);
  bool inside(const MDB_val& k) const;

  store::ReadTxn txn_;
  MDB_cursor* cursor_ = nullptr;
  Bounds bounds_;
  bool reverse_;
  bool started_ = false;
  bool again_ = false;
};

class Collection {
 public:
  Collection(std::string name, std::shared_ptr<store::Store> store)
      : name_(std::move(name)), store_(std::move(store)) {}

  const std::string& name() const { return name_; }
  // The largest document the engine can store (store::Store::max_value_size).
  size_t max_doc_size() const { return store_->max_value_size(); }

  // The document stored under `key`: *found, and then *doc, valid while *snap lives.
  Status get(std::string_view key, ReadTable* snap, std::string_view* doc, bool* found) const;
  Status contains(std::string_view key, bool* found) const;
  // The number of entries (0 for an absent collection).
  Status len(std::uint64_t* n) const;

  // Upserts in one write transaction of their own; put_many writes all its items or none, and
  // an empty put_many begins no transaction.
  Status put(std::string_view key, std::string_view doc) const;
  Status put_many(const std::vector<std::pair<std::string, std::string>>& items) const;
  // Deletes `key`; *found = false when there was nothing to delete.
  Status del(std::string_view key, bool* found) const;

  // The smallest (first) or largest (last) entry, valid while *snap lives; *found = false when
  // the collection is empty or absent.
  Status first(ReadTable* snap, Entry* out, bool* found) const;
  Status last(ReadTable* snap, Entry* out, bool* found) const;

  // A Scan over `bounds`, or nothing (*out left empty) when the collection is absent or the
  // bounds hold no key: no snapshot is kept for those.
  Status scan(Bounds bounds, bool reverse, std::optional<Scan>* out) const;

 private:
  // A snapshot of the table; *present = false when the collection does not exist (no error).
  Status read(ReadTable* out, bool* present) const;
  Status end_entry(MDB_cursor_op op, ReadTable* snap, Entry* out, bool* found) const;
  // Runs `f(txn, dbi)` (returning Status) in a write transaction of its own on the table
  // (created when absent if `create`), then commits. With !create and no table, *present =
  // false and nothing is committed. Defined in collection.cc, its one user.
  template <class F>
  Status write(bool create, bool* present, F&& f) const;

  std::string name_;
  std::shared_ptr<store::Store> store_;
};

}  // namespace tarnel::collection

#endif  // TARNEL_COLLECTION_COLLECTION_H_

#include "collection/collection.h"

#include <algorithm>
#include <cstring>

namespace tarnel::collection {
namespace {

MDB_val stored_key(std::string_view key_bytes) {
  static const char kEmpty = '\0';
  if (key_bytes.empty()) return MDB_val{1, const_cast<char*>(&kEmpty)};
  return MDB_val{key_bytes.size(), const_cast<char*>(key_bytes.data())};
}

// The key bytes of a stored key (the inverse of stored_key).
std::string_view key_bytes_of(const MDB_val& k) {
  if (k.mv_size == 1 && *static_cast<const char*>(k.mv_data) == '\0') return {};
  return {static_cast<const char*>(k.mv_data), k.mv_size};
}

std::string_view bytes_of(const MDB_val& v) {
  return {static_cast<const char*>(v.mv_data), v.mv_size};
}

Status put_one(MDB_txn* txn, MDB_dbi dbi, std::string_view key, std::string_view doc) {
  MDB_val k = stored_key(key);
  MDB_val v{doc.size(), const_cast<char*>(doc.data())};
  int rc = mdb_put(txn, dbi, &k, &v, 0);
  return rc == 0 ? Status() : store::storage_error(rc);
}

int compare(const MDB_val& a, std::string_view b) {
  size_t n = std::min(a.mv_size, b.size());
  int c = n == 0 ? 0 : std::memcmp(a.mv_data, b.data(), n);
  if (c != 0) return c;
  return a.mv_size < b.size() ? -1 : a.mv_size > b.size() ? 1 : 0;
}

}  // namespace

// ---- reads -----------------------------------------------------------------------------------

Status Collection::read(ReadTable* out, bool* present) const {
  std::shared_ptr<store::Engine> engine;
  Status s = store_->engine(&engine);
  if (!s.ok()) return s;
  // The handle is looked up before the snapshot begins, so the snapshot knows it.
  auto dbi = engine->env()->lookup(name_);
  if (!dbi) {
    *present = false;
    return Status();
  }
  MDB_txn* txn = nullptr;
  int rc = engine->env()->acquire_read(&txn);
  if (rc != 0) return store::storage_error(rc);
  out->txn = store::ReadTxn(engine->env(), txn);
  out->dbi = *dbi;
  *present = true;
  return Status();
}

Status Collection::get(std::string_view key, ReadTable* snap, std::string_view* doc,
                       bool* found) const {
  *found = false;
  bool present;
  Status s = read(snap, &present);
  if (!s.ok() || !present || key.size() > store::kMaxKeyBytes) return s;
  MDB_val k = stored_key(key), v;
  int rc = mdb_get(snap->txn.get(), snap->dbi, &k, &v);
  if (rc == MDB_NOTFOUND) return Status();
  if (rc != 0) return store::storage_error(rc);
  *doc = bytes_of(v);
  *found = true;
  return Status();
}

Status Collection::contains(std::string_view key, bool* found) const {
  ReadTable snap;
  std::string_view doc;
  return get(key, &snap, &doc, found);
}

Status Collection::len(std::uint64_t* n) const {
  *n = 0;
  ReadTable t;
  bool present;
  Status s = read(&t, &present);
  if (!s.ok() || !present) return s;
  MDB_stat st;
  int rc = mdb_stat(t.txn.get(), t.dbi, &st);
  if (rc != 0) return store::storage_error(rc);
  *n = st.ms_entries;
  return Status();
}

Status Collection::end_entry(MDB_cursor_op op, ReadTable* snap, Entry* out, bool* found) const {
  *found = false;
  bool present;
  Status s = read(snap, &present);
  if (!s.ok() || !present) return s;
  MDB_cursor* cur = nullptr;
  int rc = mdb_cursor_open(snap->txn.get(), snap->dbi, &cur);
  if (rc != 0) return store::storage_error(rc);
  MDB_val k, v;
  rc = mdb_cursor_get(cur, &k, &v, op);
  // What the cursor found stays valid after it closes, until the snapshot ends.
  mdb_cursor_close(cur);
  if (rc == MDB_NOTFOUND) return Status();
  if (rc != 0) return store::storage_error(rc);
  *out = Entry{key_bytes_of(k), bytes_of(v)};
  *found = true;
  return Status();
}

Status Collection::first(ReadTable* snap, Entry* out, bool* found) const {
  return end_entry(MDB_FIRST, snap, out, found);
}

Status Collection::last(ReadTable* snap, Entry* out, bool* found) const {
  return end_entry(MDB_LAST, snap, out, found);
}

// ---- writes ----------------------------------------------------------------------------------

template <class F>
Status Collection::write(bool create, bool* present, F&& f) const {
  store::WriteTxn txn;
  Status s = store_->begin_write(&txn);
  if (!s.ok()) return s;
  MDB_dbi dbi;
  s = txn.open_table(name_, create, &dbi, present);
  if (!s.ok() || !*present) return s;  // rolled back by txn's destructor
  s = f(txn.get(), dbi);
  if (!s.ok()) return s;
  return txn.commit();
}

// The key length is checked inside the transaction, where the engine itself would refuse the
// key: a closed database or a failed begin is reported before a key that is too long, and a
// too-long key anywhere in put_many rolls back the whole batch.
Status Collection::put(std::string_view key, std::string_view doc) const {
  bool present;
  return write(true, &present, [&](MDB_txn* txn, MDB_dbi dbi) {
    if (key.size() > store::kMaxKeyBytes) return store::too_long("key", key.size());
    return put_one(txn, dbi, key, doc);
  });
}

Status Collection::put_many(const std::vector<std::pair<std::string, std::string>>& items) const {
  if (items.empty()) return Status();
  bool present;
  return write(true, &present, [&](MDB_txn* txn, MDB_dbi dbi) {
    for (const auto& [key, doc] : items) {
      if (key.size() > store::kMaxKeyBytes) return store::too_long("key", key.size());
      Status s = put_one(txn, dbi, key, doc);
      if (!s.ok()) return s;
    }
    return Status();
  });
}

Status Collection::del(std::string_view key, bool* found) const {
  *found = false;
  // An absent collection is answered from a snapshot, without a write transaction: that would
  // wait for the writer slot behind every other writer just to find nothing to delete.
  {
    ReadTable t;
    bool present;
    Status s = read(&t, &present);
    if (!s.ok() || !present) return s;
  }
  bool present;
  // The table is looked for again inside the write transaction: one dropped meanwhile by another
  // thread is not created again.
  return write(false, &present, [&](MDB_txn* txn, MDB_dbi dbi) {
    if (key.size() > store::kMaxKeyBytes) return Status();
    MDB_val k = stored_key(key);
    int rc = mdb_del(txn, dbi, &k, nullptr);
    if (rc == MDB_NOTFOUND) return Status();
    if (rc != 0) return store::storage_error(rc);
    *found = true;
    return Status();
  });
}

// ---- scans -----------------------------------------------------------------------------------

Status Collection::scan(Bounds bounds, bool reverse, std::optional<Scan>* out) const {
  ReadTable t;
  bool present;
  Status s = read(&t, &present);
  if (!s.ok() || !present) return s;
  // An upper bound at or below the lower one selects nothing.
  if (bounds.has_upper &&
      (bounds.upper.empty() || (bounds.has_lower && bounds.lower.compare(bounds.upper) >= 0))) {
    return Status();
  }
  MDB_dbi dbi = t.dbi;
  Scan scan(&t, std::move(bounds), reverse);
  int rc = mdb_cursor_open(scan.txn_.get(), dbi, &scan.cursor_);
  if (rc != 0) return store::storage_error(rc);
  out->emplace(std::move(scan));
  return Status();
}

Scan::Scan(ReadTable* table, Bounds bounds, bool reverse)
    : txn_(std::move(table->txn)), bounds_(std::move(bounds)), reverse_(reverse) {}

Scan::Scan(Scan&& o) noexcept
    : txn_(std::move(o.txn_)),
      cursor_(std::exchange(o.cursor_, nullptr)),
      bounds_(std::move(o.bounds_)),
      reverse_(o.reverse_),
      started_(o.started_),
      again_(o.again_) {}

Scan::~Scan() {
  if (cursor_ != nullptr && !txn_.env()->forked()) mdb_cursor_close(cursor_);
}

int Scan::position(MDB_val* k, MDB_val* v) {
  if (!reverse_) {
    if (!bounds_.has_lower || bounds_.lower.empty()) {
      return mdb_cursor_get(cursor_, k, v, MDB_FIRST);
    }
    // A bound longer than the engine's key limit is positioned on its first bytes, then what
    // sorts below the bound is skipped.
    MDB_val at = stored_key(bounds_.lower);
    if (at.mv_size > store::kMaxKeyBytes) at.mv_size = store::kMaxKeyBytes;
    *k = at;
    int rc = mdb_cursor_get(cursor_, k, v, MDB_SET_RANGE);
    while (rc == 0 && compare(*k, bounds_.lower) < 0) rc = mdb_cursor_get(cursor_, k, v, MDB_NEXT);
    return rc;
  }
  if (!bounds_.has_upper) return mdb_cursor_get(cursor_, k, v, MDB_LAST);
  if (bounds_.upper.empty()) return MDB_NOTFOUND;
  MDB_val at = stored_key(bounds_.upper);
  if (at.mv_size > store::kMaxKeyBytes) at.mv_size = store::kMaxKeyBytes;
  *k = at;
  int rc = mdb_cursor_get(cursor_, k, v, MDB_SET_RANGE);
  if (rc == MDB_NOTFOUND) return mdb_cursor_get(cursor_, k, v, MDB_LAST);
  while (rc == 0 && compare(*k, bounds_.upper) >= 0) rc = mdb_cursor_get(cursor_, k, v, MDB_PREV);
  return rc;
}

// Whether the stored key `k` lies inside the bounds on the side the walk moves to. Stored keys
// compare with key bytes as their keys do: the one stored key that differs from its key bytes,
// 0x00 for the empty key, sorts below every non-empty key bytes, as the empty key does.
bool Scan::inside(const MDB_val& k) const {
  if (!reverse_) return !bounds_.has_upper || compare(k, bounds_.upper) < 0;
  return !bounds_.has_lower || compare(k, bounds_.lower) >= 0;
}

Status Scan::next(Entry* out, bool* found) {
  if (txn_.env()->forked()) return Status::error(store::kForked);
  MDB_val k, v;
  const MDB_cursor_op step = std::exchange(again_, false) ? MDB_GET_CURRENT
                             : reverse_                   ? MDB_PREV
                                                          : MDB_NEXT;
  int rc = started_ ? mdb_cursor_get(cursor_, &k, &v, step) : position(&k, &v);
  if (rc == 0 && !inside(k)) rc = MDB_NOTFOUND;
  if (rc == MDB_NOTFOUND) {
    *found = false;
    return Status();
  }
  if (rc != 0) return store::storage_error(rc);
  started_ = true;
  *out = Entry{key_bytes_of(k), bytes_of(v)};
  *found = true;
  return Status();
}

}  // namespace tarnel::collection

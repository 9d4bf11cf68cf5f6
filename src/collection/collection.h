// Collection: a named table of a store, and the shared read and write roads of its methods.
//
// Stored keys are the key bytes of the key encoding, except for the empty key: LMDB refuses
// zero-length keys, so the empty key () is stored as the single byte 0x00, which no other key
// can produce (every other key begins with a tag 0x01-0x03) and which sorts before them all.
#ifndef TARNEL_COLLECTION_COLLECTION_H_
#define TARNEL_COLLECTION_COLLECTION_H_

#include <lmdb.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "error/status.h"
#include "store/store.h"

namespace tarnel::collection {

// LMDB's key size limit (mdb_env_get_maxkeysize of the library we build on).
inline constexpr size_t kMaxKeyBytes = 511;

inline MDB_val stored_key(std::string_view key_bytes) {
  static const char kEmpty = '\0';
  if (key_bytes.empty()) return MDB_val{1, const_cast<char*>(&kEmpty)};
  return MDB_val{key_bytes.size(), const_cast<char*>(key_bytes.data())};
}
// The key bytes of a stored key (the inverse of stored_key).
inline std::string_view key_bytes_of(const MDB_val& k) {
  if (k.mv_size == 1 && *static_cast<const char*>(k.mv_data) == '\0') return {};
  return {static_cast<const char*>(k.mv_data), k.mv_size};
}

// An open read-only table: the snapshot and the table's handle in it.
struct ReadTable {
  store::ReadTxn txn;
  MDB_dbi dbi = 0;
};

class Collection {
 public:
  Collection(std::string name, std::shared_ptr<store::Store> store)
      : name_(std::move(name)), store_(std::move(store)) {}

  const std::string& name() const { return name_; }
  const std::shared_ptr<store::Store>& store() const { return store_; }

  // A snapshot of the table; *present = false when the collection does not exist (no error).
  Status read(ReadTable* out, bool* present) const;

  // Runs `f(txn, dbi)` in a write transaction of its own on the table (created when absent if
  // `create`), then commits. With !create and no table, *present = false and nothing is
  // committed. `f` returns an LMDB code.
  template <class F>
  Status write(bool create, bool* present, F&& f) const {
    store::WriteTxn txn;
    Status s = store_->begin_write(&txn);
    if (!s.ok()) return s;
    MDB_dbi dbi;
    s = txn.open_table(name_, create, &dbi, present);
    if (!s.ok() || !*present) return s;  // rolled back by txn's destructor
    s = f(txn.get(), dbi);
    if (!s.ok()) return s;
    return store::Store::commit_detached(&txn);
  }

 private:
  std::string name_;
  std::shared_ptr<store::Store> store_;
};

// "key of {n} bytes is longer than the engine's limit of 511 bytes", as tarnel.Error.
Status key_too_long(size_t n);

}  // namespace tarnel::collection

#endif  // TARNEL_COLLECTION_COLLECTION_H_

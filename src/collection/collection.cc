#include "collection/collection.h"

namespace tarnel::collection {

Status Collection::read(ReadTable* out, bool* present) const {
  std::shared_ptr<store::Engine> engine;
  Status s = store_->database(&engine);
  if (!s.ok()) return s;
  // The handle is looked up before the snapshot begins, so the snapshot knows it.
  auto dbi = engine->env()->lookup(name_);
  if (!dbi) {
    *present = false;
    return Status();
  }
  MDB_txn* txn = nullptr;
  int rc = engine->env()->acquire_read(&txn);
  if (rc != 0) return error::storage(rc);
  out->txn = store::ReadTxn(engine->env(), txn);
  out->dbi = *dbi;
  *present = true;
  return Status();
}

Status key_too_long(size_t n) {
  return Status::error("key of " + std::to_string(n) + " bytes is longer than the engine's limit of " +
                       std::to_string(kMaxKeyBytes) + " bytes");
}

}  // namespace tarnel::collection

#include "store/store.h"

#include <algorithm>

#include "py/gil.h"

namespace tarnel::store {
namespace {

// Gives the writer slot back for a thread that the interpreter's end stops (py::Unlocked).
void abort_txn(void* txn) { mdb_txn_abort(static_cast<MDB_txn*>(txn)); }

// A table's name is a key of the engine's main table, so the key size limit bounds it. A longer
// name can name no table: reads find none, creating one is refused.
constexpr size_t kMaxNameBytes = 511;

// Opens table `name` again after a transaction that dropped it did not commit: the engine closed
// its handle at the drop, but the table is still there.
void reopen_tables(const std::shared_ptr<Env>& env, const std::vector<std::string>& names) {
  MDB_txn* txn = nullptr;
  int rc;
  {
    py::Unlocked unlocked;
    rc = mdb_txn_begin(env->get(), nullptr, 0, &txn);
    if (rc == 0) unlocked.on_end(&abort_txn, txn);
  }
  if (rc != 0) return;
  std::vector<std::pair<std::string, MDB_dbi>> found;
  for (const std::string& name : names) {
    MDB_dbi dbi;
    if (mdb_dbi_open(txn, name.c_str(), 0, &dbi) == 0) found.emplace_back(name, dbi);
  }
  {
    py::Unlocked unlocked;
    rc = mdb_txn_commit(txn);
  }
  if (rc != 0) return;
  for (auto& [name, dbi] : found) env->publish(name, dbi);
}

}  // namespace

// ---- Engine ----------------------------------------------------------------------------------

Engine::Engine(std::shared_ptr<Env> env, bool durable)
    : env_(std::move(env)), durable_(durable) {
  env_->set_nosync(!durable_);
}

Engine::~Engine() {
  // The end of the engine database. Failures here are reported to nobody.
  if (env_->forked()) return;
  if (!durable_ && env_->is_file()) mdb_env_sync(env_->get(), 1);
  // The file's locks go with the Env, when no iterator holds it any more.
  env_->release();
}

// ---- WriteTxn --------------------------------------------------------------------------------

WriteTxn& WriteTxn::operator=(WriteTxn&& o) noexcept {
  if (this != &o) {
    abort();
    engine_ = std::move(o.engine_);
    txn_ = std::exchange(o.txn_, nullptr);
    created_ = std::move(o.created_);
    dropped_ = std::move(o.dropped_);
  }
  return *this;
}

WriteTxn::~WriteTxn() { abort(); }

void WriteTxn::abort() {
  if (txn_ == nullptr) return;
  if (engine_->env()->forked()) {  // a transaction of the parent's, inherited mid-write
    txn_ = nullptr;
    return;
  }
  mdb_txn_abort(std::exchange(txn_, nullptr));
  created_.clear();
  if (!dropped_.empty()) {
    for (const std::string& name : dropped_) engine_->env()->withdraw(name);
    reopen_tables(engine_->env(), dropped_);
    dropped_.clear();
  }
  engine_.reset();
}

Status WriteTxn::open_table(std::string_view name, bool create, MDB_dbi* dbi, bool* found) {
  const std::shared_ptr<Env>& env = engine_->env();
  if (auto known = env->lookup(name)) {
    *dbi = *known;
    *found = true;
    return Status();
  }
  for (auto& [n, d] : created_) {
    if (n == name) {
      *dbi = d;
      *found = true;
      return Status();
    }
  }
  // Every table of the last commit is published, so a miss means the table does not exist.
  if (!create) {
    *found = false;
    return Status();
  }
  if (name.size() > kMaxNameBytes) {
    return Status::error("collection name of " + std::to_string(name.size()) +
                         " bytes is longer than the engine's limit of " +
                         std::to_string(kMaxNameBytes) + " bytes");
  }
  std::string cname(name);
  int rc = mdb_dbi_open(txn_, cname.c_str(), MDB_CREATE, dbi);
  if (rc != 0) return error::storage(rc);
  created_.emplace_back(std::move(cname), *dbi);
  *found = true;
  return Status();
}

Status WriteTxn::drop_table(std::string_view name, bool* found) {
  MDB_dbi dbi;
  Status s = open_table(name, false, &dbi, found);
  if (!s.ok() || !*found) return s;
  // mdb_drop closes the handle at once. No reader uses it meanwhile: readers take handles from
  // the map with the interpreter lock held, as this call does, and the commit holds the map
  // still until the name is withdrawn.
  dropped_.emplace_back(name);
  int rc = mdb_drop(txn_, dbi, 1);
  if (rc != 0) return error::storage(rc);
  return Status();
}

// ---- Store -----------------------------------------------------------------------------------

Status Store::file(const std::string& path, bool durable, std::shared_ptr<Store>* out) {
  if (path.find('\0') != std::string::npos) {
    return Status::error("I/O error: file name contained an unexpected NUL byte");
  }
  std::shared_ptr<Env> env;
  Status s = Env::open_file(path, &env);
  if (!s.ok()) return s;
  *out = std::make_shared<Store>(std::make_shared<Engine>(std::move(env), durable));
  return Status();
}

Status Store::memory(bool durable, std::shared_ptr<Store>* out) {
  std::shared_ptr<Env> env;
  Status s = Env::open_memory(&env);
  if (!s.ok()) return s;
  *out = std::make_shared<Store>(std::make_shared<Engine>(std::move(env), durable));
  return Status();
}

Status Store::database(std::shared_ptr<Engine>* out) {
  PoisonLock lock(mu_, "db poisoned");
  if (!db_) return Status::error(std::string(error::kClosed));
  if (db_->env()->forked()) return Status::error(kForked);
  *out = db_;
  return Status();
}

Status Store::begin_read(ReadTxn* out) {
  std::shared_ptr<Engine> engine;
  Status s = database(&engine);
  if (!s.ok()) return s;
  MDB_txn* txn = nullptr;
  int rc = engine->env()->acquire_read(&txn);
  if (rc != 0) return error::storage(rc);
  *out = ReadTxn(engine->env(), txn);
  return Status();
}

Status Store::begin_write(WriteTxn* out) {
  std::shared_ptr<Engine> engine;
  Status s = database(&engine);
  if (!s.ok()) return s;
  return begin_write_on(std::move(engine), out);
}

Status Store::begin_write_on(std::shared_ptr<Engine> engine, WriteTxn* out) {
  MDB_txn* txn = nullptr;
  int rc;
  {
    py::Unlocked unlocked;
    rc = mdb_txn_begin(engine->env()->get(), nullptr, 0, &txn);
    if (rc != 0) engine.reset();  // may run the engine's end: it needs no Python
    if (rc == 0) unlocked.on_end(&abort_txn, txn);
  }
  if (rc != 0) return error::storage(rc);
  out->abort();
  out->engine_ = std::move(engine);
  out->txn_ = txn;
  return Status();
}

Status Store::commit_detached(WriteTxn* txn) {
  std::shared_ptr<Engine> engine = std::move(txn->engine_);
  Env& env = *engine->env();
  bool tables_change = !txn->created_.empty() || !txn->dropped_.empty();
  std::unique_lock<std::mutex> tables;
  // Lookups of other threads wait from here until the map agrees with the commit.
  if (tables_change) tables = env.lock_tables();
  int rc;
  {
    py::Unlocked unlocked;
    rc = mdb_txn_commit(std::exchange(txn->txn_, nullptr));
    if (tables_change) {
      if (rc == 0) {
        for (auto& [name, dbi] : txn->created_) env.publish_locked(name, dbi);
      }
      for (const std::string& name : txn->dropped_) env.withdraw_locked(name);
      tables.unlock();
    }
  }
  txn->created_.clear();
  if (rc != 0) {
    // The tables a failed drop closed are still there: open them again.
    if (!txn->dropped_.empty()) reopen_tables(engine->env(), txn->dropped_);
    txn->dropped_.clear();
    return error::storage(rc);
  }
  txn->dropped_.clear();
  return Status();
}

Status Store::names(std::vector<std::string>* out) {
  ReadTxn txn;
  Status s = begin_read(&txn);
  if (!s.ok()) return s;
  MDB_dbi main_dbi;
  int rc = mdb_dbi_open(txn.get(), nullptr, 0, &main_dbi);
  MDB_cursor* cur = nullptr;
  if (rc == 0) rc = mdb_cursor_open(txn.get(), main_dbi, &cur);
  if (rc != 0) return error::storage(rc);
  MDB_val k, v;
  int r = mdb_cursor_get(cur, &k, &v, MDB_FIRST);
  while (r == 0) {
    out->emplace_back(static_cast<const char*>(k.mv_data), k.mv_size);
    r = mdb_cursor_get(cur, &k, &v, MDB_NEXT);
  }
  mdb_cursor_close(cur);
  if (r != MDB_NOTFOUND) return error::storage(r);
  std::stable_sort(out->begin(), out->end());
  return Status();
}

void Store::close() {
  std::shared_ptr<Engine> taken;
  PoisonLock lock(mu_, "db poisoned");
  taken = std::move(db_);
  taken.reset();  // the engine's end runs here when no call holds a share
}

}  // namespace tarnel::store

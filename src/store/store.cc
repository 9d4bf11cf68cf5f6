#include "store/store.h"

#include <new>

#include "py/gil.h"

namespace tarnel::store {
namespace {

// A write transaction begun and not yet committed, rolled back when it goes: also when the
// interpreter's end stops the thread as it takes the interpreter lock back (py/gil.h).
struct Begun {
  MDB_txn* txn = nullptr;
  ~Begun() {
    if (txn != nullptr) mdb_txn_abort(txn);
  }
};

// Opens the tables of a drop that did not commit again: the engine closed their handles at the
// drop, but the tables are still there. Their entries in the map are hidden meanwhile. Nothing
// here allocates but the engine's copy of each name: where memory runs out there too, that table
// stays hidden on this handle (reads find nothing; a write opens it again).
void reopen_tables(Env& env, Env::Tables* tables) {
  Begun begun;
  int rc;
  {
    py::Unlocked unlocked;
    rc = mdb_txn_begin(env.get(), nullptr, 0, &begun.txn);
  }
  if (rc != 0) return;
  for (auto& [name, dbi] : *tables) {
    if (mdb_dbi_open(begun.txn, name.c_str(), 0, &dbi) != 0) dbi = Env::kHidden;
  }
  {
    // Opening handles writes nothing: the commit only makes them the environment's.
    py::Unlocked unlocked;
    rc = mdb_txn_commit(std::exchange(begun.txn, nullptr));
  }
  if (rc != 0) return;
  for (const auto& [name, dbi] : *tables) env.publish(name, dbi);
}

}  // namespace

// ---- Engine ----------------------------------------------------------------------------------

void Engine::attach(std::shared_ptr<Env> env) noexcept {
  env_ = std::move(env);
  env_->set_nosync(!durable_);
}

Engine::~Engine() {
  // The end of the engine database. Failures here are reported to nobody.
  if (env_ == nullptr || env_->forked()) return;
  if (!durable_ && env_->is_file()) mdb_env_sync(env_->get(), 1);
  // The file's locks go with the Env, when no iterator holds it any more.
  env_->release();
}

// ---- WriteTxn --------------------------------------------------------------------------------

WriteTxn::~WriteTxn() { abort(); }

void WriteTxn::abort() {
  if (txn_ == nullptr) return;
  if (engine_->env()->forked()) {  // a transaction of the parent's, inherited mid-write
    txn_ = nullptr;
    return;
  }
  mdb_txn_abort(std::exchange(txn_, nullptr));
  Env& env = *engine_->env();
  if (!created_.empty() || !dropped_.empty()) {
    env.lock_tables();
    env.settle_locked(created_, dropped_, false);
    env.unlock_tables();
  }
  created_.clear();
  if (!dropped_.empty()) {
    reopen_tables(env, &dropped_);
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
  for (const auto& [n, d] : created_) {
    if (n == name && d != Env::kHidden) {
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
  // A table's name is a key of the main table: a longer name can name no table (reads find
  // none), and creating one is refused.
  if (name.size() > kMaxKeyBytes) return too_long("collection name", name.size());
  // What allocates comes first: once the table is made, its handle is known here and its entry
  // in the map is ready for the commit.
  created_.emplace_back(std::string(name), Env::kHidden);
  env->reserve_table(name);
  int rc = mdb_dbi_open(txn_, created_.back().first.c_str(), MDB_CREATE, dbi);
  if (rc != 0) return storage_error(rc);  // the transaction is rolled back, the entry forgotten
  created_.back().second = *dbi;
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
  dropped_.emplace_back(std::string(name), dbi);
  int rc = mdb_drop(txn_, dbi, 1);
  if (rc != 0) {
    abort();
    return storage_error(rc);
  }
  return Status();
}

Status WriteTxn::commit() {
  std::shared_ptr<Engine> engine = std::move(engine_);
  Env& env = *engine->env();
  MDB_txn* txn = std::exchange(txn_, nullptr);
  int rc;
  if (created_.empty() && dropped_.empty()) {
    py::Unlocked unlocked;
    rc = mdb_txn_commit(txn);
  } else {
    // Lookups of other threads wait from here until the map agrees with the commit. Nothing
    // here allocates: what a commit that is in the file needs of the map was made beforehand.
    env.lock_tables();
    py::Unlocked unlocked;
    rc = mdb_txn_commit(txn);
    env.settle_locked(created_, dropped_, rc == 0);
    env.unlock_tables();
  }
  created_.clear();
  if (rc != 0) {
    // The tables a failed drop closed are still there: open them again.
    if (!dropped_.empty()) reopen_tables(env, &dropped_);
    dropped_.clear();
    return storage_error(rc);
  }
  dropped_.clear();
  return Status();
}

// ---- Store -----------------------------------------------------------------------------------

Status Store::file(const std::string& path, bool durable, std::shared_ptr<Store>* out) {
  if (path.find('\0') != std::string::npos) {
    return Status::error("I/O error: file name contained an unexpected NUL byte");
  }
  return open(durable, &Env::open_file, path, out);
}

Status Store::memory(bool durable, std::shared_ptr<Store>* out) {
  return open(
      durable, [](const std::string&, std::shared_ptr<Env>* env) { return Env::open_memory(env); },
      std::string(), out);
}

Status Store::open(bool durable, Status (*open_env)(const std::string&, std::shared_ptr<Env>*),
                   const std::string& path, std::shared_ptr<Store>* out) {
  auto engine = std::make_shared<Engine>(durable);
  auto store = std::make_shared<Store>(engine);
  std::shared_ptr<Env> env;
  Status s = open_env(path, &env);
  if (!s.ok()) return s;
  store->max_value_size_ = env->max_value_size();
  engine->attach(std::move(env));
  *out = std::move(store);
  return Status();
}

Status Store::engine(std::shared_ptr<Engine>* out) {
  {
    // The error is made after the mutex: memory running out while it is held would poison it.
    PoisonLock lock(mu_, "db poisoned");
    *out = engine_;
  }
  if (!*out) return Status::error(std::string(error::kClosed));
  if ((*out)->env()->forked()) {
    out->reset();  // a forked child never ends the parent's engine: ~Engine leaves it alone
    return Status::error(kForked);
  }
  return Status();
}

Status Store::begin_write(WriteTxn* out) {
  std::shared_ptr<Engine> share;
  Status s = engine(&share);
  if (!s.ok()) return s;
  out->abort();
  int rc;
  {
    py::Unlocked unlocked;
    MDB_txn* txn = nullptr;
    rc = mdb_txn_begin(share->env()->get(), nullptr, 0, &txn);
    if (rc == 0) {
      // `out` owns it before the lock is asked for back: if the interpreter's end stops this
      // thread there, the unwind rolls it back and the writer slot is free again.
      out->engine_ = std::move(share);
      out->txn_ = txn;
    } else {
      share.reset();  // may run the engine's end: it needs no Python
    }
  }
  if (rc != 0) return storage_error(rc);
  return Status();
}

Status Store::names(std::vector<std::string>* out) {
  std::shared_ptr<Engine> share;
  Status s = engine(&share);
  if (!s.ok()) return s;
  *out = share->env()->table_names();
  return Status();
}

Status Store::drop(std::string_view name, bool* found) {
  WriteTxn txn;
  Status s = begin_write(&txn);
  if (!s.ok()) return s;
  s = txn.drop_table(name, found);
  if (!s.ok() || !*found) return s;  // nothing dropped: rolled back by txn's destructor
  return txn.commit();
}

Status Store::has(std::string_view name, bool* found) {
  std::shared_ptr<Engine> share;
  Status s = engine(&share);
  if (!s.ok()) return s;
  *found = share->env()->lookup(name).has_value();
  return Status();
}

void Store::close() {
  std::shared_ptr<Engine> taken;
  {
    PoisonLock lock(mu_, "db poisoned");
    taken = std::move(engine_);
  }
  // The engine's end runs here, outside the mutex, unless a call in progress still holds a
  // share: then it runs when that call lets go.
}

}  // namespace tarnel::store

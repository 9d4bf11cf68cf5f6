// Store: the one owner of the engine database behind a Database and its Collections.
//
// Ownership: a Store is shared (std::shared_ptr) by the Database object and every Collection
// taken from it. It holds the engine database (`Engine`) behind a mutex until close(). A call in
// progress takes its own share of the Engine for as long as it needs it (a write, from its begin
// to its commit), so close() never waits for a writer and the engine's end - a final sync for a
// non-durable store, then the release of its claim on the Env - runs in whichever thread lets go
// last. It needs no Python and never waits for the writer slot.
//
// Iterators hold only the Env (the map and their own snapshot), never the Engine: they outlive
// close() and keep yielding their snapshot, and the file stays locked against other processes
// until the last of them lets go.
//
// The interpreter lock is released only while a write transaction begins (the wait for the
// writer slot) and while it commits (py/gil.h); the store needs the lock held at those points.
#ifndef TARNEL_STORE_STORE_H_
#define TARNEL_STORE_STORE_H_

#include <lmdb.h>

#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "error/fault.h"
#include "error/status.h"
#include "store/env.h"

namespace tarnel::store {

// The engine database: an Env it claims (a file's Env holds the file's locks).
class Engine {
 public:
  // An engine database whose environment comes later (attach): it is made before the open, so
  // that no allocation can fail between an open that changed files and the Store that keeps it.
  explicit Engine(bool durable) : durable_(durable) {}
  void attach(std::shared_ptr<Env> env) noexcept;
  ~Engine();  // the engine's end
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;
  const std::shared_ptr<Env>& env() const { return env_; }

 private:
  std::shared_ptr<Env> env_;
  bool durable_;
};

// A read snapshot. Move-only; returns its transaction to the env's pool when it goes.
class ReadTxn {
 public:
  ReadTxn() = default;
  ReadTxn(std::shared_ptr<Env> env, MDB_txn* txn) : env_(std::move(env)), txn_(txn) {}
  ReadTxn(ReadTxn&& o) noexcept : env_(std::move(o.env_)), txn_(std::exchange(o.txn_, nullptr)) {}
  ReadTxn& operator=(ReadTxn&& o) noexcept {
    if (this != &o) {
      reset();
      env_ = std::move(o.env_);
      txn_ = std::exchange(o.txn_, nullptr);
    }
    return *this;
  }
  ~ReadTxn() { reset(); }
  void reset() {
    if (txn_ != nullptr) env_->release_read(std::exchange(txn_, nullptr));
    env_.reset();
  }
  MDB_txn* get() const { return txn_; }
  const std::shared_ptr<Env>& env() const { return env_; }

 private:
  std::shared_ptr<Env> env_;
  MDB_txn* txn_ = nullptr;
};

// A write transaction. Holds a share of the engine from its begin to its end; aborted (rolled
// back) when it goes uncommitted. Tables it creates or drops are published or withdrawn only
// when it commits.
//
// Rolling back a drop opens the dropped table again in a write transaction of its own, which
// releases the interpreter lock while it begins and commits: so a WriteTxn that dropped a table
// ends in commit() or in drop_table()'s own failure, both with the interpreter lock held, never
// in its destructor (taking the lock back may end the thread, py/gil.h, and a destructor may
// not throw that on).
class WriteTxn {
 public:
  WriteTxn() = default;
  WriteTxn(WriteTxn&& o) noexcept = default;
  WriteTxn& operator=(WriteTxn&&) = delete;
  ~WriteTxn();

  MDB_txn* get() const { return txn_; }
  // Commits with the interpreter lock released; the transaction is over either way.
  // REQUIRES: the interpreter lock is held.
  Status commit();
  // The handle of table `name`; when it does not exist, creates it if `create`, else answers
  // *found = false.
  Status open_table(std::string_view name, bool create, MDB_dbi* dbi, bool* found);
  // Deletes table `name`; *found = false when there is none. A failure rolls the whole
  // transaction back. REQUIRES: the interpreter lock is held.
  Status drop_table(std::string_view name, bool* found);

 private:
  friend class Store;
  void abort();

  std::shared_ptr<Engine> engine_;
  MDB_txn* txn_ = nullptr;
  Env::Tables created_;
  // Their handles are closed already (mdb_drop does that); opened again where the drop fails.
  Env::Tables dropped_;
};

class Store {
 public:
  static Status file(const std::string& path, bool durable, std::shared_ptr<Store>* out);
  static Status memory(bool durable, std::shared_ptr<Store>* out);
  // `durable` lives in the engine: LMDB's sync setting belongs to the environment.
  explicit Store(std::shared_ptr<Engine> engine) : engine_(std::move(engine)) {}

  // The engine's limit on a document's size (Env::max_value_size); known after close() too.
  size_t max_value_size() const { return max_value_size_; }

  // A share of the engine, or "database is closed" (after close()), or the forked-process error.
  Status engine(std::shared_ptr<Engine>* out) EXCLUDES(mu_);
  // Begins with the interpreter lock released (waits for the writer slot).
  // REQUIRES: the interpreter lock is held.
  Status begin_write(WriteTxn* out) EXCLUDES(mu_);
  // Names of all collections, sorted by their bytes; whether collection `name` exists. Both
  // answer from the table map (Env::table_names), as every operation on a collection does.
  Status names(std::vector<std::string>* out) EXCLUDES(mu_);
  // Drops collection `name` in a write transaction of its own; *found = false (and nothing
  // written) when there is none. The transaction has ended when it returns.
  // REQUIRES: the interpreter lock is held.
  Status drop(std::string_view name, bool* found) EXCLUDES(mu_);
  Status has(std::string_view name, bool* found) EXCLUDES(mu_);
  // Clears the store's share of the engine; never fails; idempotent.
  void close() EXCLUDES(mu_);

 private:
  // Opens the environment with `open_env` into a Store made beforehand.
  static Status open(bool durable, Status (*open_env)(const std::string&, std::shared_ptr<Env>*),
                     const std::string& path, std::shared_ptr<Store>* out);

  size_t max_value_size_ = 0;  // set once, before the Store is shared
  PoisonMutex mu_;
  std::shared_ptr<Engine> engine_ GUARDED_BY(mu_);
};

}  // namespace tarnel::store

#endif  // TARNEL_STORE_STORE_H_

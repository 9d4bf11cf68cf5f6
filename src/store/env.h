// Env: one LMDB environment, shared by the engine database that opened it and by every live
// iterator that reads one of its snapshots.
//
// Thread rules and invariants:
//  - One environment per file and one file per lock file: a file environment holds an exclusive
//    flock on the data file and on its -lock file (on descriptors of its own) from its open to
//    its end, so no other process, and no other environment of this process, opens either while
//    anything of it lives (its engine database, or an iterator that outlived close()). LMDB's
//    own record locks on the -lock file cannot say this: they belong to the process, and closing
//    any descriptor of the file drops them all.
//  - File environments are kept in a process-wide registry keyed by device and inode, under one
//    mutex: a new open of a file whose environment only iterators still hold reuses it, and an
//    environment leaves the registry only when it has closed, under that mutex, so two
//    environments of one file never coexist in this process.
//  - DBI handles are opened in exactly two places: when an environment is opened (every table
//    then in the file) and inside write transactions (new tables; the writer slot serialises
//    them). Readers never call mdb_dbi_open, so they never race the writer on the environment's
//    tables.
//  - The name -> DBI map holds only handles whose table exists in the last commit: a handle is
//    published when its creating transaction commits and withdrawn when the drop commits; lookups
//    wait while such a commit runs, so the map and the last commit always agree.
//  - Read transactions come from a small pool of reset transactions (renewing one costs far less
//    than beginning one).
#ifndef TARNEL_STORE_ENV_H_
#define TARNEL_STORE_ENV_H_

#include <lmdb.h>

#include <sys/types.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "error/status.h"

namespace tarnel::store {

class Env {
 public:
  // Opens the environment of the file at `path` for an engine database, or reuses this
  // process's environment of that file while only iterators of a closed database hold it.
  // Refuses a file (or -lock file) that another engine database or another process holds. A
  // failed open leaves every file as it found it.
  static Status open_file(const std::string& path, std::shared_ptr<Env>* out);
  // A private environment on an unlinked file in /dev/shm (else $TMPDIR).
  static Status open_memory(std::shared_ptr<Env>* out);
  // Ends the engine database's claim on a file environment: a new open may reuse it.
  void release() { claimed_.store(false); }
  bool is_file() const { return file_; }
  ~Env();
  Env(const Env&) = delete;
  Env& operator=(const Env&) = delete;

  MDB_env* get() const { return env_; }

  // True in a child process forked after the environment was opened. LMDB environments do not
  // survive fork(): the child must not use this one, and must not even release it (releasing a
  // read transaction writes to the reader table it shares with the parent).
  bool forked() const;

  // The published handle of table `name`, if the table exists.
  std::optional<MDB_dbi> lookup(std::string_view name);
  void publish(std::string_view name, MDB_dbi dbi);
  void withdraw(std::string_view name);
  // Holds the table map still, for a commit that creates or drops tables: lookups wait until the
  // commit and the map agree again. Taken with the interpreter lock held by the one writer (no
  // holder of it waits for that lock), and released before the writer takes that lock back.
  std::unique_lock<std::mutex> lock_tables() { return std::unique_lock(tables_mu_); }
  // publish / withdraw while lock_tables() is held.
  void publish_locked(std::string_view name, MDB_dbi dbi);
  void withdraw_locked(std::string_view name);

  // A read transaction from the pool (renewed) or a new one. Returns an LMDB code.
  int acquire_read(MDB_txn** out);
  // Resets `txn` and keeps it for reuse (or aborts it when the pool is full).
  void release_read(MDB_txn* txn);

  // The largest value (document) the engine can write to this file, in bytes. A value too big
  // for a page goes on a run of overflow pages: a page header, then the value, rounded up to
  // whole pages of the file's page size. The commit writes that run with one pwrite(), and Linux
  // writes at most INT_MAX rounded down to the system's page size per call (2,147,479,552 bytes
  // with 4 KiB pages); the engine takes the short write for an I/O error. With 4 KiB pages the
  // limit is 2,147,479,552 - 16 = 2,147,479,536 bytes.
  size_t max_value_size() const { return max_value_size_; }

  // Sets MDB_NOSYNC on or off (per engine database: only one is open on an env at a time).
  void set_nosync(bool on) { mdb_env_set_flags(env_, MDB_NOSYNC, on ? 1 : 0); }

 private:
  explicit Env(MDB_env* env);
  // The fork() handler of a child process (see env.cc).
  static void on_fork_child();
  // The file environment of this process that uses the -lock file `dev`, `ino`, if any.
  // REQUIRES: the registry's mutex is held.
  static Env* lock_owner(dev_t dev, ino_t ino);
  // Reads the table map from the last commit.
  Status open_tables();

  MDB_env* env_;
  std::mutex tables_mu_;
  std::mutex pool_mu_;
  struct NameHash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
  };
  std::unordered_map<std::string, MDB_dbi, NameHash, std::equal_to<>> tables_;  // guarded by tables_mu_
  std::vector<MDB_txn*> pool_;  // guarded by pool_mu_
  unsigned fork_generation_;
  size_t max_value_size_;
  // File environments only. The descriptors and the registry fields are guarded by the
  // registry's mutex.
  bool file_ = false;
  std::atomic<bool> claimed_{false};  // an engine database holds it
  dev_t dev_ = 0;
  ino_t ino_ = 0;
  dev_t lock_dev_ = 0;
  ino_t lock_ino_ = 0;
  int data_fd_ = -1;  // holds the flock on the data file
  int lock_fd_ = -1;  // holds the flock on the -lock file
  // Descriptors of the -lock file that refused opens left: closing one would drop this
  // environment's record locks, so they are closed after it.
  std::vector<int> spare_fds_;
};

// The text of the error a forked child gets for a database its parent opened.
inline constexpr const char kForked[] =
    "database was opened before this process forked; open it again in this process";

// Limits the engine sets, stated in the README.
inline constexpr size_t kMapSize = size_t{1} << 40;        // 1 TiB of address space per file
inline constexpr size_t kMemoryMapSize = size_t{1} << 38;  // 256 GiB for in-memory databases
// Where that much address space cannot be reserved, the map is halved down to this.
inline constexpr size_t kMinMapSize = size_t{1} << 30;
inline constexpr unsigned kMaxTables = 4096;
inline constexpr unsigned kMaxReaders = 8192;

}  // namespace tarnel::store

#endif  // TARNEL_STORE_ENV_H_

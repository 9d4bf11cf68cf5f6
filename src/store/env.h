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
//    wait while such a commit runs, so the map and the last commit always agree. A table being
//    created has a hidden entry from its creation on (reserve_table), so that its publication at
//    the commit allocates nothing and cannot fail once the commit is in the file; a dropped table
//    whose drop did not commit is hidden until its handle is opened again.
//  - Read transactions come from a small pool of reset transactions (renewing one costs far less
//    than beginning one).
#ifndef TARNEL_STORE_ENV_H_
#define TARNEL_STORE_ENV_H_

#include <lmdb.h>

#include <sys/stat.h>
#include <sys/types.h>

#include <array>
#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "error/status.h"
#include "error/mutex.h"

namespace tarnel::store {

// Guards the process-wide registry of file environments (env.cc) and the registry's fields of
// each Env.
extern Mutex g_registry_mu;

// How many fork()s this process descends from since tarnel first opened a database. An object
// that remembers the count at its making was made before a fork when the count has changed.
unsigned fork_generation();

// An engine failure as tarnel.Error. `rc` is an LMDB return code or an errno value: errno values
// read "I/O error: {strerror} (os error {n})", LMDB's own codes keep the library's text.
Status storage_error(int rc);
// "{strerror} (os error {n})": the text of errno value `e` in storage_error().
std::string os_error_text(int e);

// The text of the error for a file (or -lock file) that a database already holds.
inline constexpr const char kLocked[] = "Database already open. Cannot acquire lock.";

// "{what} of {n} bytes is longer than the engine's limit of 511 bytes", as tarnel.Error: a key
// or a table name over kMaxKeyBytes.
Status too_long(const char* what, size_t n);

class Env {
 public:
  // Opens the environment of the file at `path` for an engine database, or reuses this
  // process's environment of that file while only iterators of a closed database hold it.
  // Refuses a file (or -lock file) that another engine database or another process holds. A
  // failed open leaves every file as it found it.
  static Status open_file(const std::string& path, std::shared_ptr<Env>* out);
  // A private environment on two files of no name in the first of /dev/shm, $TMPDIR and /tmp
  // where they can be made and LMDB's open of them works.
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
  std::optional<MDB_dbi> lookup(std::string_view name) EXCLUDES(tables_mu_);
  // The names of the tables of the last commit, sorted by their bytes. The table map is read
  // from the file at open, by the one walk of the main table (open_tables), which keeps only
  // keys that are tables: a plain key another program wrote there names no collection.
  std::vector<std::string> table_names() EXCLUDES(tables_mu_);
  // A handle that is no open table's: an entry of the map that holds it is hidden from lookups.
  static constexpr MDB_dbi kHidden = ~MDB_dbi{0};
  // Makes the hidden entry of a table the writer creates: lookups do not see it until it is
  // published. May throw std::bad_alloc (before anything is committed).
  void reserve_table(std::string_view name) EXCLUDES(tables_mu_);
  // Publishes the handle of a table that exists in the last commit (kHidden: hides it).
  // Allocates only where its entry is gone; where memory then runs out, the table stays
  // unpublished.
  void publish(std::string_view name, MDB_dbi dbi) noexcept EXCLUDES(tables_mu_);
  // Holds the table map still, for a commit that creates or drops tables: lookups wait until the
  // commit and the map agree again. Taken with the interpreter lock held by the one writer (no
  // holder of it waits for that lock), and released before the writer takes that lock back.
  void lock_tables() ACQUIRE(tables_mu_) { tables_mu_.lock(); }
  void unlock_tables() RELEASE(tables_mu_) { tables_mu_.unlock(); }
  // Brings the map in line with the end of a write transaction that created the tables
  // `created` and dropped the tables `dropped` (name, handle): where it committed, the created
  // ones are published and the dropped ones withdrawn; else the created ones are forgotten and
  // the dropped ones, whose handles the drop closed, hidden until publish() shows them again.
  // Allocates nothing.
  using Tables = std::vector<std::pair<std::string, MDB_dbi>>;
  void settle_locked(const Tables& created, const Tables& dropped, bool committed) noexcept
      REQUIRES(tables_mu_);

  // A read transaction from the pool (renewed) or a new one. Returns an LMDB code.
  int acquire_read(MDB_txn** out) EXCLUDES(pool_mu_);
  // Resets `txn` and keeps it for reuse (or aborts it when the pool is full). Never allocates.
  void release_read(MDB_txn* txn) noexcept EXCLUDES(pool_mu_);

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
  // A new environment that owns `raw`; `raw` is closed where it cannot be made.
  static std::shared_ptr<Env> adopt(MDB_env* raw);
  // The fork() handler of a child process (see env.cc).
  static void on_fork_child();
  // One try of open_file(), with the registry's mutex held. It starts over where a file it
  // locked has no name left, or the data file of this process's environment it would reuse has
  // lost its name: it sets *again then, and returns nothing else. An environment of this process
  // that it looked at without handing it out goes to `passed`, which the caller releases after
  // the registry's mutex (a file environment's end takes it), also where an allocation fails.
  // One that it made and did not hand out ends inside it, before the files are put back: it is
  // no file environment of the registry yet, and its end takes no mutex.
  static Status open_once(const std::string& path, MutexLock* registry_lock,
                          std::shared_ptr<Env>* passed, bool* again, std::shared_ptr<Env>* out)
      REQUIRES(g_registry_mu);
  // The file environment of this process that uses the -lock file `dev`, `ino`, if any.
  static Env* lock_owner(dev_t dev, ino_t ino) REQUIRES(g_registry_mu);
  // Whether `st` is the -lock file of a file environment of this process.
  static bool holds_lock_file(const struct stat& st) REQUIRES(g_registry_mu);
  // Gives the pooled read transactions back, then closes the environment.
  void close_env() EXCLUDES(pool_mu_);
  // Reads the table map from the last commit.
  Status open_tables() EXCLUDES(tables_mu_);

  MDB_env* env_;
  Mutex tables_mu_;
  Mutex pool_mu_;
  struct NameHash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
  };
  std::unordered_map<std::string, MDB_dbi, NameHash, std::equal_to<>> tables_
      GUARDED_BY(tables_mu_);
  // Reset read transactions kept for reuse. Point reads run with the interpreter lock held, so a
  // process needs few at a time beyond its iterators' snapshots, which come back as iterators
  // end. A pooled transaction keeps its reader slot (kMaxReaders), so the pool stays small. Its
  // room is part of the Env: a read that ends never allocates, so running out of memory cannot
  // stop it.
  static constexpr size_t kPoolSize = 16;
  std::array<MDB_txn*, kPoolSize> pool_ GUARDED_BY(pool_mu_) = {};
  size_t pooled_ GUARDED_BY(pool_mu_) = 0;
  unsigned fork_generation_;
  size_t max_value_size_;
  // File environments only. `file_` is set before the Env is shared and never changes.
  bool file_ = false;
  std::atomic<bool> claimed_{false};  // an engine database holds it
  dev_t dev_ GUARDED_BY(g_registry_mu) = 0;
  ino_t ino_ GUARDED_BY(g_registry_mu) = 0;
  dev_t lock_dev_ GUARDED_BY(g_registry_mu) = 0;
  ino_t lock_ino_ GUARDED_BY(g_registry_mu) = 0;
  int data_fd_ GUARDED_BY(g_registry_mu) = -1;  // holds the flock on the data file
  int lock_fd_ GUARDED_BY(g_registry_mu) = -1;  // holds the flock on the -lock file
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
// LMDB's key size limit. Keys and table names (keys of the main table) longer than this are
// never stored: reads find nothing under them, writes fail with too_long().
inline constexpr size_t kMaxKeyBytes = 511;
// Every live iterator holds a reader slot for its snapshot as long as it lives, and a full slot
// table refuses every read, so programs that keep many iterators need many slots. A slot costs
// 64 bytes of the -lock file: 8192 of them make about 512 KiB, allocated at open.
inline constexpr unsigned kMaxReaders = 8192;

}  // namespace tarnel::store

#endif  // TARNEL_STORE_ENV_H_

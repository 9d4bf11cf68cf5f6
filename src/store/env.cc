#include "store/env.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "store/open_files.h"

namespace tarnel::store {
namespace {

// Process-wide registry of file environments, by device and inode of the data file. An entry
// stays until its environment has closed (`env` has expired by then, `raw` has not).
struct Entry {
  std::weak_ptr<Env> env;
  Env* raw;
};
std::condition_variable_any g_registry_cv;  // an entry left the registry
std::map<std::pair<dev_t, ino_t>, Entry>& registry() REQUIRES(g_registry_mu) {
  static auto* r = new std::map<std::pair<dev_t, ino_t>, Entry>();
  return *r;
}

// Counts the fork()s this process descends from; an Env remembers the count it was opened under.
std::atomic<unsigned> g_fork_generation{0};
std::once_flag g_atfork_once;
// The registry is still across fork(), so the child finds it whole. The mutex is held from
// before the fork to after it, which the lock analysis cannot follow.
void on_fork_prepare() NO_THREAD_SAFETY_ANALYSIS { g_registry_mu.lock(); }
void on_fork_parent() NO_THREAD_SAFETY_ANALYSIS { g_registry_mu.unlock(); }

constexpr unsigned kEnvFlags = MDB_NOSUBDIR | MDB_NOTLS;

// The engine's page header (page number, two 16-bit fields, a 32-bit page count), which precedes
// a value on its first overflow page.
constexpr size_t kPageHeader = sizeof(size_t) + 8;

// See Env::max_value_size.
size_t value_limit(MDB_env* env) {
  MDB_stat st;
  long os_page = sysconf(_SC_PAGESIZE);
  // Unknown page sizes (never seen): the BSON limit stands alone.
  if (mdb_env_stat(env, &st) != 0 || st.ms_psize == 0 || os_page <= 0) return SIZE_MAX;
  const size_t max_write = static_cast<size_t>(INT_MAX) & ~(static_cast<size_t>(os_page) - 1);
  return max_write / st.ms_psize * st.ms_psize - kPageHeader;
}

// Creates and opens an environment on `path`. While the address space for the map cannot be
// reserved (ENOMEM), tries again with half the map, down to kMinMapSize. *rc is the failure's
// LMDB code or errno.
Status open_env(const std::string& path, size_t map_size, mdb_mode_t mode, MDB_env** out,
                int* rc) {
  for (;; map_size /= 2) {
    MDB_env* env = nullptr;
    if ((*rc = mdb_env_create(&env)) != 0) return storage_error(*rc);
    if ((*rc = mdb_env_set_mapsize(env, map_size)) == 0 &&
        (*rc = mdb_env_set_maxdbs(env, kMaxTables)) == 0 &&
        (*rc = mdb_env_set_maxreaders(env, kMaxReaders)) == 0 &&
        (*rc = mdb_env_open(env, path.c_str(), kEnvFlags, mode)) == 0) {
      *out = env;
      return Status();
    }
    mdb_env_close(env);
    if (*rc != ENOMEM) return storage_error(*rc);
    if (map_size <= kMinMapSize) {
      return Status::error(storage_error(*rc).message() +
                           ": could not reserve even 1 GiB of address space to map the database");
    }
  }
}

// A file shorter than its last commit (an interrupted copy, a truncation) would end the process
// with SIGBUS at the first read of a page past its end, since the map is larger than the file.
// Every page a commit refers to lies at or below its last page, and a healthy file holds them
// all (pages are written before the commit that refers to them), so such a file is refused.
// `fs` is what fstat() gives for LMDB's descriptor of the file.
Status check_length(MDB_env* env, const struct stat& fs) {
  MDB_envinfo info;
  MDB_stat st;
  if (mdb_env_info(env, &info) != 0 || mdb_env_stat(env, &st) != 0) return Status();
  uint64_t need = (uint64_t{info.me_last_pgno} + 1) * st.ms_psize;
  uint64_t have = static_cast<uint64_t>(fs.st_size);
  if (have >= need) return Status();
  return Status::error("database file is cut short: " + std::to_string(have) +
                       " bytes, its last commit needs " + std::to_string(need));
}

// Opens the environment through `name` (open_env) on the files `data` and `lock`, then makes sure
// that LMDB's own descriptor is `data`: the folder of links is the open's own only while no
// other process's sweep takes it for a stale one (clocks that disagree, an open stalled for
// minutes), and a sweep removes what LMDB would open next. (LMDB's second open of the data file,
// for its commit records, creates nothing: it fails where the link has gone.) Then the file must
// hold its last commit (check_length) and what LMDB added to the -lock file is allocated. *rc is
// LMDB's code or errno where open_env failed.
Status open_env_on(const std::string& name, const HeldFile& data, const HeldFile& lock,
                   size_t map_size, mdb_mode_t mode, MDB_env** out, int* rc) {
  MDB_env* env = nullptr;
  Status s = open_env(name, map_size, mode, &env, rc);
  if (!s.ok()) return s;
  std::unique_ptr<MDB_env, void (*)(MDB_env*)> closing(env, mdb_env_close);  // until it is out
  mdb_filehandle_t fd;
  struct stat fs;
  if (mdb_env_get_fd(env, &fd) != 0 || fstat(fd, &fs) != 0 || !same_file(fs, data.st)) {
    s = Status::error("LMDB reached another file than the one the open holds: the folder of "
                      "links was changed while LMDB opened it");
  } else if (int e = allocate_rest(lock.fd); e != 0) {
    s = storage_error(e);
  } else {
    s = check_length(env, fs);
  }
  if (s.ok()) *out = closing.release();
  return s;
}

// A writer killed after writing its commit's meta page but before recording the commit in the
// lock file leaves the lock file one commit behind the data file. A lone opener rebuilds the
// lock file from the data file, but while another process keeps the environment open, readers
// go on seeing the older commit until the next writer finds the dead writer's lock and moves the
// record forward: a commit that readers did not see would appear later. Taking the writer slot
// once when the two disagree settles it before this environment reads anything.
void settle_last_commit(MDB_env* env) {
  MDB_txn* txn = nullptr;
  if (mdb_txn_begin(env, nullptr, MDB_RDONLY, &txn) != 0) return;
  size_t seen = mdb_txn_id(txn);
  mdb_txn_abort(txn);
  MDB_envinfo info;
  if (mdb_env_info(env, &info) != 0 || info.me_last_txnid <= seen) return;
  if (mdb_txn_begin(env, nullptr, 0, &txn) == 0) mdb_txn_abort(txn);
}

}  // namespace

Mutex g_registry_mu;

Status storage_error(int rc) {
  // LMDB's own codes lie in [MDB_KEYEXIST, MDB_LAST_ERRCODE]; everything else is an errno.
  if (rc >= MDB_KEYEXIST && rc <= MDB_LAST_ERRCODE) {
    return Status::error(mdb_strerror(rc));
  }
  return Status::error("I/O error: " + os_error_text(rc));
}

std::string os_error_text(int e) {
  char buf[256];
  const char* text = strerror_r(e, buf, sizeof buf);  // GNU variant: may return a static string
  return std::string(text) + " (os error " + std::to_string(e) + ")";
}

// In a child process: the parent's file environments stay the parent's. The child's copies of
// the descriptors that hold their flocks are closed (never unlocked: a flock belongs to the open
// file description the child shares with the parent), so the locks are the parent's alone, and
// the child may open those files anew once the parent lets go.
void Env::on_fork_child() NO_THREAD_SAFETY_ANALYSIS {
  g_fork_generation.fetch_add(1, std::memory_order_relaxed);
  for (auto& [key, entry] : registry()) {
    Env* env = entry.raw;
    ::close(env->data_fd_);
    ::close(env->lock_fd_);
    env->data_fd_ = env->lock_fd_ = -1;
  }
  registry().clear();
  g_registry_mu.unlock();
}

Env::Env(MDB_env* env) : env_(env), max_value_size_(value_limit(env)) {
  std::call_once(g_atfork_once,
                 [] { pthread_atfork(&on_fork_prepare, &on_fork_parent, &Env::on_fork_child); });
  fork_generation_ = fork_generation();
}

unsigned fork_generation() { return g_fork_generation.load(std::memory_order_relaxed); }

bool Env::forked() const { return fork_generation_ != fork_generation(); }

Status Env::open_tables() {
  std::unordered_map<std::string, MDB_dbi, NameHash, std::equal_to<>> tables;
  MDB_txn* txn = nullptr;
  int rc = mdb_txn_begin(env_, nullptr, MDB_RDONLY, &txn);
  if (rc != 0) return storage_error(rc);
  MDB_dbi main_dbi;
  rc = mdb_dbi_open(txn, nullptr, 0, &main_dbi);
  MDB_cursor* cur = nullptr;
  if (rc == 0) rc = mdb_cursor_open(txn, main_dbi, &cur);
  std::vector<std::string> names;
  if (rc == 0) {
    MDB_val k, v;
    int r = mdb_cursor_get(cur, &k, &v, MDB_FIRST);
    while (r == 0) {
      names.emplace_back(static_cast<const char*>(k.mv_data), k.mv_size);
      r = mdb_cursor_get(cur, &k, &v, MDB_NEXT);
    }
    if (r != MDB_NOTFOUND) rc = r;
    mdb_cursor_close(cur);
  }
  if (rc == 0) {
    for (const std::string& name : names) {
      MDB_dbi dbi;
      // A key of the main table that is not a table (or holds a NUL) is no collection of ours.
      if (name.find('\0') != std::string::npos) continue;
      int r = mdb_dbi_open(txn, name.c_str(), 0, &dbi);
      if (r == MDB_INCOMPATIBLE) continue;
      if (r != 0) {
        rc = r;
        break;
      }
      tables.emplace(name, dbi);
    }
  }
  if (rc != 0) {
    mdb_txn_abort(txn);
    return storage_error(rc);
  }
  // Committing a read transaction keeps the handles it opened in the environment.
  rc = mdb_txn_commit(txn);
  if (rc != 0) return storage_error(rc);
  MutexLock lock(&tables_mu_);
  tables_ = std::move(tables);
  return Status();
}

Env* Env::lock_owner(dev_t dev, ino_t ino) {
  for (auto& [key, entry] : registry()) {
    if (entry.raw->lock_dev_ == dev && entry.raw->lock_ino_ == ino) return entry.raw;
  }
  return nullptr;
}

bool Env::holds_lock_file(const struct stat& st) {
  return lock_owner(st.st_dev, st.st_ino) != nullptr;
}

std::shared_ptr<Env> Env::adopt(MDB_env* raw) {
  Env* env = new (std::nothrow) Env(raw);
  if (env == nullptr) {
    mdb_env_close(raw);
    throw std::bad_alloc();
  }
  return std::shared_ptr<Env>(env);  // which deletes `env` where its count cannot be made
}

Status too_long(const char* what, size_t n) {
  return Status::error(std::string(what) + " of " + std::to_string(n) +
                       " bytes is longer than the engine's limit of " +
                       std::to_string(kMaxKeyBytes) + " bytes");
}

// How often an open starts over because a file it locked lost its name, before it gives up.
constexpr int kMaxOpenTries = 64;

Status Env::open_file(const std::string& path, std::shared_ptr<Env>* out) {
  for (int tries = 0; tries < kMaxOpenTries; ++tries) {
    std::shared_ptr<Env> passed;  // released after the registry's mutex
    bool again = false;
    Status s;
    {
      MutexLock lock(&g_registry_mu);
      s = open_once(path, &lock, &passed, &again, out);
    }
    if (!again) return s;
  }
  return Status::error("the files of " + path + " lost their names while they were being " +
                       "opened, " + std::to_string(kMaxOpenTries) + " times in a row");
}

// The road of an open: find and lock the files, check them, hand LMDB names that lead to them.
// On every failure `files` puts back what the open changed in the files under its flocks, once
// the environment this try made (`made`, declared after `files`, so it ends first on every way
// out, an exception's included) has closed: LMDB reads its -lock file through its map as it
// closes, and holds the files until then.
Status Env::open_once(const std::string& path, MutexLock* registry_lock,
                      std::shared_ptr<Env>* passed, bool* again, std::shared_ptr<Env>* out) {
  // 1. The data file. A name that leads to the -lock file of an environment of this process is
  // refused without that file being opened for reading and writing: closing such a descriptor
  // would drop the environment's record locks on it. While no environment is open, there is
  // none to refuse and nothing to look at.
  const Refuse refused = registry().empty() ? nullptr : &Env::holds_lock_file;
  FoundFiles files(path);
  if (Status s = files.open_data(refused); !s.ok()) return s;
  const struct stat& st = files.data().st;

  // 2. An environment of this process on that file: reused while only iterators of a closed
  // database hold it, through its own -lock file only. Where its file has lost its name since
  // this open reached it, the open starts over on what the name leads to now.
  for (auto it = refused == nullptr ? registry().end() : registry().find({st.st_dev, st.st_ino});
       it != registry().end(); it = registry().find({st.st_dev, st.st_ino})) {
    std::shared_ptr<Env> found = it->second.env.lock();
    if (!found) {  // its last holder is closing it
      g_registry_cv.wait(*registry_lock);
      continue;
    }
    struct stat ls;
    const bool reusable = !found->claimed_.load() && stat(files.lock_path().c_str(), &ls) == 0 &&
                          ls.st_dev == found->lock_dev_ && ls.st_ino == found->lock_ino_;
    if (reusable && !files.nameless()) {
      found->claimed_.store(true);
      *out = std::move(found);
      return Status();
    }
    *passed = std::move(found);
    *again = reusable;
    return reusable ? Status() : Status::error(kLocked);
  }

  // 3. Both files flocked and checked, the -lock file reached as the data file was.
  if (Status s = files.lock_data(); !s.ok()) return s;
  if (Status s = files.open_lock(refused); !s.ok()) return s;
  const struct stat& ls = files.lock().st;
  if (Status s = files.lock_lock(); !s.ok()) return s;

  // 4. A file that had no name left when its flock was taken is one that a failed open of
  // another process made and removed after this open reached it: start over on what the name
  // leads to now.
  if (files.nameless()) {
    *again = true;
    return Status();
  }

  // 5. LMDB opens the files through names that lead to them alone, whatever becomes of theirs.
  std::shared_ptr<Env> made;
  Status s = open_through_links(
      files, [&](const std::string& name, const HeldFile& data, const HeldFile& lock) {
        MDB_env* raw = nullptr;
        int rc;
        Status o = open_env_on(name, data, lock, kMapSize, 0666, &raw, &rc);
        if (!o.ok()) return o;
        // Slots left by processes that died while reading.
        int dead = 0;
        mdb_reader_check(raw, &dead);
        settle_last_commit(raw);
        made = adopt(raw);
        return Status();
      });
  if (!s.ok()) return s;
  Env* env = made.get();
  if (Status t = env->open_tables(); !t.ok()) return t;
  registry().try_emplace({st.st_dev, st.st_ino}, Entry{made, env});
  env->file_ = true;
  env->claimed_.store(true);
  env->dev_ = st.st_dev;
  env->ino_ = st.st_ino;
  env->lock_dev_ = ls.st_dev;
  env->lock_ino_ = ls.st_ino;
  files.keep(&env->data_fd_, &env->lock_fd_);
  *out = std::move(made);
  return Status();
}

Status Env::open_memory(std::shared_ptr<Env>* out) {
  // Neither file has a name (open_unnamed): LMDB's descriptors keep them, and a process killed
  // meanwhile leaves none behind. No other process can reach the -lock file, so the record locks
  // on it that the open's own descriptor drops as it closes guarded nothing.
  MDB_env* raw = nullptr;
  Status s = open_unnamed(
      [&](const std::string& name, const HeldFile& data, const HeldFile& lock, bool* anywhere) {
        int rc = 0;
        Status o = open_env_on(name, data, lock, kMemoryMapSize, 0600, &raw, &rc);
        *anywhere = rc == ENOMEM;  // the address space for the map: no place has more
        return o;
      });
  if (!s.ok()) return s;
  *out = adopt(raw);
  return Status();
}

Env::~Env() {
  if (forked()) return;  // the parent's: leave it alone
  if (!file_) {
    close_env();
    return;
  }
  // A file environment leaves the registry only once it has closed, and under the registry's
  // mutex, so a new open of its file waits for its end instead of making a second one.
  MutexLock lock(&g_registry_mu);
  close_env();
  // The environment's record locks on the -lock file went with it: its descriptors may go now.
  ::close(lock_fd_);
  ::close(data_fd_);
  registry().erase({dev_, ino_});
  g_registry_cv.notify_all();
}

void Env::close_env() {
  {
    MutexLock lock(&pool_mu_);
    while (pooled_ > 0) mdb_txn_abort(pool_[--pooled_]);
  }
  mdb_env_close(env_);
}

std::optional<MDB_dbi> Env::lookup(std::string_view name) {
  MutexLock lock(&tables_mu_);
  auto it = tables_.find(name);
  if (it == tables_.end() || it->second == kHidden) return std::nullopt;
  return it->second;
}

std::vector<std::string> Env::table_names() {
  std::vector<std::string> names;
  {
    MutexLock lock(&tables_mu_);
    names.reserve(tables_.size());
    for (const auto& [name, dbi] : tables_) {
      if (dbi != kHidden) names.push_back(name);
    }
  }
  std::sort(names.begin(), names.end());
  return names;
}

void Env::reserve_table(std::string_view name) {
  MutexLock lock(&tables_mu_);
  if (tables_.find(name) == tables_.end()) tables_.emplace(std::string(name), kHidden);
}

void Env::publish(std::string_view name, MDB_dbi dbi) noexcept {
  MutexLock lock(&tables_mu_);
  auto it = tables_.find(name);
  if (it != tables_.end()) {
    it->second = dbi;
    return;
  }
  // The entry is gone only where a creation of the same name that did not commit forgot it
  // while a failed drop's tables were being opened again.
  try {
    tables_.emplace(std::string(name), dbi);
  } catch (const std::bad_alloc&) {
  }
}

void Env::settle_locked(const Tables& created, const Tables& dropped, bool committed) noexcept {
  for (const auto& [name, dbi] : created) {
    auto it = tables_.find(name);
    if (it == tables_.end()) continue;
    if (committed) {
      it->second = dbi;
    } else if (it->second == kHidden) {
      tables_.erase(it);
    }
  }
  for (const auto& [name, dbi] : dropped) {
    auto it = tables_.find(name);
    if (it == tables_.end()) continue;
    if (committed) {
      tables_.erase(it);
    } else {
      it->second = kHidden;
    }
  }
}

int Env::acquire_read(MDB_txn** out) {
  MDB_txn* txn = nullptr;
  {
    MutexLock lock(&pool_mu_);
    if (pooled_ > 0) txn = pool_[--pooled_];
  }
  if (txn != nullptr) {
    int rc = mdb_txn_renew(txn);
    if (rc == 0) {
      *out = txn;
      return 0;
    }
    mdb_txn_abort(txn);
  }
  return mdb_txn_begin(env_, nullptr, MDB_RDONLY, out);
}

void Env::release_read(MDB_txn* txn) noexcept {
  if (forked()) return;
  mdb_txn_reset(txn);
  {
    MutexLock lock(&pool_mu_);
    if (pooled_ < kPoolSize) {
      pool_[pooled_++] = txn;
      return;
    }
  }
  mdb_txn_abort(txn);
}

}  // namespace tarnel::store

#include "store/env.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <utility>

namespace tarnel::store {
namespace {

constexpr size_t kPoolSize = 16;

// Process-wide registry of file environments, by device and inode.
std::mutex g_registry_mu;
std::map<std::pair<dev_t, ino_t>, std::weak_ptr<Env>>& registry() {
  static auto* r = new std::map<std::pair<dev_t, ino_t>, std::weak_ptr<Env>>();
  return *r;
}

// Counts the fork()s this process descends from; an Env remembers the count it was opened under.
std::atomic<unsigned> g_fork_generation{0};
void on_fork_child() { g_fork_generation.fetch_add(1, std::memory_order_relaxed); }
std::once_flag g_atfork_once;

constexpr unsigned kEnvFlags = MDB_NOSUBDIR | MDB_NOTLS;

// The engine's page header (page number, two 16-bit fields, a 32-bit page count), which precedes
// a value on its first overflow page.
constexpr size_t kPageHeader = sizeof(size_t) + 8;

// See Env::max_value_size.
size_t value_limit(MDB_env* env) {
  MDB_stat st;
  long os_page = sysconf(_SC_PAGESIZE);
  if (mdb_env_stat(env, &st) != 0 || st.ms_psize == 0 || os_page <= 0) return 0;
  const size_t max_write = static_cast<size_t>(INT_MAX) & ~(static_cast<size_t>(os_page) - 1);
  return max_write / st.ms_psize * st.ms_psize - kPageHeader;
}

int create_env(size_t map_size, MDB_env** out) {
  MDB_env* env = nullptr;
  int rc = mdb_env_create(&env);
  if (rc != 0) return rc;
  if ((rc = mdb_env_set_mapsize(env, map_size)) != 0 ||
      (rc = mdb_env_set_maxdbs(env, kMaxTables)) != 0 ||
      (rc = mdb_env_set_maxreaders(env, kMaxReaders)) != 0) {
    mdb_env_close(env);
    return rc;
  }
  *out = env;
  return 0;
}

// A file shorter than its last commit (an interrupted copy, a truncation) would end the process
// with SIGBUS at the first read of a page past its end, since the map is larger than the file.
// Every page a commit refers to lies at or below its last page, and a healthy file holds them
// all (pages are written before the commit that refers to them), so such a file is refused.
Status check_length(MDB_env* env) {
  MDB_envinfo info;
  MDB_stat st;
  mdb_filehandle_t fd;
  struct stat fs;
  if (mdb_env_info(env, &info) != 0 || mdb_env_stat(env, &st) != 0 ||
      mdb_env_get_fd(env, &fd) != 0 || fstat(fd, &fs) != 0) {
    return Status();
  }
  uint64_t need = (uint64_t{info.me_last_pgno} + 1) * st.ms_psize;
  uint64_t have = static_cast<uint64_t>(fs.st_size);
  if (have >= need) return Status();
  return Status::error("database file is cut short: " + std::to_string(have) +
                       " bytes, its last commit needs " + std::to_string(need));
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

Env::Env(MDB_env* env) : env_(env), max_value_size_(value_limit(env)) {
  std::call_once(g_atfork_once, [] { pthread_atfork(nullptr, nullptr, &on_fork_child); });
  fork_generation_ = g_fork_generation.load(std::memory_order_relaxed);
}

bool Env::forked() const {
  return fork_generation_ != g_fork_generation.load(std::memory_order_relaxed);
}

Status Env::open_tables() {
  std::unordered_map<std::string, MDB_dbi, NameHash, std::equal_to<>> tables;
  MDB_txn* txn = nullptr;
  int rc = mdb_txn_begin(env_, nullptr, MDB_RDONLY, &txn);
  if (rc != 0) return error::storage(rc);
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
    return error::storage(rc);
  }
  // Committing a read transaction keeps the handles it opened in the environment.
  rc = mdb_txn_commit(txn);
  if (rc != 0) return error::storage(rc);
  std::lock_guard lock(tables_mu_);
  tables_ = std::move(tables);
  return Status();
}

Status Env::open_file(const std::string& path, dev_t dev, ino_t ino, std::shared_ptr<Env>* out) {
  std::lock_guard lock(g_registry_mu);
  auto key = std::make_pair(dev, ino);
  auto it = registry().find(key);
  if (it != registry().end()) {
    if (auto env = it->second.lock(); env && !env->forked()) {
      // The environment outlived its last engine (live iterators): another process may have
      // created or dropped tables since, so the table map is read again from the last commit.
      Status s = env->open_tables();
      if (!s.ok()) return s;
      *out = std::move(env);
      return Status();
    }
    registry().erase(it);
  }
  MDB_env* raw = nullptr;
  int rc = create_env(kMapSize, &raw);
  if (rc != 0) return error::storage(rc);
  rc = mdb_env_open(raw, path.c_str(), kEnvFlags, 0666);
  if (rc != 0) {
    mdb_env_close(raw);
    return error::storage(rc);
  }
  if (Status cut = check_length(raw); !cut.ok()) {
    mdb_env_close(raw);
    return cut;
  }
  // Slots left by processes that died while reading.
  int dead = 0;
  mdb_reader_check(raw, &dead);
  settle_last_commit(raw);
  std::shared_ptr<Env> env(new Env(raw));
  Status s = env->open_tables();
  if (!s.ok()) return s;
  env->dev_ = dev;
  env->ino_ = ino;
  env->registered_ = true;
  registry()[key] = env;
  *out = std::move(env);
  return Status();
}

Status Env::open_memory(std::shared_ptr<Env>* out) {
  std::string dir = "/dev/shm";
  struct stat st;
  if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || access(dir.c_str(), W_OK) != 0) {
    const char* tmp = std::getenv("TMPDIR");
    dir = tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
  }
  std::string path = dir + "/tarnel-XXXXXX";
  int fd = mkstemp(path.data());
  if (fd < 0) return error::storage(errno);
  close(fd);
  MDB_env* raw = nullptr;
  int rc = create_env(kMemoryMapSize, &raw);
  if (rc == 0) {
    rc = mdb_env_open(raw, path.c_str(), kEnvFlags, 0600);
    if (rc != 0) mdb_env_close(raw);
  }
  // The env keeps its descriptors; nothing of it stays on disk.
  unlink(path.c_str());
  unlink((path + "-lock").c_str());
  if (rc != 0) return error::storage(rc);
  *out = std::shared_ptr<Env>(new Env(raw));
  return Status();
}

Env::~Env() {
  if (forked()) return;  // the parent's: leave it alone
  if (registered_) {
    std::lock_guard lock(g_registry_mu);
    auto it = registry().find({dev_, ino_});
    if (it != registry().end() && it->second.expired()) registry().erase(it);
  }
  for (MDB_txn* txn : pool_) mdb_txn_abort(txn);
  mdb_env_close(env_);
}

std::optional<MDB_dbi> Env::lookup(std::string_view name) {
  std::lock_guard lock(tables_mu_);
  auto it = tables_.find(name);
  if (it == tables_.end()) return std::nullopt;
  return it->second;
}

void Env::publish(std::string_view name, MDB_dbi dbi) {
  std::lock_guard lock(tables_mu_);
  publish_locked(name, dbi);
}

void Env::publish_locked(std::string_view name, MDB_dbi dbi) {
  auto it = tables_.find(name);
  if (it != tables_.end()) {
    it->second = dbi;
  } else {
    tables_.emplace(std::string(name), dbi);
  }
}

void Env::withdraw(std::string_view name) {
  std::lock_guard lock(tables_mu_);
  withdraw_locked(name);
}

void Env::withdraw_locked(std::string_view name) {
  auto it = tables_.find(name);
  if (it != tables_.end()) tables_.erase(it);
}

int Env::acquire_read(MDB_txn** out) {
  MDB_txn* txn = nullptr;
  {
    std::lock_guard lock(pool_mu_);
    if (!pool_.empty()) {
      txn = pool_.back();
      pool_.pop_back();
    }
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

void Env::release_read(MDB_txn* txn) {
  if (forked()) return;
  mdb_txn_reset(txn);
  {
    std::lock_guard lock(pool_mu_);
    if (pool_.size() < kPoolSize) {
      pool_.push_back(txn);
      return;
    }
  }
  mdb_txn_abort(txn);
}

}  // namespace tarnel::store

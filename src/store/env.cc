#include "store/env.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <mutex>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <string>
#include <utility>

namespace tarnel::store {
namespace {

// Reset read transactions kept for reuse. Point reads run with the interpreter lock held, so a
// process needs few at a time beyond its iterators' snapshots, which come back as iterators
// end. A pooled transaction keeps its reader slot (kMaxReaders), so the pool stays small.
constexpr size_t kPoolSize = 16;

constexpr const char kLocked[] = "Database already open. Cannot acquire lock.";

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

// LMDB's file formats, as far as open checks them: the magic number that begins a lock file
// and the meta page of a data file (after the page header), the data file's version, and the
// page header's flag of a meta page.
constexpr uint32_t kMagic = 0xBEEFC0DE;
constexpr uint32_t kDataVersion = 1;
constexpr uint16_t kMetaPage = 0x08;
// The size LMDB gives a new lock file for kMaxReaders slots: a 192-byte header, then 64 bytes a
// slot (the header's own slot counted). Allocated before LMDB maps it; pages a build of LMDB
// with a larger header adds are allocated right after the open, before any reader uses them.
constexpr off_t kLockBytes = off_t{kMaxReaders - 1} * 64 + 192;

// Allocates the first `len` bytes of the file, so a full disk fails here (ENOSPC) and not at a
// write to the map (SIGBUS). A file system that cannot allocate ahead is left as it is.
int allocate(int fd, off_t len) {
  if (fallocate(fd, 0, 0, len) == 0) return 0;
  int e = errno;
  return e == EOPNOTSUPP || e == ENOSYS ? 0 : e;
}

// The most rounds open_or_create takes on one name: as many links as the kernel follows.
constexpr int kMaxLinks = 40;

// Opens `path` read-write, creating the file when it does not exist; *created names the file it
// created (empty when it created none). When `path` is a dangling symbolic link, or a chain of
// them, the file is created at the chain's end, so *created names that file: removing `path`
// would remove the link and keep the file. Every creation is exclusive (O_EXCL), so the name is
// always one that did not exist before.
int open_or_create(const std::string& path, mode_t mode, std::string* created) {
  created->clear();
  std::string name = path;
  for (int round = 0; round <= kMaxLinks; ++round) {
    int fd = ::open(name.c_str(), O_RDWR | O_CLOEXEC);
    if (fd >= 0 || errno != ENOENT) return fd;
    fd = ::open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd >= 0) {
      *created = name;
      return fd;
    }
    if (errno != EEXIST) return -1;
    // A dangling symbolic link (O_EXCL refuses it): its target is tried next, read relative to
    // the link's directory. Not a link (any more): the name changed meanwhile, tried again.
    char target[PATH_MAX];
    ssize_t n = readlink(name.c_str(), target, sizeof target);
    if (n < 0 && errno != EINVAL && errno != ENOENT) return -1;
    if (n >= static_cast<ssize_t>(sizeof target)) {
      errno = ENAMETOOLONG;
      return -1;
    }
    if (n <= 0) continue;
    size_t slash = name.rfind('/');
    if (target[0] == '/' || slash == std::string::npos) {
      name.assign(target, static_cast<size_t>(n));
    } else {
      name.resize(slash + 1);
      name.append(target, static_cast<size_t>(n));
    }
  }
  errno = ELOOP;
  return -1;
}

// Removes `name`, the file that `fd` has open and that this open created, unless the name has
// meanwhile passed to another file (renamed over, or a directory on the way replaced). Says
// whether it removed it; an empty name was never created.
bool remove_created(const std::string& name, int fd) {
  struct stat mine, now;
  if (name.empty() || fstat(fd, &mine) != 0 || lstat(name.c_str(), &now) != 0 ||
      mine.st_dev != now.st_dev || mine.st_ino != now.st_ino) {
    return false;
  }
  return unlink(name.c_str()) == 0;
}

// An exclusive flock on `fd`: 0, EWOULDBLOCK when another open file description holds it, or
// another errno. A file system without flock counts as locked.
int lock_exclusive(int fd) {
  if (flock(fd, LOCK_EX | LOCK_NB) == 0) return 0;
  int e = errno;
  return e == ENOLCK || e == EOPNOTSUPP || e == ENOSYS ? 0 : e;
}

// LMDB sets up the lock file before it reads the data file, so a data file that is not LMDB's
// is refused here first, with LMDB's own error, and the lock file is never touched for it.
int check_data_file(int fd) {
  unsigned char head[24];
  ssize_t n = pread(fd, head, sizeof head, 0);
  if (n < 0) return errno;
  if (n == 0) return 0;  // a new database
  if (n < static_cast<ssize_t>(sizeof head)) return MDB_INVALID;
  uint16_t flags;
  uint32_t magic, version;
  std::memcpy(&flags, head + 10, sizeof flags);
  std::memcpy(&magic, head + 16, sizeof magic);
  std::memcpy(&version, head + 20, sizeof version);
  if ((flags & kMetaPage) == 0 || magic != kMagic) return MDB_INVALID;
  return version == kDataVersion ? 0 : MDB_VERSION_MISMATCH;
}

// An existing -lock file is used only when LMDB made it (its magic number first) or it holds
// nothing (empty, or zeros only: one whose opener stopped before writing it); *blank says which.
// LMDB would overwrite anything else, which is someone else's file.
Status check_lock_file(int fd, off_t size, const std::string& lock_path, bool* blank) {
  *blank = true;
  if (size == 0) return Status();
  uint32_t magic = 0;
  if (pread(fd, &magic, sizeof magic, 0) == sizeof magic && magic == kMagic) {
    *blank = false;
    return Status();
  }
  if (size <= kLockBytes) {
    std::string bytes(static_cast<size_t>(size), '\1');
    if (pread(fd, bytes.data(), bytes.size(), 0) == size &&
        bytes.find_first_not_of('\0') == std::string::npos) {
      return Status();
    }
  }
  return Status::error("not an LMDB lock file: " + lock_path);
}

// The folder for files of our own that live only while an open runs: /dev/shm, else $TMPDIR,
// else /tmp.
std::string scratch_dir() {
  struct stat st;
  if (stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) && access("/dev/shm", W_OK) == 0) {
    return "/dev/shm";
  }
  const char* tmp = std::getenv("TMPDIR");
  return tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
}

// The folders of HeldNames (below), and how old one must be before an open takes it for one a
// killed process left (an open holds its folder for the moments LMDB's open takes).
constexpr char kHeldPrefix[] = "tarnel-open-";
constexpr time_t kHeldStaleSeconds = 600;

// Removes a folder of HeldNames and its two links.
void remove_held(const std::string& folder) {
  unlink((folder + "/db").c_str());
  unlink((folder + "/db-lock").c_str());
  rmdir(folder.c_str());
}

// Removes the folders of HeldNames that processes of this user killed during an open left in
// `dir`: each holds no more than its two links.
void remove_stale_held(const std::string& dir) {
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return;
  const time_t now = time(nullptr);
  while (const dirent* e = readdir(d)) {
    if (std::strncmp(e->d_name, kHeldPrefix, sizeof kHeldPrefix - 1) != 0) continue;
    std::string folder = dir + "/" + e->d_name;
    struct stat st;
    if (lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != geteuid() ||
        now - st.st_mtime < kHeldStaleSeconds) {
      continue;
    }
    remove_held(folder);
  }
  closedir(d);
}

// Names under which LMDB opens exactly the files an open holds. LMDB opens its files by name:
// the -lock file, then the data file twice (for its pages, and for its commit record), and a
// name may pass to another file between any two of those opens (a symbolic link re-pointed, a
// file renamed over it). Pages would then go to one file and the commit record to another, or
// to a file whose lock another database holds. So LMDB is given links, in a folder of this
// process's own, to /proc/self/fd/N: that names the open file behind descriptor N itself, not a
// path, whatever becomes of the database's names meanwhile.
class HeldNames {
 public:
  HeldNames() = default;
  HeldNames(const HeldNames&) = delete;
  HeldNames& operator=(const HeldNames&) = delete;
  ~HeldNames() {
    if (!dir_.empty()) remove_held(dir_);
  }

  // Makes `data()` and `data()` + "-lock" name the files open on `data_fd` and `lock_fd`, whose
  // fstat() gave `data` and `lock`.
  Status make(int data_fd, const struct stat& data, int lock_fd, const struct stat& lock) {
    for (auto [fd, mine] : {std::pair{data_fd, &data}, std::pair{lock_fd, &lock}}) {
      struct stat seen;
      if (stat(fd_name(fd).c_str(), &seen) != 0 || seen.st_dev != mine->st_dev ||
          seen.st_ino != mine->st_ino) {
        return Status::error(
            "/proc/self/fd does not show this process's open files: a file database needs "
            "/proc mounted");
      }
    }
    const std::string scratch = scratch_dir();
    static std::once_flag swept;  // once a process
    std::call_once(swept, [&] { remove_stale_held(scratch); });
    std::string dir = scratch + "/" + kHeldPrefix + "XXXXXX";
    if (mkdtemp(dir.data()) == nullptr) {
      return Status::error(storage_error(errno).message() + ": cannot make a folder in " +
                           scratch);
    }
    dir_ = std::move(dir);
    data_ = dir_ + "/db";
    if (symlink(fd_name(data_fd).c_str(), data_.c_str()) != 0 ||
        symlink(fd_name(lock_fd).c_str(), (data_ + "-lock").c_str()) != 0) {
      return storage_error(errno);
    }
    return Status();
  }
  const std::string& data() const { return data_; }

 private:
  static std::string fd_name(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

  std::string dir_;
  std::string data_;
};

// Creates and opens an environment on `path`. While the address space for the map cannot be
// reserved (ENOMEM), tries again with half the map, down to kMinMapSize.
Status open_env(const std::string& path, size_t map_size, mdb_mode_t mode, MDB_env** out) {
  for (;; map_size /= 2) {
    MDB_env* env = nullptr;
    int rc = mdb_env_create(&env);
    if (rc != 0) return storage_error(rc);
    if ((rc = mdb_env_set_mapsize(env, map_size)) == 0 &&
        (rc = mdb_env_set_maxdbs(env, kMaxTables)) == 0 &&
        (rc = mdb_env_set_maxreaders(env, kMaxReaders)) == 0 &&
        (rc = mdb_env_open(env, path.c_str(), kEnvFlags, mode)) == 0) {
      *out = env;
      return Status();
    }
    mdb_env_close(env);
    if (rc != ENOMEM) return storage_error(rc);
    if (map_size <= kMinMapSize) {
      return Status::error(storage_error(rc).message() +
                           ": could not reserve even 1 GiB of address space to map the database");
    }
  }
}

// A lock file that LMDB made larger than kLockBytes: its remaining pages are allocated before any
// reader slot on them is used.
int allocate_rest(int lock_fd) {
  struct stat st;
  if (fstat(lock_fd, &st) != 0) return errno;
  return st.st_size > kLockBytes ? allocate(lock_fd, st.st_size) : 0;
}

// What an open of a file environment has made or taken so far. If the open fails, every file
// is put back as it was found: files it created are removed (at the end of a dangling link, the
// link stays), an empty data file is emptied again (LMDB writes its first pages early), and so
// is a created one that could not be removed; a -lock file found gets its size back (we
// allocate it), and one found blank (empty or zeros) is blank again (LMDB writes its header).
// Only files whose flock it holds are changed.
struct Opening {
  std::string path;
  std::string lock_path;
  int data_fd = -1;
  int lock_fd = -1;  // set once its flock is held
  bool data_locked = false;
  std::string data_created;  // the files created, by open_or_create
  std::string lock_created;
  off_t data_size = 0;
  off_t lock_size = -1;  // as the -lock file was found, once it is checked
  bool lock_blank = false;

  ~Opening() {
    if (lock_fd >= 0) {
      if (!remove_created(lock_created, lock_fd) && lock_size >= 0) {
        [[maybe_unused]] int rc = lock_blank ? ftruncate(lock_fd, 0) : 0;
        rc = ftruncate(lock_fd, lock_size);
      }
      ::close(lock_fd);
    }
    if (data_fd >= 0) {
      if (data_locked && !remove_created(data_created, data_fd) && data_size == 0) {
        [[maybe_unused]] int rc = ftruncate(data_fd, 0);
      }
      ::close(data_fd);
    }
  }
};

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

Mutex g_registry_mu;

Status storage_error(int rc) {
  // LMDB's own codes lie in [MDB_KEYEXIST, MDB_LAST_ERRCODE]; everything else is an errno.
  if (rc >= MDB_KEYEXIST && rc <= MDB_LAST_ERRCODE) {
    return Status::error(mdb_strerror(rc));
  }
  char buf[256];
  const char* text = strerror_r(rc, buf, sizeof buf);  // GNU variant: may return a static string
  std::string msg = "I/O error: ";
  msg += text;
  msg += " (os error ";
  msg += std::to_string(rc);
  msg += ')';
  return Status::error(std::move(msg));
}

// In a child process: the parent's file environments stay the parent's. The child's copies of
// the descriptors that hold their flocks are closed (never unlocked: a flock belongs to the open
// file description the child shares with the parent), so the locks are the parent's alone, and
// the child may open those files anew once the parent lets go.
void Env::on_fork_child() NO_THREAD_SAFETY_ANALYSIS {
  g_fork_generation.fetch_add(1, std::memory_order_relaxed);
  for (auto& [key, entry] : registry()) {
    Env* env = entry.raw;
    for (int fd : env->spare_fds_) ::close(fd);
    env->spare_fds_.clear();
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

Status too_long(const char* what, size_t n) {
  return Status::error(std::string(what) + " of " + std::to_string(n) +
                       " bytes is longer than the engine's limit of " +
                       std::to_string(kMaxKeyBytes) + " bytes");
}

Status Env::open_file(const std::string& path, std::shared_ptr<Env>* out) {
  std::shared_ptr<Env> found;  // released after the registry's mutex: an env's end takes it
  MutexLock lock(&g_registry_mu);
  Opening o;
  o.path = path;
  o.lock_path = path + "-lock";
  o.data_fd = open_or_create(path, 0666, &o.data_created);
  if (o.data_fd < 0) return storage_error(errno);
  struct stat st;
  if (fstat(o.data_fd, &st) != 0) return storage_error(errno);
  // The -lock file of an environment of this process, under another name: refused, and the
  // descriptor stays open until that environment ends (closing it would drop its record locks).
  if (Env* owner = lock_owner(st.st_dev, st.st_ino)) {
    owner->spare_fds_.push_back(std::exchange(o.data_fd, -1));
    return Status::error(kLocked);
  }
  auto key = std::make_pair(st.st_dev, st.st_ino);
  for (auto it = registry().find(key); it != registry().end(); it = registry().find(key)) {
    found = it->second.env.lock();
    if (!found) {  // its last holder is closing it
      g_registry_cv.wait(lock);
      continue;
    }
    // Only iterators of a closed database hold it: it is reused, through its own -lock file only.
    struct stat ls;
    if (found->claimed_.load() || stat(o.lock_path.c_str(), &ls) != 0 ||
        ls.st_dev != found->lock_dev_ || ls.st_ino != found->lock_ino_) {
      return Status::error(kLocked);
    }
    found->claimed_.store(true);
    *out = found;
    return Status();
  }
  if (int e = lock_exclusive(o.data_fd); e != 0) {
    return e == EWOULDBLOCK ? Status::error(kLocked) : storage_error(e);
  }
  o.data_locked = true;
  o.data_size = st.st_size;
  if (int rc = check_data_file(o.data_fd); rc != 0) return storage_error(rc);

  // The -lock file: not one that an environment of this process uses (a new file under the
  // name of one that was renamed or replaced). Asked before it is opened, and again after (the
  // name may have changed hands meanwhile): a descriptor of such a file is never closed before
  // that environment, since closing it would drop the environment's record locks.
  struct stat ls;
  if (stat(o.lock_path.c_str(), &ls) == 0 && lock_owner(ls.st_dev, ls.st_ino) != nullptr) {
    return Status::error(kLocked);
  }
  std::string lock_created;
  int lock_fd = open_or_create(o.lock_path, 0666, &lock_created);
  if (lock_fd < 0) return storage_error(errno);
  if (fstat(lock_fd, &ls) != 0) return storage_error(errno);  // (the descriptor stays open)
  if (Env* owner = lock_owner(ls.st_dev, ls.st_ino)) {
    owner->spare_fds_.push_back(lock_fd);
    return Status::error(kLocked);
  }
  if (ls.st_dev == st.st_dev && ls.st_ino == st.st_ino) {  // a link to the data file, say
    ::close(lock_fd);  // no environment of this process uses the data file
    return Status::error("lock file is the database file itself: " + o.lock_path);
  }
  if (int e = lock_exclusive(lock_fd); e != 0) {
    ::close(lock_fd);  // no environment of this process uses it
    return e == EWOULDBLOCK ? Status::error(kLocked) : storage_error(e);
  }
  o.lock_fd = lock_fd;
  o.lock_created = std::move(lock_created);
  if (Status s = check_lock_file(lock_fd, ls.st_size, o.lock_path, &o.lock_blank); !s.ok()) {
    return s;
  }
  o.lock_size = ls.st_size;
  if (int e = allocate(lock_fd, kLockBytes); e != 0) return storage_error(e);

  MDB_env* raw = nullptr;
  {
    HeldNames names;
    Status s = names.make(o.data_fd, st, lock_fd, ls);
    if (s.ok()) s = open_env(names.data(), kMapSize, 0666, &raw);
    if (!s.ok()) return s;
  }  // LMDB keeps its descriptors; the names go
  if (int e = allocate_rest(lock_fd); e != 0) {
    mdb_env_close(raw);
    return storage_error(e);
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
  if (Status s = env->open_tables(); !s.ok()) return s;
  env->file_ = true;
  env->claimed_.store(true);
  env->dev_ = st.st_dev;
  env->ino_ = st.st_ino;
  env->lock_dev_ = ls.st_dev;
  env->lock_ino_ = ls.st_ino;
  env->data_fd_ = std::exchange(o.data_fd, -1);
  env->lock_fd_ = std::exchange(o.lock_fd, -1);
  registry()[key] = Entry{env, env.get()};
  *out = std::move(env);
  return Status();
}

Status Env::open_memory(std::shared_ptr<Env>* out) {
  std::string path = scratch_dir() + "/tarnel-XXXXXX";
  int fd = mkstemp(path.data());
  if (fd < 0) return storage_error(errno);
  ::close(fd);
  // The lock file is allocated before LMDB maps it, as for a file database. Its descriptor is
  // closed after the open: the file is this environment's alone, so its record locks guard
  // nothing.
  std::string lock_path = path + "-lock";
  MDB_env* raw = nullptr;
  Status s;
  int lock_fd = ::open(lock_path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  int e = lock_fd < 0 ? errno : allocate(lock_fd, kLockBytes);
  if (e != 0) s = storage_error(e);
  if (s.ok()) s = open_env(path, kMemoryMapSize, 0600, &raw);
  if (s.ok() && (e = allocate_rest(lock_fd)) != 0) {
    mdb_env_close(raw);
    s = storage_error(e);
  }
  if (lock_fd >= 0) ::close(lock_fd);
  // The env keeps its descriptors; nothing of it stays on disk.
  unlink(path.c_str());
  unlink(lock_path.c_str());
  if (!s.ok()) return s;
  *out = std::shared_ptr<Env>(new Env(raw));
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
  for (int fd : spare_fds_) ::close(fd);
  ::close(lock_fd_);
  ::close(data_fd_);
  registry().erase({dev_, ino_});
  g_registry_cv.notify_all();
}

void Env::close_env() {
  {
    MutexLock lock(&pool_mu_);
    for (MDB_txn* txn : pool_) mdb_txn_abort(txn);
    pool_.clear();
  }
  mdb_env_close(env_);
}

std::optional<MDB_dbi> Env::lookup(std::string_view name) {
  MutexLock lock(&tables_mu_);
  auto it = tables_.find(name);
  if (it == tables_.end()) return std::nullopt;
  return it->second;
}

std::vector<std::string> Env::table_names() {
  std::vector<std::string> names;
  {
    MutexLock lock(&tables_mu_);
    names.reserve(tables_.size());
    for (const auto& [name, dbi] : tables_) names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

void Env::publish(std::string_view name, MDB_dbi dbi) {
  MutexLock lock(&tables_mu_);
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
  MutexLock lock(&tables_mu_);
  withdraw_locked(name);
}

void Env::withdraw_locked(std::string_view name) {
  auto it = tables_.find(name);
  if (it != tables_.end()) tables_.erase(it);
}

int Env::acquire_read(MDB_txn** out) {
  MDB_txn* txn = nullptr;
  {
    MutexLock lock(&pool_mu_);
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
    MutexLock lock(&pool_mu_);
    if (pool_.size() < kPoolSize) {
      pool_.push_back(txn);
      return;
    }
  }
  mdb_txn_abort(txn);
}

}  // namespace tarnel::store

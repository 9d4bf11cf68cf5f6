#include "store/open_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <cstdio>
#include <ctime>
#include <memory>
#include <mutex>
#include <string_view>
#include <utility>

namespace tarnel::store {
namespace {

// LMDB's file formats, as far as open checks them: the magic number that begins a lock file
// and the meta page of a data file (after the page header), the data file's version, and the
// page header's flag of a meta page.
constexpr uint32_t kMagic = 0xBEEFC0DE;
constexpr uint32_t kDataVersion = 1;
constexpr uint16_t kMetaPage = 0x08;

// The most rounds open_or_create takes on one name: as many links as the kernel follows.
constexpr int kMaxLinks = 40;

// Where the link folder points: the folder of this thread's descriptors, which the kernel has
// had since Linux 3.17, else the process's. LMDB's open runs on the thread that made the links, and
// /proc/self shows no descriptors once the process's main thread has ended.
std::string fd_folder() {
  static std::atomic<bool> has_thread_self{false};
  struct stat st;
  if (has_thread_self.load(std::memory_order_relaxed) ||
      stat("/proc/thread-self/fd", &st) == 0) {
    has_thread_self.store(true, std::memory_order_relaxed);
    return "/proc/thread-self/fd";
  }
  return "/proc/self/fd";
}

Status no_proc(const std::string& fds) {
  return Status::error(fds + " does not show this process's open files: tarnel needs /proc mounted");
}

// The name of descriptor `fd` in `fds` (fd_folder()).
std::string fd_path(const std::string& fds, int fd) { return fds + "/" + std::to_string(fd); }

// What open_or_create() found besides the descriptor it returns.
struct Reached {
  std::string created;   // the file it created, by name; empty when it created none
  bool refused = false;  // `refused` named the file: not opened
  bool no_proc = false;  // the file was reached, but /proc does not show it to be opened
};

// Opens the file `name` leads to for reading and writing, or -1 with errno. With `refused`, the
// file is reached first without access (O_PATH: closing such a descriptor drops no record lock),
// and opened through /proc, so as the very file looked at, only where `refused` lets it through.
int open_existing(const std::string& name, Refuse refused, Reached* reached) {
  if (refused == nullptr) return ::open(name.c_str(), O_RDWR | O_CLOEXEC);
  const std::string fds = fd_folder();  // what allocates comes first: nothing throws below
  int path_fd = ::open(name.c_str(), O_PATH | O_CLOEXEC);
  if (path_fd < 0) return -1;
  struct stat st;
  int fd = -1;
  int e = 0;
  if (fstat(path_fd, &st) != 0) {
    e = errno;
  } else if (refused(st)) {
    reached->refused = true;
  } else {
    char reopen[PATH_MAX];
    std::snprintf(reopen, sizeof reopen, "%s/%d", fds.c_str(), path_fd);
    fd = ::open(reopen, O_RDWR | O_CLOEXEC);
    e = errno;
    reached->no_proc = fd < 0 && e == ENOENT;
  }
  ::close(path_fd);
  errno = e;
  return fd;
}

// Opens `path` read-write, creating the file when it does not exist (see open_existing() for
// `refused`). When `path` is a dangling symbolic link, or a chain of them, the file is created at
// the chain's end, so `created` names that file: removing `path` would remove the link and keep
// the file. Every creation is exclusive (O_EXCL), so the name is always one that did not exist
// before, and no file of anyone else's.
int open_or_create(const std::string& path, mode_t mode, Refuse refused, Reached* reached) {
  std::string name = path;
  for (int round = 0; round <= kMaxLinks; ++round) {
    int fd = open_existing(name, refused, reached);
    if (fd >= 0 || errno != ENOENT || reached->refused || reached->no_proc) return fd;
    reached->created = name;  // before the file exists: once it does, nothing may throw
    fd = ::open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd >= 0) return fd;
    const int e = errno;
    reached->created.clear();
    if (e != EEXIST) {
      errno = e;
      return -1;
    }
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

// Opens (or creates) the file `name` leads to into `file`; *created names it if it was created.
// The file is looked at (fstat) here only where `refused` says this process has files of its own
// to tell it from; else first under its flock (look_again).
Status reach(const std::string& name, Refuse refused, HeldFile* file, std::string* created) {
  Reached reached;
  file->fd = open_or_create(name, 0666, refused, &reached);
  if (file->fd < 0) {
    const int e = errno;
    if (reached.refused) return Status::error(kLocked);
    return reached.no_proc ? no_proc(fd_folder()) : storage_error(e);
  }
  *created = std::move(reached.created);
  if (refused != nullptr && fstat(file->fd, &file->st) != 0) return storage_error(errno);
  return Status();
}

// Looks at `file` again once its flock is held: only from then on is it this open's to change.
// A file that is not empty by then was written by another open (one that held the flock after
// this open reached the file, and let go before this one took it), so it is no longer the file
// this open created.
Status look_again(HeldFile* file, std::string* created) {
  if (fstat(file->fd, &file->st) != 0) return storage_error(errno);
  if (file->st.st_size != 0) created->clear();
  return Status();
}

// Removes `name`, the file that `fd` has open and that this open created, unless the name has
// meanwhile passed to another file (renamed over, or a directory on the way replaced). Says
// whether it removed it; an empty name was never created.
bool remove_created(const std::string& name, int fd) {
  struct stat mine, now;
  if (name.empty() || fstat(fd, &mine) != 0 || lstat(name.c_str(), &now) != 0 ||
      !same_file(mine, now)) {
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

// ---- The folder of links -------------------------------------------------------------------

// The folders of HeldNames (below): kHeldPrefix and six letters or digits (mkdtemp's), mode 0700,
// holding at most the links "db" and "db-lock" into a process's descriptors. How old one must be
// before an open takes it for one a killed process left: an open holds its folder for the
// moments LMDB's open takes.
constexpr char kHeldPrefix[] = "tarnel-open-";
constexpr size_t kHeldPrefixLen = sizeof kHeldPrefix - 1;
constexpr char kDataLink[] = "db";
constexpr char kLockLink[] = "db-lock";  // LMDB's name for it: the data file's name + "-lock"
constexpr time_t kHeldStaleSeconds = 600;

// Whether `target` is what HeldNames links to: /proc/self/fd/N or /proc/thread-self/fd/N.
bool is_held_target(std::string_view target) {
  for (std::string_view folder : {"/proc/self/fd/", "/proc/thread-self/fd/"}) {
    if (target.size() > folder.size() && target.substr(0, folder.size()) == folder) {
      std::string_view n = target.substr(folder.size());
      return n.find_first_not_of("0123456789") == std::string_view::npos;
    }
  }
  return false;
}

// Removes the folder `name` of `place` if an open killed midway left it: its name, owner, mode
// and age are those of a folder of HeldNames, and it holds nothing but links that one makes.
// Anything else, a user's own folder of a like name included, stays untouched.
void remove_if_left(const std::string& place, const char* name, time_t now) {
  const size_t len = std::strlen(name);
  if (len != kHeldPrefixLen + 6 || std::strncmp(name, kHeldPrefix, kHeldPrefixLen) != 0) return;
  for (size_t i = kHeldPrefixLen; i < len; ++i) {
    const char c = name[i];
    if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'))) return;
  }
  const std::string folder = place + "/" + name;
  struct stat st;
  if (lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != geteuid() ||
      (st.st_mode & 07777) != 0700 || now - st.st_mtime < kHeldStaleSeconds) {
    return;
  }
  int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return;
  DIR* d = fdopendir(fd);
  if (d == nullptr) {
    ::close(fd);
    return;
  }
  // Nothing allocates from here to closedir().
  bool ours = true;
  const char* links[2] = {};
  while (const dirent* e = readdir(d)) {
    const std::string_view entry = e->d_name;
    if (entry == "." || entry == "..") continue;
    const char* link = entry == kDataLink ? kDataLink : entry == kLockLink ? kLockLink : nullptr;
    char target[64];
    struct stat ls;
    ssize_t n = -1;
    if (link != nullptr && fstatat(fd, link, &ls, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISLNK(ls.st_mode)) {
      n = readlinkat(fd, link, target, sizeof target);
    }
    if (n <= 0 || n >= static_cast<ssize_t>(sizeof target) ||
        !is_held_target(std::string_view(target, static_cast<size_t>(n)))) {
      ours = false;
      break;
    }
    links[link == kDataLink ? 0 : 1] = link;
  }
  if (ours) {
    for (const char* link : links) {
      if (link != nullptr) unlinkat(fd, link, 0);
    }
  }
  closedir(d);
  if (ours) rmdir(folder.c_str());
}

// Once a process for each place: removes the folders that opens killed midway left there.
void sweep_once(const std::string& place) {
  static std::mutex mu;
  static auto* swept = new std::vector<std::string>();
  {
    std::lock_guard<std::mutex> lock(mu);
    for (const std::string& p : *swept) {
      if (p == place) return;
    }
  }
  // Marked as swept once swept: an allocation that fails on the way (with the folder's stream
  // closed) leaves the sweep to a later open. Two threads may sweep one place at once; what one
  // removes, the other finds gone.
  if (DIR* d = opendir(place.c_str())) {
    std::unique_ptr<DIR, int (*)(DIR*)> closing(d, closedir);
    const time_t now = time(nullptr);
    while (const dirent* e = readdir(d)) remove_if_left(place, e->d_name, now);
  }
  std::lock_guard<std::mutex> lock(mu);
  swept->push_back(place);
}

// Names under which LMDB opens exactly the files an open holds. LMDB opens its files by name:
// the -lock file, then the data file twice (for its pages, and for its commit record), and a
// name may pass to another file between any two of those opens (a symbolic link re-pointed, a
// file renamed over it). Pages would then go to one file and the commit record to another, or
// to a file whose lock another database holds. So LMDB is given links, in a folder of this
// process's own, to /proc/thread-self/fd/N: that names the open file behind descriptor N
// itself, not a path, whatever becomes of the database's names meanwhile.
class HeldNames {
 public:
  HeldNames() = default;
  HeldNames(const HeldNames&) = delete;
  HeldNames& operator=(const HeldNames&) = delete;
  // Removes what make() made, and only that.
  ~HeldNames() {
    if (made_lock_) unlink(lock_.c_str());
    if (made_data_) unlink(data_.c_str());
    if (made_dir_) rmdir(dir_.c_str());
  }

  // Makes the folder in `place` and its links into `fds` (fd_folder()). Returns 0 or an errno.
  int make(const std::string& place, const std::string& fds, const HeldFile& data,
           const HeldFile& lock) {
    dir_ = place + "/" + kHeldPrefix + "XXXXXX";
    if (mkdtemp(dir_.data()) == nullptr) return errno;
    made_dir_ = true;
    data_ = dir_ + "/" + kDataLink;
    lock_ = dir_ + "/" + kLockLink;
    const std::string data_target = fd_path(fds, data.fd);
    const std::string lock_target = fd_path(fds, lock.fd);
    // mkdtemp() applies the umask, which may take the owner's own bits; the sweep also knows
    // such a folder by its mode.
    if (chmod(dir_.c_str(), 0700) != 0) return errno;
    if (symlink(data_target.c_str(), data_.c_str()) != 0) return errno;
    made_data_ = true;
    if (symlink(lock_target.c_str(), lock_.c_str()) != 0) return errno;
    made_lock_ = true;
    return 0;
  }

  // Whether the links lead to the files: 0, an errno, or -1 where they lead to other files.
  int check(const HeldFile& data, const HeldFile& lock) const {
    int e = leads_to(data_, data.st);
    return e != 0 ? e : leads_to(lock_, lock.st);
  }

  const std::string& data() const { return data_; }

 private:
  std::string dir_;
  std::string data_;  // the links, named as LMDB names them: the data file's, and it + "-lock"
  std::string lock_;
  bool made_dir_ = false;
  bool made_data_ = false;
  bool made_lock_ = false;
};

// Whether `fds` (fd_folder()) shows the files on their descriptors.
bool shows_files(const std::string& fds, const HeldFile& data, const HeldFile& lock) {
  return leads_to(fd_path(fds, data.fd), data.st) == 0 &&
         leads_to(fd_path(fds, lock.fd), lock.st) == 0;
}

// One place's try: the folder of links in `place`, and `open_engine` through it. Sets *why
// where the place is to blame: its folder or links could not be made, they lead to other files,
// or LMDB failed through links that no longer lead to the files. Otherwise returns what
// `open_engine` returned (*own set where it failed with links that lead to the files: the
// failure is the database's own), or the error of a /proc that does not show the files.
Status open_in_place(const std::string& place, const std::string& fds, const HeldFile& data,
                     const HeldFile& lock, const OpenEngine& open_engine, std::string* why,
                     bool* own) {
  sweep_once(place);
  HeldNames names;
  if (int e = names.make(place, fds, data, lock); e != 0) {
    *why = os_error_text(e);
    return Status();
  }
  int e = names.check(data, lock);
  if (e == 0) {
    Status s = open_engine(names.data(), data, lock);
    if (s.ok() || (e = names.check(data, lock)) == 0) {
      *own = !s.ok();
      return s;
    }
    *why = s.message();
  } else {
    *why = e > 0 ? os_error_text(e) : "its links lead to other files";
  }
  // Links that do not lead to the files are the place's fault (a mount that follows no
  // symbolic links, say), unless /proc does not show the files at all.
  if (!shows_files(fds, data, lock)) {
    why->clear();
    return no_proc(fds);
  }
  return Status();
}

// A new file of no name in `place`, closed when it goes.
struct Unnamed {
  HeldFile file;
  Unnamed() = default;
  Unnamed(const Unnamed&) = delete;
  Unnamed& operator=(const Unnamed&) = delete;
  ~Unnamed() {
    if (file.fd >= 0) ::close(file.fd);
  }
  // Returns 0 or an errno. LMDB reopens the file through /proc, which asks for the owner's read
  // and write bits: where the umask took them, they are given back.
  int make(const std::string& place) {
    file.fd = ::open(place.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (file.fd < 0 || fstat(file.fd, &file.st) != 0) return errno;
    if ((file.st.st_mode & 0600) != 0600 && fchmod(file.fd, 0600) != 0) return errno;
    return 0;
  }
};

}  // namespace

int allocate(int fd, off_t len) {
  if (fallocate(fd, 0, 0, len) == 0) return 0;
  int e = errno;
  return e == EOPNOTSUPP || e == ENOSYS ? 0 : e;
}

int allocate_rest(int lock_fd) {
  struct stat st;
  if (fstat(lock_fd, &st) != 0) return errno;
  return st.st_size > kLockBytes ? allocate(lock_fd, st.st_size) : 0;
}

std::vector<std::string> scratch_places() {
  std::vector<std::string> places = {"/dev/shm"};
  const char* tmp = std::getenv("TMPDIR");
  if (tmp != nullptr && *tmp != '\0' && places[0] != tmp) places.emplace_back(tmp);
  if (places.back() != "/tmp") places.emplace_back("/tmp");
  return places;
}

Status no_place(const char* what, const std::string& trail) {
  // The trail begins with its separator.
  return Status::error(std::string("I/O error: no folder for ") + what + "; tried " +
                       trail.substr(trail.empty() ? 0 : 2));
}

bool same_file(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

int leads_to(const std::string& name, const struct stat& file) {
  struct stat st;
  if (stat(name.c_str(), &st) != 0) return errno;
  return same_file(st, file) ? 0 : -1;
}

// ---- FoundFiles ------------------------------------------------------------------------------

FoundFiles::FoundFiles(const std::string& path) : path_(path), lock_path_(path + "-lock") {}

FoundFiles::~FoundFiles() {
  if (lock_.fd >= 0) {
    if (lock_looked_ && !remove_created(lock_created_, lock_.fd) && lock_size_ >= 0) {
      [[maybe_unused]] int rc = lock_blank_ ? ftruncate(lock_.fd, 0) : 0;
      rc = ftruncate(lock_.fd, lock_size_);
    }
    ::close(lock_.fd);
  }
  if (data_.fd >= 0) {
    // LMDB writes a new database's first pages early: one empty under the flock is emptied
    // again, and so is one created that could not be removed.
    if (data_looked_ && !remove_created(data_created_, data_.fd) && data_.st.st_size == 0) {
      [[maybe_unused]] int rc = ftruncate(data_.fd, 0);
    }
    ::close(data_.fd);
  }
}

Status FoundFiles::open_data(Refuse refused) {
  return reach(path_, refused, &data_, &data_created_);
}

Status FoundFiles::lock_data() {
  if (int e = lock_exclusive(data_.fd); e != 0) {
    return e == EWOULDBLOCK ? Status::error(kLocked) : storage_error(e);
  }
  if (Status s = look_again(&data_, &data_created_); !s.ok()) return s;
  data_looked_ = true;
  if (int rc = check_data_file(data_.fd); rc != 0) return storage_error(rc);
  return Status();
}

Status FoundFiles::open_lock(Refuse refused) {
  return reach(lock_path_, refused, &lock_, &lock_created_);
}

Status FoundFiles::lock_lock() {
  // A -lock name that leads to the data file (a link to it, say) finds that file flocked by this
  // open already, unless the file system has no flocks: either way it is told by its look.
  auto self = [this] {
    return Status::error("lock file is the database file itself: " + lock_path_);
  };
  if (int e = lock_exclusive(lock_.fd); e != 0) {
    if (e != EWOULDBLOCK) return storage_error(e);
    return fstat(lock_.fd, &lock_.st) == 0 && same_file(lock_.st, data_.st) ? self()
                                                                             : Status::error(kLocked);
  }
  if (Status s = look_again(&lock_, &lock_created_); !s.ok()) return s;
  lock_looked_ = true;
  if (same_file(lock_.st, data_.st)) return self();
  if (Status s = check_lock_file(lock_.fd, lock_.st.st_size, lock_path_, &lock_blank_); !s.ok()) {
    return s;
  }
  lock_size_ = lock_.st.st_size;
  if (int e = allocate(lock_.fd, kLockBytes); e != 0) return storage_error(e);
  return Status();
}

bool FoundFiles::nameless() const {
  // A link count of 0 is taken at its word only where the name no longer leads to the file: a
  // file system that counts no links (some FUSE ones) must not make every open start over. A
  // file looked at under its flock is taken as it was then: a failed open removes its files
  // before it lets go of them.
  auto lost = [](const HeldFile& file, bool looked, const std::string& name) {
    struct stat now;
    if (file.fd < 0 || (!looked && fstat(file.fd, &now) != 0)) return false;
    const struct stat& st = looked ? file.st : now;
    return st.st_nlink == 0 && leads_to(name, st) != 0;
  };
  return lost(data_, data_looked_, path_) || lost(lock_, lock_looked_, lock_path_);
}

void FoundFiles::keep(int* data_fd, int* lock_fd) {
  *data_fd = std::exchange(data_.fd, -1);
  *lock_fd = std::exchange(lock_.fd, -1);
}

// ---- LMDB's open through the links ---------------------------------------------------------

Status open_through_links(const FoundFiles& files, const OpenEngine& open_engine) {
  const std::string fds = fd_folder();
  std::string trail;
  for (const std::string& place : scratch_places()) {
    std::string why;
    bool own = false;
    Status s = open_in_place(place, fds, files.data(), files.lock(), open_engine, &why, &own);
    if (why.empty()) return s;
    trail += "; " + place + ": " + why;
  }
  return no_place("the links to the database's files", trail);
}

Status open_unnamed(
    const std::function<Status(const std::string& name, const HeldFile& data,
                               const HeldFile& lock, bool* anywhere)>& open_engine) {
  const std::string fds = fd_folder();
  std::string trail;
  for (const std::string& place : scratch_places()) {
    Unnamed data, lock;
    int e = data.make(place);
    if (e == 0) e = lock.make(place);
    if (e == 0) e = allocate(lock.file.fd, kLockBytes);
    if (e != 0) {
      trail += "; " + place + ": " + os_error_text(e);
      continue;
    }
    bool anywhere = false;
    std::string why;
    bool own = false;
    Status s = open_in_place(
        place, fds, data.file, lock.file,
        [&](const std::string& name, const HeldFile& d, const HeldFile& l) {
          return open_engine(name, d, l, &anywhere);
        },
        &why, &own);
    if (why.empty() && (!own || anywhere)) return s;
    // The place's fault, or LMDB's own failure in that place (its first pages found no room
    // there, say): the next place may do.
    if (own) {
      constexpr std::string_view kIo = "I/O error: ";
      why = s.message();
      if (std::string_view(why).substr(0, kIo.size()) == kIo) why.erase(0, kIo.size());
    }
    trail += "; " + place + ": " + why;
  }
  return no_place("an in-memory database's files", trail);
}

}  // namespace tarnel::store

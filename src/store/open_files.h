// The files of one open of a file database: the data file and its -lock file as the open finds
// (or creates), flocks and checks them, the names under which LMDB then opens exactly those
// files, and every file put back as it was found when the open fails.
//
// Rules:
//  - The database's name and its -lock name are followed once each. From its flock on, an open
//    works on the file it reached, not on the name: LMDB is handed names that lead to our own
//    descriptors (open_through_links).
//  - Only a file whose flock the open holds is ever changed, and a failed open changes it back
//    (FoundFiles' destructor): files it created are removed, a data file found empty is empty
//    again, a -lock file found gets its size back and one found blank is blank again.
//  - A file that loses its last name while an open holds it is the file of an open that failed
//    and removed what it made (see FoundFiles::nameless): the caller starts over.
#ifndef TARNEL_STORE_OPEN_FILES_H_
#define TARNEL_STORE_OPEN_FILES_H_

#include <sys/stat.h>
#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

#include "error/status.h"
#include "store/env.h"

namespace tarnel::store {

// The size LMDB gives a new -lock file for kMaxReaders slots: a 192-byte header, then 64 bytes a
// slot (the header's own slot counted). Allocated before LMDB maps it; pages that a build of LMDB
// with a larger header adds are allocated right after the open (allocate_rest), before any reader
// uses them.
inline constexpr off_t kLockBytes = off_t{kMaxReaders - 1} * 64 + 192;

// Allocates the first `len` bytes of the file, so a full disk fails here (ENOSPC) and not at a
// write to the map (SIGBUS). A file system that cannot allocate ahead is left as it is. Returns
// 0 or an errno.
int allocate(int fd, off_t len);
// Allocates what LMDB added past kLockBytes to the -lock file open on `lock_fd`.
int allocate_rest(int lock_fd);

// The folders for files of our own that live only while an open runs (or, for an in-memory
// database, as long as it does), in the order they are tried: /dev/shm, $TMPDIR, /tmp.
std::vector<std::string> scratch_places();

// The error of an open that found no place for `what`: "I/O error: no folder for {what}; tried
// {place}: {why}; ...". `trail` holds "; {place}: {why}" for each place tried.
Status no_place(const char* what, const std::string& trail);

class FoundFiles {
 public:
  explicit FoundFiles(const std::string& path);
  // Puts back every file the open changed, unless keep() took them.
  ~FoundFiles();
  FoundFiles(const FoundFiles&) = delete;
  FoundFiles& operator=(const FoundFiles&) = delete;

  const std::string& lock_path() const { return lock_path_; }
  // As fstat() gave them at open_data() and open_lock().
  const struct stat& data() const { return data_st_; }
  const struct stat& lock() const { return lock_st_; }
  int data_fd() const { return data_fd_; }
  int lock_fd() const { return lock_fd_; }

  // Opens the data file read-write, creating it where the name leads to no file (at the end of
  // a dangling symbolic link, the link stays). Returns 0 or an errno.
  int open_data();
  // Flocks the data file and checks that it is LMDB's or empty.
  Status lock_data();
  // Opens the -lock file as open_data() does the data file. Returns 0 or an errno.
  int open_lock();
  // Refuses a -lock file that is the data file itself, flocks it, checks that LMDB made it (or
  // that it is blank), and allocates it.
  Status lock_lock();
  // Whether either file has lost its last name since it was opened (flocks held).
  bool nameless() const;

  // Hands a descriptor over as it is, the file unchanged (for one that must stay open).
  int give_data();
  int give_lock();
  // The open succeeded: its descriptors and their flocks pass to the caller, nothing is put back.
  void keep(int* data_fd, int* lock_fd);

 private:
  std::string path_;
  std::string lock_path_;
  int data_fd_ = -1;
  int lock_fd_ = -1;
  bool data_locked_ = false;  // the flocks are held
  bool lock_locked_ = false;
  std::string data_created_;  // the files this open created, by name
  std::string lock_created_;
  struct stat data_st_ = {};
  struct stat lock_st_ = {};
  off_t lock_size_ = -1;  // as the -lock file was found, once it is checked
  bool lock_blank_ = false;
};

// Calls `open_engine` with a name under which LMDB reaches exactly the files of `files`: that
// name is the data file, the name + "-lock" its -lock file. They are links, in a folder of this
// process's own, to the descriptors in /proc/thread-self/fd (else /proc/self/fd). The folder is
// made in each scratch place in turn, going on to the next where the folder, its links or
// LMDB's open through them fail for a reason of that place; it is removed before this returns.
// A failure of `open_engine` whose links still lead to the files is the database's own and is
// returned as it is.
Status open_through_links(const FoundFiles& files,
                          const std::function<Status(const std::string& name)>& open_engine);

}  // namespace tarnel::store

#endif  // TARNEL_STORE_OPEN_FILES_H_

// The files of one open of a file database: the data file and its -lock file as the open finds
// (or creates), flocks and checks them, the names under which LMDB then opens exactly those
// files, and every file put back as it was found when the open fails.
//
// Rules:
//  - The database's name and its -lock name are followed once each. From its flock on, an open
//    works on the file it reached, not on the name: LMDB is handed names that lead to our own
//    descriptors (open_through_links).
//  - Only a file whose flock the open holds is ever changed, and a failed open puts back only
//    what it changed while it held that flock (FoundFiles' destructor): what it undoes is decided
//    from the files as they are once the flock is held, not as they were when first reached, so
//    a file that another open wrote in between stays as that open left it. A file the open
//    created and still finds empty is removed, a data file still empty is empty again, a -lock
//    file gets back the size it had under the flock, and one blank then is blank again. A file
//    whose look under its flock failed is left as it is (one this open created may stay, empty).
//  - The put-back runs only once LMDB's environment on the files has closed: LMDB reads and
//    writes the -lock file through its map until then, and its record locks and our flocks
//    keep other opens out of files it has not let go of.
//  - A -lock file of a database open in this process is never opened for reading and writing by
//    an open that reaches it under another name: closing that descriptor would drop the record
//    locks LMDB holds on the file. Where such a file may be reached, the name is followed first
//    without access (O_PATH), and only a file let through is opened.
//  - A file that loses its last name while an open holds it is the file of an open that failed
//    and removed what it made (see FoundFiles::nameless): the caller starts over.
//  - An in-memory database's files never have a name (O_TMPFILE): a process killed inside its
//    open leaves at most a folder of links, which a later open's sweep removes.
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

// Whether two fstat() results are of one file.
bool same_file(const struct stat& a, const struct stat& b);

// 0 where `name` leads to `file` (as fstat() gave it), else an errno, or -1 where it leads to
// another file.
int leads_to(const std::string& name, const struct stat& file);

// A file that LMDB is to open: a descriptor of ours and what fstat() gave for it.
struct HeldFile {
  int fd = -1;
  struct stat st = {};
};

// Whether an open must refuse the file `st`, reached by name, before it opens it for reading and
// writing. Null where no such file can exist.
using Refuse = bool (*)(const struct stat& st);

class FoundFiles {
 public:
  explicit FoundFiles(const std::string& path);
  // Puts back every file the open changed, unless keep() took them.
  ~FoundFiles();
  FoundFiles(const FoundFiles&) = delete;
  FoundFiles& operator=(const FoundFiles&) = delete;

  const std::string& lock_path() const { return lock_path_; }
  // The files as fstat() gave them once their flock is held; before that, as it gave them when
  // they were reached, which it is asked only where this process has files to tell them from.
  const HeldFile& data() const { return data_; }
  const HeldFile& lock() const { return lock_; }

  // Opens the data file read-write, creating it where the name leads to no file (at the end of
  // a dangling symbolic link, the link stays). A file that `refused` names is refused
  // (kLocked) without being opened.
  Status open_data(Refuse refused);
  // Flocks the data file and checks that it is LMDB's or empty.
  Status lock_data();
  // Opens the -lock file as open_data() does the data file.
  Status open_lock(Refuse refused);
  // Refuses a -lock file that is the data file itself, flocks it, checks that LMDB made it (or
  // that it is blank), and allocates it.
  Status lock_lock();
  // Whether either file had no name left when its flock was taken.
  bool nameless() const;

  // The open succeeded: its descriptors and their flocks pass to the caller, nothing is put back.
  void keep(int* data_fd, int* lock_fd);

 private:
  std::string path_;
  std::string lock_path_;
  HeldFile data_;
  HeldFile lock_;
  // Looked at (fstat) under their flocks: only a file whose look succeeded is ever put back, from
  // what that look saw.
  bool data_looked_ = false;
  bool lock_looked_ = false;
  std::string data_created_;  // the files this open created, by name, while still its own
  std::string lock_created_;
  off_t lock_size_ = -1;  // as the -lock file was under its flock, once it is checked
  bool lock_blank_ = false;
};

// LMDB's open of `data` and `lock` under `name` (the data file's name; the -lock file's is name +
// "-lock"), which leads to them.
using OpenEngine =
    std::function<Status(const std::string& name, const HeldFile& data, const HeldFile& lock)>;

// Calls `open_engine` with a name under which LMDB reaches exactly the files of `files`: links,
// in a folder of this process's own, to the descriptors in /proc/thread-self/fd (else
// /proc/self/fd). The folder is made in each scratch place in turn, going on to the next where
// the folder, its links or LMDB's open through them fail for a reason of that place; it is
// removed before this returns. A failure of `open_engine` whose links still lead to the files is
// the database's own and is returned as it is.
Status open_through_links(const FoundFiles& files, const OpenEngine& open_engine);

// Calls `open_engine` as open_through_links() does, on two new files that have no name (an
// in-memory database's), made with their folder of links in each scratch place in turn. Any
// failure there, LMDB's own included, moves on to the next place, except one that `open_engine`
// says no place would change (*anywhere). The files live as long as LMDB's descriptors of them.
Status open_unnamed(
    const std::function<Status(const std::string& name, const HeldFile& data,
                               const HeldFile& lock, bool* anywhere)>& open_engine);

}  // namespace tarnel::store

#endif  // TARNEL_STORE_OPEN_FILES_H_

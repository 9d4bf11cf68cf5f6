#include "error/status.h"

#include <lmdb.h>

#include <cstring>
#include <string>

namespace tarnel::error {

Status storage(int rc) {
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

}  // namespace tarnel::error

#include "py/gil.h"

#include <cxxabi.h>
#include <unistd.h>

#include "py/python.h"

namespace tarnel::py {

Unlocked::Unlocked() : state_(PyEval_SaveThread()) {}

Unlocked::~Unlocked() {
  try {
    PyEval_RestoreThread(state_);
  } catch (abi::__forced_unwind&) {
    // The interpreter is finalizing and ends this thread (a daemon thread) as it asks for the
    // lock back, by unwinding its stack. Our frames on the way cannot run without the lock, and
    // the unwind would end the process at the first of them that may not throw; the thread
    // waits here instead until the process exits, as CPython does itself from 3.14 on.
    if (on_end_ != nullptr) on_end_(arg_);
    for (;;) pause();
  }
}

}  // namespace tarnel::py

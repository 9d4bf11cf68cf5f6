#include "py/gil.h"

#include <cxxabi.h>
#include <unistd.h>

#include <exception>

#include "py/python.h"

namespace tarnel::py {

Unlocked::Unlocked() : state_(PyEval_SaveThread()) {}

Unlocked::~Unlocked() noexcept(false) {
  try {
    PyEval_RestoreThread(state_);
  } catch (abi::__forced_unwind&) {
    // The interpreter is finalizing and ends this thread (py/gil.h).
    if (on_end_ != nullptr) on_end_(arg_);
    // Leaving the scope by an exception already: a second one would end the process.
    if (std::uncaught_exceptions() > 0) park();
    throw;
  }
}

void park() {
  for (;;) pause();
}

// CPython clears its "initialized" flag at the moment it begins to finalize, right after it
// marks the runtime as finalizing (3.10-3.13), and sets it only in Py_Initialize.
bool finalizing() { return !Py_IsInitialized(); }

}  // namespace tarnel::py

#include "py/gil.h"

#include <unistd.h>

#include "py/python.h"

namespace tarnel::py {

Unlocked::Unlocked() : state_(PyEval_SaveThread()) {}

Unlocked::~Unlocked() noexcept(false) { PyEval_RestoreThread(state_); }

void park() {
  for (;;) pause();
}

// CPython clears its "initialized" flag at the moment it begins to finalize, right after it
// marks the runtime as finalizing (3.10-3.13), and sets it only in Py_Initialize.
bool finalizing() { return !Py_IsInitialized(); }

}  // namespace tarnel::py

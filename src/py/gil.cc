#include "py/gil.h"

#include "py/python.h"

namespace tarnel::py {

Unlocked::Unlocked() : state_(PyEval_SaveThread()) {}
Unlocked::~Unlocked() { PyEval_RestoreThread(state_); }

}  // namespace tarnel::py

#include "py/boundary.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace tarnel::py {
namespace {

// Made on the first fault and kept for the life of the process (the interpreter lock guards it).
PyObject* g_panic_type = nullptr;

[[noreturn]] void abort_in_fault() {
  std::fputs("uncaught panic at ffi boundary\n", stderr);
  std::abort();
}

}  // namespace

void set_panic(const char* msg) {
  if (g_panic_type == nullptr) {
    g_panic_type = PyErr_NewExceptionWithDoc(
        "tarnel.PanicException",
        "An internal fault of tarnel: an invariant was violated. Not meant to be caught.",
        PyExc_BaseException, nullptr);
    if (g_panic_type == nullptr) abort_in_fault();
  }
  PyObject* text = PyUnicode_DecodeUTF8(msg, static_cast<Py_ssize_t>(std::strlen(msg)), "replace");
  if (text == nullptr) abort_in_fault();
  PyErr_SetObject(g_panic_type, text);
  Py_DECREF(text);
}

}  // namespace tarnel::py

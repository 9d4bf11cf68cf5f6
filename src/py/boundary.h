// The boundary that turns C++ exceptions into Python exceptions.
//
// A fault (error/fault.h) is caught at the boundary of every function the interpreter calls
// (`boundary`), where it becomes `PanicException`: a BaseException subclass made at the first
// fault of the process and not added to the module. No C++ exception ever crosses into the
// interpreter; a fault raised while one is being handled ends the process with "uncaught panic
// at ffi boundary". The one unwind that does cross is the interpreter's own: the forced unwind
// with which it ends a thread at its exit (py/gil.h) goes on through the interpreter's frames to
// the thread's start, as it does for a thread that runs only Python code.
#ifndef TARNEL_PY_BOUNDARY_H_
#define TARNEL_PY_BOUNDARY_H_

#include <exception>
#include <new>
#include <type_traits>

#include "error/fault.h"
#include "py/python.h"

namespace tarnel::py {

// Sets PanicException(msg) as the current Python exception.
void set_panic(const char* msg);

// Runs `f` (which returns a PyObject* or an int, following the CPython convention that null / -1
// means "exception set") and converts any escaping C++ exception into a Python one. Everything
// our code and the standard library throw derives from std::exception; there is no catch (...),
// so the interpreter's forced unwind (a foreign exception) passes through untouched.
template <class R, class F>
R boundary(F&& f) {
  try {
    return f();
  } catch (const Fault& e) {
    set_panic(e.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    set_panic(e.what());
  }
  if constexpr (std::is_pointer_v<R>) {
    return nullptr;
  } else {
    return R(-1);
  }
}

}  // namespace tarnel::py

#endif  // TARNEL_PY_BOUNDARY_H_

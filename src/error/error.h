// The module's exception class `tarnel.Error`, and the raising of a Status: the one place where a
// Status becomes a Python exception.
//
// The class is made once per process by PyErr_NewExceptionWithDoc("tarnel.Error",
// "Base Tarnel error.", Exception) and kept until the process ends. Fetching it is one atomic read
// once it exists; before that, the fetching thread releases the interpreter lock to enter the
// one-time cell, and a thread that finds the creation under way waits with the lock released.
//
// This header compiles without Python.h (PyObject is only named); the functions themselves need
// the interpreter.
#ifndef TARNEL_ERROR_ERROR_H_
#define TARNEL_ERROR_ERROR_H_

#include "error/status.h"

typedef struct _object PyObject;  // as the interpreter's headers declare it

namespace tarnel::py {
class Ref;
}  // namespace tarnel::py

namespace tarnel::error {

// The class Error (borrowed, valid for the life of the process); creates it on first use.
// Throws Fault("Failed to initialize new exception type. ...") when the factory fails.
// REQUIRES: the interpreter lock is held.
PyObject* type_object();

// Adds the class to `module` under "Error" (appending "Error" to __all__). Returns false with
// the exception set when the attribute cannot be set.
bool register_class(PyObject* module);

// What raise() returns: the failure value of whichever convention the caller follows (a null
// PyObject*, false, an empty Ref), so every failing path reads `return error::raise(s);`.
struct Raised {
  operator PyObject*() const { return nullptr; }
  operator bool() const { return false; }
  operator py::Ref() const;
};

// Sets `s` as the current Python exception: its class from the code (tarnel.Error, TypeError,
// ValueError, KeyError), its message as the one argument.
// REQUIRES: !s.ok(), the interpreter lock is held.
Raised raise(const Status& s);

}  // namespace tarnel::error

#endif  // TARNEL_ERROR_ERROR_H_

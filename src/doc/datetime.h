// The `datetime` module and class, and the interned attribute names both directions of the
// document conversion use to turn datetimes into stored instants and back.
//
// REQUIRES: the interpreter lock is held for every function here.
#ifndef TARNEL_DOC_DATETIME_H_
#define TARNEL_DOC_DATETIME_H_

#include "py/python.h"
#include "py/ref.h"

namespace tarnel::doc {

// Interned names, made at first use and kept for the life of the process.
struct Names {
  PyObject* datetime;  // module and class
  PyObject* timezone;
  PyObject* utc;
  PyObject* tzinfo;
  PyObject* replace;
  PyObject* timestamp;
  PyObject* fromtimestamp;
  PyObject* microsecond;
};
// Never null; throws Fault when the names cannot be made (out of memory at first use).
const Names& names();

// The class datetime.datetime (borrowed, kept for the life of the process). Found by importing
// the module the first time it is asked for; a failed import is a Fault. The import may let
// other threads run; whichever finishes first publishes the class.
PyObject* datetime_class();

// The module `datetime`, looked up by name on every call (the interpreter's module table
// answers once it is loaded). Empty with the exception of the import set on failure.
py::Ref datetime_module();

// The object `datetime.timezone.utc` of `module`; empty with the exception set on failure.
py::Ref utc_of(PyObject* module);

}  // namespace tarnel::doc

#endif  // TARNEL_DOC_DATETIME_H_

// The one doorway to Python.h. Every file that touches Python objects includes this header and
// nothing else of the interpreter's, so the stable-ABI level is fixed in one place.
//
// We build for the CPython stable ABI of 3.10: only limited-API functions are used. Facilities of
// newer interpreters (exception notes) are looked up at run time, never compiled against.
#ifndef TARNEL_PY_PYTHON_H_
#define TARNEL_PY_PYTHON_H_

#ifndef Py_LIMITED_API
#define Py_LIMITED_API 0x030A0000
#endif
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#endif  // TARNEL_PY_PYTHON_H_

// What both directions of the document conversion share: interned attribute names, the
// `datetime` class and module, and the quoting of text inside error messages.
//
// REQUIRES: the interpreter lock is held for every function here.
#ifndef TARNEL_DOC_PYOBJECTS_H_
#define TARNEL_DOC_PYOBJECTS_H_

#include <cstdint>
#include <string>
#include <string_view>

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

// Appends `text` (valid UTF-8) between double quotes the way Rust's Debug shows a str: \0, \t,
// \r, \n, \\ and \" escaped, other control characters as \u{hex}, everything else unchanged.
void append_quoted(std::string_view text, std::string* out);

// Strict UTF-8 validity (no surrogates, no overlong forms, nothing past U+10FFFF).
bool is_utf8(std::string_view bytes);

}  // namespace tarnel::doc

#endif  // TARNEL_DOC_PYOBJECTS_H_

// Conversions of declared argument types, and the shared text rules.
//
// Each `arg_*` conversion returns false with a Python exception set on failure; that exception
// keeps its own class and carries the note "while processing '{arg}'" (on interpreters whose
// exceptions have add_note). Arguments taken as any object (keys, documents) are not converted
// here; their own encoders validate them.
#ifndef TARNEL_PY_CONVERT_H_
#define TARNEL_PY_CONVERT_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "py/python.h"

namespace tarnel::py {

// Adds the note "while processing '{arg}'" to the pending exception. A failing add_note (older
// interpreters have none) leaves the exception as it was.
void add_arg_note(const char* arg);

// Sets TypeError "'{qualname}' object is not an instance of '{expected}'", or
// "'None' is not an instance of '{expected}'" for None.
void set_downcast_error(PyObject* obj, const char* expected);

// A `str` (or subclass instance), strictly as UTF-8 (lone surrogates raise the interpreter's
// encoding error). The view borrows from `obj` and lives as long as it does.
bool arg_str(PyObject* obj, const char* arg, std::string_view* out);
// Exactly True or False, or numpy's bool types (through their __bool__).
bool arg_bool(PyObject* obj, const char* arg, bool* out);
// A file-system path (PyOS_FSPath) that is a `str`, encoded with the file-system encoding.
bool arg_path(PyObject* obj, const char* arg, std::string* out);
// An unsigned 8-bit integer (iteration mode).
bool arg_u8(PyObject* obj, const char* arg, std::uint8_t* out);

// The text of `obj` as key parts, prefixes, text values and repr texts take it: `str(obj)` as
// UTF-8 with each surrogate code point written as three U+FFFD. When `str(obj)` raises an
// Exception, it goes to the unraisable hook and the text is "<unprintable {name} object>".
// Appends to `out`. May run Python code (a subclass's __str__). Returns false with an exception
// set: out of memory, or a BaseException that is not an Exception (KeyboardInterrupt,
// SystemExit, ...), which is never swallowed.
bool lenient_text(PyObject* obj, std::string* out);

// Clears the pending exception when it is an Exception and returns true. Any other
// BaseException (KeyboardInterrupt, SystemExit, GeneratorExit) stays pending: false.
bool clear_exception();

// The `__name__` of `type` as UTF-8; false with the exception of reading it (or a TypeError when
// it is not a `str`) set.
bool type_name(PyTypeObject* type, std::string* out);

}  // namespace tarnel::py

#endif  // TARNEL_PY_CONVERT_H_

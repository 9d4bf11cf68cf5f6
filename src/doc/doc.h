// Documents: Python dicts to BSON document bytes and back, through libbson.
//
// Every function here runs with the interpreter lock held and may run Python code (a str
// subclass's __str__, datetime methods). Functions returning bool return false, and those
// returning Ref return empty, with a Python exception set. A dict mutated while it is walked is
// an internal fault (thrown as tarnel::Fault).
#ifndef TARNEL_DOC_DOC_H_
#define TARNEL_DOC_DOC_H_

#include <string>
#include <string_view>

#include "py/python.h"
#include "py/ref.h"

namespace tarnel::doc {

// Nesting of documents and arrays deeper than this is refused (on writing ValueError naming the
// path, on reading tarnel.Error); it also stops a dict or list that contains itself.
inline constexpr int kMaxDepth = 100;

// `obj` (borrowed, any type) as one BSON document; replaces the contents of `out`.
bool doc_to_bytes(PyObject* obj, std::string* out);

// Stored document bytes (borrowed for the call) to a new dict. Checks the frame first.
py::Ref bytes_to_doc(std::string_view bytes);

}  // namespace tarnel::doc

#endif  // TARNEL_DOC_DOC_H_

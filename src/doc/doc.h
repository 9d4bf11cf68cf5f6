// Documents: Python dicts to BSON document bytes and back.
//
// Writing walks the Python object tree once, appending BSON straight into the caller's buffer.
// Reading walks stored bytes in place with libbson's iterator and makes only Python objects.
//
// Every function here runs with the interpreter lock held and may run Python code (a str
// subclass's __str__, datetime methods). Functions returning bool return false, and those
// returning Ref return empty, with a Python exception set. A dict mutated while it is walked is
// an internal fault (thrown as tarnel::Fault), as is a failed first import of `datetime`.
//
// Nesting: the top-level document is level 1, every embedded document or array one more. Both
// directions refuse levels beyond kMaxDepth, so whatever is written can be read back, and
// neither recurses natively deeper than that.
#ifndef TARNEL_DOC_DOC_H_
#define TARNEL_DOC_DOC_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "py/python.h"
#include "py/ref.h"

namespace tarnel::doc {

// Nesting of documents and arrays deeper than this is refused (on writing ValueError naming the
// path, on reading tarnel.Error); it also stops a dict or list that contains itself.
inline constexpr int kMaxDepth = 100;

// BSON lengths are signed 32-bit and count the whole document.
inline constexpr size_t kMaxBsonSize = INT32_MAX;

// `obj` (borrowed, any type) as one BSON document; replaces the contents of `out`, whose
// capacity is reused (a caller encoding many documents may pass the same string each time).
// Errors: TypeError / ValueError for values that have no BSON form (the message names the
// field path, "$" being the document), tarnel.Error for a field name holding U+0000 and for a
// document whose encoding would exceed `max_size` bytes (at most kMaxBsonSize; a store passes
// its engine's limit). On failure `out` holds nothing useful.
bool doc_to_bytes(PyObject* obj, std::string* out, size_t max_size = kMaxBsonSize);

// Stored document bytes (borrowed for the call) to a new dict. Checks the frame first.
py::Ref bytes_to_doc(std::string_view bytes);

}  // namespace tarnel::doc

#endif  // TARNEL_DOC_DOC_H_

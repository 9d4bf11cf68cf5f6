#include "keys/keys.h"

#include <cstring>

#include "error/error.h"
#include "py/convert.h"

namespace tarnel::keys {
namespace {

constexpr const char kBoolRefused[] = "bool is not a valid key type";
constexpr const char kIntRange[] = "int key outside 64-bit range";
constexpr const char kIntPrefix[] = "prefix must be str, bytes, or a tuple of key components";

// What a Python object can be as one key part. The exact built-in types are tested by pointer
// first (the common case); subclasses are found through the type's flags, never through any of
// the object's own methods. bool is a subclass of int, so it is tested before the flags.
enum class Scalar : unsigned char { kInt, kStr, kBytes, kBool, kOther };

inline Scalar classify(PyTypeObject* t) {
  if (t == &PyUnicode_Type) return Scalar::kStr;
  if (t == &PyLong_Type) return Scalar::kInt;
  if (t == &PyBytes_Type) return Scalar::kBytes;
  if (t == &PyBool_Type) return Scalar::kBool;
  const unsigned long flags = PyType_GetFlags(t);
  if (flags & Py_TPFLAGS_UNICODE_SUBCLASS) return Scalar::kStr;
  if (flags & Py_TPFLAGS_BYTES_SUBCLASS) return Scalar::kBytes;
  if (flags & Py_TPFLAGS_LONG_SUBCLASS) return Scalar::kInt;
  return Scalar::kOther;
}

inline bool is_tuple(PyTypeObject* t) {
  return t == &PyTuple_Type || (PyType_GetFlags(t) & Py_TPFLAGS_TUPLE_SUBCLASS) != 0;
}

// The value of an int (or int subclass instance), read from the object itself: for a long
// subclass the interpreter reads the digits without calling __index__ or __int__.
bool read_int(PyObject* obj, std::int64_t* out) {
  long long v = PyLong_AsLongLong(obj);
  if (v == -1 && PyErr_Occurred()) {
    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
    PyErr_Clear();  // the overflow is replaced, not chained
    PyErr_SetString(PyExc_ValueError, kIntRange);
    return false;
  }
  *out = static_cast<std::int64_t>(v);
  return true;
}

// Sets the TypeError of an unsupported key type, or the failure of reading the type's __name__.
// May run Python code (a metaclass's __name__).
void set_invalid_type(PyObject* obj) {
  std::string name;
  if (!py::type_name(Py_TYPE(obj), &name)) return;
  std::string msg = "invalid key type ";
  msg += name;
  msg += " (expected str | int | bytes | tuple of those)";
  PyErr_SetString(PyExc_TypeError, msg.c_str());
}

// Appends tag, escaped text and (when `terminate`) the terminator of a str key part or prefix.
// An exact str without surrogates is encoded straight from its cached UTF-8, without a copy;
// everything else goes through the lenient text rule (str(), surrogates as three U+FFFD).
// May run Python code (a subclass's __str__).
bool append_str(PyObject* obj, bool exact, bool terminate, std::string* out) {
  if (exact) {
    Py_ssize_t len = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &len);
    if (utf8 != nullptr) {
      encode_text(kTagStr, std::string_view(utf8, static_cast<size_t>(len)), terminate, out);
      return true;
    }
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return false;
    PyErr_Clear();
  }
  std::string text;
  if (!py::lenient_text(obj, &text)) return false;
  encode_text(kTagStr, text, terminate, out);
  return true;
}

bool append_bytes(PyObject* obj, bool terminate, std::string* out) {
  char* data = nullptr;
  Py_ssize_t len = 0;
  if (PyBytes_AsStringAndSize(obj, &data, &len) != 0) return false;
  encode_text(kTagBytes, std::string_view(data, static_cast<size_t>(len)), terminate, out);
  return true;
}

// Appends the key bytes of one scalar key part, read and encoded in one step.
bool append_part(PyObject* obj, std::string* out) {
  PyTypeObject* t = Py_TYPE(obj);
  switch (classify(t)) {
    case Scalar::kStr: return append_str(obj, t == &PyUnicode_Type, true, out);
    case Scalar::kInt: {
      std::int64_t v;
      if (!read_int(obj, &v)) return false;
      encode_int(v, out);
      return true;
    }
    case Scalar::kBytes: return append_bytes(obj, true, out);
    case Scalar::kBool: PyErr_SetString(PyExc_TypeError, kBoolRefused); return false;
    case Scalar::kOther: break;
  }
  set_invalid_type(obj);
  return false;
}

// A new Python object for one decoded part.
PyObject* part_to_py(const DecodedKey::Part& p) {
  switch (p.kind) {
    case KeyPart::kInt: return PyLong_FromLongLong(p.i);
    case KeyPart::kStr:
      return PyUnicode_FromStringAndSize(p.body.data(), static_cast<Py_ssize_t>(p.body.size()));
    case KeyPart::kBytes:
      return PyBytes_FromStringAndSize(p.body.data(), static_cast<Py_ssize_t>(p.body.size()));
  }
  return nullptr;
}

}  // namespace

bool key_bytes_from_py(PyObject* obj, std::string* out) {
  const size_t mark = out->size();
  if (!is_tuple(Py_TYPE(obj))) {
    if (append_part(obj, out)) return true;
    out->resize(mark);
    return false;
  }
  const Py_ssize_t n = PyTuple_Size(obj);
  out->reserve(mark + 10 * static_cast<size_t>(n));
  for (Py_ssize_t k = 0; k < n; ++k) {
    if (!append_part(PyTuple_GetItem(obj, k), out)) {
      out->resize(mark);
      return false;
    }
  }
  return true;
}

bool prefix_from_py(PyObject* p, std::string* out) {
  PyTypeObject* t = Py_TYPE(p);
  if (is_tuple(t)) return key_bytes_from_py(p, out);
  const size_t mark = out->size();
  bool ok = false;
  switch (classify(t)) {
    case Scalar::kStr: ok = append_str(p, t == &PyUnicode_Type, false, out); break;
    case Scalar::kBytes: ok = append_bytes(p, false, out); break;
    case Scalar::kInt: {
      // The value is read first, so an out-of-range int fails on its range.
      std::int64_t v;
      if (read_int(p, &v)) PyErr_SetString(PyExc_TypeError, kIntPrefix);
      break;
    }
    case Scalar::kBool: PyErr_SetString(PyExc_TypeError, kBoolRefused); break;
    case Scalar::kOther: set_invalid_type(p); break;
  }
  if (!ok) out->resize(mark);
  return ok;
}

py::Ref key_to_py(std::string_view key_bytes) {
  DecodedKey key;
  Status s = key.decode(key_bytes);
  if (!s.ok()) return error::raise(s);
  if (key.size() == 1) return py::Ref::steal(part_to_py(key.part(0)));
  py::Ref tuple = py::Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(key.size())));
  if (!tuple) return tuple;
  for (size_t k = 0; k < key.size(); ++k) {
    PyObject* item = part_to_py(key.part(k));
    if (item == nullptr) return py::Ref();
    PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(k), item);  // steals `item`
  }
  return tuple;
}

}  // namespace tarnel::keys

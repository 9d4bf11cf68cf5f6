// Python dict -> BSON document bytes.
//
// One pass over the object tree appends the BSON encoding to the output buffer: an embedded
// document or array gets a length placeholder that is filled in when it closes. Field paths
// ("$", "$.a", "$.a[2]") are needed only for error messages, so the walk keeps a stack of
// borrowed name pointers and index numbers and renders the path only when it fails.
//
// Invariants of the walk:
//  - Every object whose conversion may run Python code (and so may lose its last reference from
//    the container being walked) is held by an owned reference for that conversion; the name
//    pointers on the path stack borrow from keys held that way.
//  - Once the encoding would reach 2 GiB the writer stops writing but the walk goes on, so a
//    conversion error anywhere still comes first, as it does for a NUL in a field name.
#include <bson/bson.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <unordered_map>
#include <vector>

#include "doc/doc.h"
#include "doc/datetime.h"
#include "error/error.h"
#include "py/convert.h"
#include "error/text.h"
#include "error/fault.h"

namespace tarnel::doc {
namespace {

// BSON element types written here: on disk, never change.
enum Type : char {
  kDouble = 0x01,
  kString = 0x02,
  kDocument = 0x03,
  kArray = 0x04,
  kBinary = 0x05,
  kBoolean = 0x08,
  kDateTime = 0x09,
  kNull = 0x0A,
  kInt32 = 0x10,
  kInt64 = 0x12,
};


inline void put_le32(char* p, uint32_t v) {
  p[0] = static_cast<char>(v);
  p[1] = static_cast<char>(v >> 8);
  p[2] = static_cast<char>(v >> 16);
  p[3] = static_cast<char>(v >> 24);
}

inline void append_le32(std::string* out, uint32_t v) {
  char b[4];
  put_le32(b, v);
  out->append(b, 4);
}

inline void append_le64(std::string* out, uint64_t v) {
  char b[8];
  put_le32(b, static_cast<uint32_t>(v));
  put_le32(b + 4, static_cast<uint32_t>(v >> 32));
  out->append(b, 8);
}

// The instants a datetime can hold: 0001-01-01T00:00:00.000Z to 9999-12-31T23:59:59.999Z.
constexpr int64_t kMinDatetimeMs = -62135596800000;
constexpr int64_t kMaxDatetimeMs = 253402300799999;

// Milliseconds of a time stamp in seconds: halfway rounds away from zero, out-of-range values
// saturate, NaN is 0 (the rules of a saturating float-to-int cast).
int64_t seconds_to_ms(double seconds) {
  double ms = std::round(seconds * 1000.0);
  if (std::isnan(ms)) return 0;
  if (ms >= 9223372036854775808.0) return std::numeric_limits<int64_t>::max();
  if (ms < -9223372036854775808.0) return std::numeric_limits<int64_t>::min();
  return static_cast<int64_t>(ms);
}

// Milliseconds since the epoch of a datetime (or subclass) instance; a naive one is taken as
// UTC. Runs the object's tzinfo, replace and timestamp. False with the exception set.
bool datetime_to_ms(PyObject* obj, int64_t* ms) {
  const Names& n = names();
  py::Ref tz = py::Ref::steal(PyObject_GetAttr(obj, n.tzinfo));
  if (!tz) return false;
  py::Ref aware;
  if (tz.get() == Py_None) {
    py::Ref module = datetime_module();
    if (!module) return false;
    py::Ref utc = utc_of(module.get());
    if (!utc) return false;
    py::Ref replace = py::Ref::steal(PyObject_GetAttr(obj, n.replace));
    if (!replace) return false;
    py::Ref kwargs = py::Ref::steal(PyDict_New());
    py::Ref args = py::Ref::steal(PyTuple_New(0));
    if (!kwargs || !args || PyDict_SetItem(kwargs.get(), n.tzinfo, utc.get()) < 0) return false;
    aware = py::Ref::steal(PyObject_Call(replace.get(), args.get(), kwargs.get()));
    if (!aware) return false;
    obj = aware.get();
  }
  py::Ref stamp = py::Ref::steal(PyObject_CallMethodObjArgs(obj, n.timestamp, nullptr));
  if (!stamp) return false;
  double seconds = PyFloat_AsDouble(stamp.get());
  if (seconds == -1.0 && PyErr_Occurred()) return false;
  *ms = seconds_to_ms(seconds);
  return true;
}

// One step of a field path: a field name (borrowed UTF-8) or a list index.
struct Step {
  const char* name;
  size_t len;  // for an index: the index
  bool is_index;
  bool has_nul = false;  // a name BSON cannot hold: written empty, refused at the end
};

class Encoder {
 public:
  Encoder(std::string* out, size_t max_size) : out_(out), max_size_(max_size) {}

  // REQUIRES: `dict` is a dict or an instance of a subclass.
  bool encode(PyObject* dict);

 private:
  bool dict_to_bson(PyObject* dict);
  bool list_to_bson(PyObject* list);
  bool value_to_bson(PyObject* value, const Step& at);
  bool nested(PyObject* value, const Step& at, Type type);
  bool text(PyObject* value, const Step& at);
  bool unsupported(PyObject* value, const Step& at);

  // Writing. Every write goes through these; once the document is too large they write
  // nothing and the conversion only goes on to find conversion errors.
  bool room(size_t extra) {
    if (too_large_) return false;
    if (out_->size() + extra + static_cast<size_t>(depth_) <= max_size_) return true;
    too_large_ = true;
    return false;
  }
  void header(Type type, const Step& at, size_t payload);
  void fixed(Type type, const Step& at, const void* payload, size_t len) {
    header(type, at, len);
    if (!too_large_) out_->append(static_cast<const char*>(payload), len);
  }
  void blob(Type type, const Step& at, const char* data, size_t len, bool is_binary);

  bool dedupe(size_t start);

  std::string path() const;
  std::string path(const Step& at) const;

  std::string* out_;
  const size_t max_size_;
  bool too_large_ = false;
  // Documents and arrays open (the top-level one included); indexes into path_ below it.
  int depth_ = 0;
  // Counts calls into Python code that could change a dict under its walk.
  uint64_t python_calls_ = 0;
  // The first field name holding U+0000, in walk order.
  bool has_nul_name_ = false;
  std::string nul_name_;
  std::string scratch_;  // text of str subclasses
  // path_[0] is unused ("$"); path_[d] is the step that leads to the level-(d+1) container.
  Step path_[kMaxDepth + 1];
};

std::string Encoder::path() const {
  std::string p = "$";
  for (int d = 1; d < depth_; ++d) {
    const Step& s = path_[d];
    if (s.is_index) {
      p.append("[").append(std::to_string(s.len)).append("]");
    } else {
      p.append(".").append(s.name, s.len);
    }
  }
  return p;
}

std::string Encoder::path(const Step& at) const {
  std::string p = path();
  if (at.is_index) {
    p.append("[").append(std::to_string(at.len)).append("]");
  } else {
    p.append(".").append(at.name, at.len);
  }
  return p;
}

void Encoder::header(Type type, const Step& at, size_t payload) {
  char index[16];
  const char* name = at.name;
  size_t len = at.has_nul ? 0 : at.len;
  if (at.is_index) {
    const char* key;
    len = bson_uint32_to_string(static_cast<uint32_t>(at.len), &key, index, sizeof index);
    name = key;
  }
  if (!room(len + 2 + payload)) return;
  out_->push_back(type);
  out_->append(name, len);
  out_->push_back('\0');
}

void Encoder::blob(Type type, const Step& at, const char* data, size_t len, bool is_binary) {
  // int32 length, [subtype], bytes, [final zero of a string]
  header(type, at, len + 5);
  if (too_large_) return;
  if (is_binary) {
    append_le32(out_, static_cast<uint32_t>(len));
    out_->push_back('\0');  // subtype 0, generic
    out_->append(data, len);
  } else {
    append_le32(out_, static_cast<uint32_t>(len + 1));
    out_->append(data, len);
    out_->push_back('\0');
  }
}

bool Encoder::encode(PyObject* dict) {
  out_->clear();
  depth_ = 1;
  if (!dict_to_bson(dict)) return false;
  if (has_nul_name_) {
    std::string msg = "BSON error. Kind: Malformed BSON bytes. Message: cstring with interior null: ";
    error::append_quoted(nul_name_, &msg);
    msg.push_back('.');
    return error::raise(Status::error(std::move(msg)));
  }
  if (too_large_) {
    return error::raise(Status::error("document too large: its BSON encoding would exceed " +
                                      std::to_string(max_size_) + " bytes"));
  }
  return true;
}

// REQUIRES: depth_ counts this dict; the caller wrote its element header.
bool Encoder::dict_to_bson(PyObject* dict) {
  const size_t start = out_->size();
  if (room(4)) out_->append(4, '\0');
  const uint64_t calls_before = python_calls_;
  bool odd_keys = false;  // a key that is not exactly `str` may equal another one

  const Py_ssize_t size = PyDict_Size(dict);
  Py_ssize_t pos = 0, taken = 0;
  PyObject *k, *v;
  for (;;) {
    if (PyDict_Size(dict) != size) fault("dictionary changed size during iteration");
    if (taken > size) fault("dictionary keys changed during iteration");
    if (!PyDict_Next(dict, &pos, &k, &v)) break;
    ++taken;

    Step at{nullptr, 0, false};
    PyTypeObject* key_type = Py_TYPE(k);
    if (key_type != &PyUnicode_Type) {
      odd_keys = true;
      if (!(PyType_GetFlags(key_type) & Py_TPFLAGS_UNICODE_SUBCLASS)) {
        return error::raise(Status::type_error("non-string field name at " + path()));
      }
    }
    Py_ssize_t len;
    at.name = PyUnicode_AsUTF8AndSize(k, &len);
    if (at.name == nullptr) {
      PyErr_Clear();
      return error::raise(Status::type_error("non-string field name at " + path()));
    }
    at.len = static_cast<size_t>(len);
    if (std::memchr(at.name, 0, at.len) != nullptr) {
      if (!has_nul_name_) {
        has_nul_name_ = true;
        nul_name_.assign(at.name, at.len);
      }
      at.has_nul = true;
    }

    // Scalars of the exact built-in types convert without running Python code.
    PyTypeObject* t = Py_TYPE(v);
    if (v == Py_None || t == &PyBool_Type || t == &PyLong_Type || t == &PyFloat_Type ||
        t == &PyUnicode_Type || t == &PyBytes_Type) {
      if (!value_to_bson(v, at)) return false;
      continue;
    }
    py::Ref key = py::Ref::own(k);
    py::Ref value = py::Ref::own(v);
    if (!value_to_bson(value.get(), at)) return false;
  }

  if (room(0)) {
    out_->push_back('\0');
    put_le32(out_->data() + start, static_cast<uint32_t>(out_->size() - start));
    if (odd_keys || python_calls_ != calls_before) return dedupe(start);
  }
  return true;
}

// Two keys distinct to the dict may carry the same characters (str subclasses with their own
// equality), and a dict changed under the walk may yield a key twice: such a name becomes one
// field, at its first position, holding its last value. Rewrites the document that begins at
// `start`, the last thing in the buffer.
bool Encoder::dedupe(size_t start) {
  const auto* data = reinterpret_cast<const uint8_t*>(out_->data() + start);
  const size_t len = out_->size() - start;
  struct Field {
    uint32_t begin, end;
  };
  std::vector<Field> fields;
  std::unordered_map<std::string_view, size_t> first;  // name -> index in `fields`
  std::vector<size_t> order;                           // first positions, in order
  bson_iter_t it;
  if (!bson_iter_init_from_data(&it, data, len)) fault("encoder wrote a malformed document");
  bool dup = false;
  while (bson_iter_next(&it)) {
    std::string_view name(bson_iter_key(&it), bson_iter_key_len(&it));
    auto [slot, fresh] = first.try_emplace(name, fields.size());
    if (fresh) {
      order.push_back(fields.size());
      fields.push_back({it.off, it.next_off});
    } else {
      dup = true;
      fields[slot->second] = {it.off, it.next_off};
    }
  }
  if (it.err_off != 0) fault("encoder wrote a malformed document");
  if (!dup) return true;
  std::string rebuilt(4, '\0');
  for (size_t i : order) {
    rebuilt.append(reinterpret_cast<const char*>(data) + fields[i].begin,
                   fields[i].end - fields[i].begin);
  }
  rebuilt.push_back('\0');
  put_le32(rebuilt.data(), static_cast<uint32_t>(rebuilt.size()));
  out_->resize(start);
  out_->append(rebuilt);
  return true;
}

// REQUIRES: depth_ counts this list; the caller wrote its element header.
bool Encoder::list_to_bson(PyObject* list) {
  const size_t start = out_->size();
  if (room(4)) out_->append(4, '\0');
  const Py_ssize_t initial = PyList_Size(list);
  for (Py_ssize_t i = 0; i < std::min(initial, PyList_Size(list)); ++i) {
    py::Ref item = py::Ref::own(PyList_GetItem(list, i));
    if (!value_to_bson(item.get(), Step{nullptr, static_cast<size_t>(i), true})) return false;
  }
  if (room(0)) {
    out_->push_back('\0');
    put_le32(out_->data() + start, static_cast<uint32_t>(out_->size() - start));
  }
  return true;
}

bool Encoder::nested(PyObject* value, const Step& at, Type type) {
  if (depth_ >= kMaxDepth) {
    return error::raise(Status::value_error("document nested deeper than " +
                                            std::to_string(kMaxDepth) + " levels at " + path(at)));
  }
  header(type, at, 5);
  path_[depth_++] = at;
  bool ok = type == kDocument ? dict_to_bson(value) : list_to_bson(value);
  --depth_;
  return ok;
}

bool Encoder::text(PyObject* value, const Step& at) {
  if (Py_TYPE(value) == &PyUnicode_Type) {
    Py_ssize_t len;
    const char* utf8 = PyUnicode_AsUTF8AndSize(value, &len);
    if (utf8 != nullptr) {
      blob(kString, at, utf8, static_cast<size_t>(len), false);
      return true;
    }
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return false;
    PyErr_Clear();  // lone surrogates: the lenient rule below replaces them
  } else {
    ++python_calls_;  // a subclass's __str__
  }
  // `at` may borrow from a key that the call below releases; write the header first.
  scratch_.clear();
  header(kString, at, 0);
  if (!py::lenient_text(value, &scratch_)) return false;
  if (room(scratch_.size() + 5)) {
    append_le32(out_, static_cast<uint32_t>(scratch_.size() + 1));
    out_->append(scratch_);
    out_->push_back('\0');
  }
  return true;
}

bool Encoder::unsupported(PyObject* value, const Step& at) {
  ++python_calls_;
  std::string name;
  if (!py::type_name(Py_TYPE(value), &name)) return false;
  return error::raise(Status::type_error("unsupported type " + name + " at " + path(at)));
}

bool Encoder::value_to_bson(PyObject* value, const Step& at) {
  PyTypeObject* t = Py_TYPE(value);
  if (value == Py_None) {
    header(kNull, at, 0);
    return true;
  }
  if (t == &PyBool_Type) {
    char b = value == Py_True ? 1 : 0;
    fixed(kBoolean, at, &b, 1);
    return true;
  }
  unsigned long flags = PyType_GetFlags(t);
  if (flags & Py_TPFLAGS_LONG_SUBCLASS) {
    int overflow = 0;
    long long x = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (overflow != 0) {
      return error::raise(Status::value_error("int out of 64-bit range at " + path(at)));
    }
    if (x == -1 && PyErr_Occurred()) return false;
    if (x >= std::numeric_limits<int32_t>::min() && x <= std::numeric_limits<int32_t>::max()) {
      char b[4];
      put_le32(b, static_cast<uint32_t>(static_cast<int32_t>(x)));
      fixed(kInt32, at, b, 4);
    } else {
      header(kInt64, at, 8);
      if (!too_large_) append_le64(out_, static_cast<uint64_t>(x));
    }
    return true;
  }
  if (t == &PyFloat_Type || PyType_IsSubtype(t, &PyFloat_Type)) {
    double d = PyFloat_AsDouble(value);
    if (d == -1.0 && PyErr_Occurred()) return false;
    uint64_t bits;
    std::memcpy(&bits, &d, 8);
    header(kDouble, at, 8);
    if (!too_large_) append_le64(out_, bits);
    return true;
  }
  if (flags & Py_TPFLAGS_UNICODE_SUBCLASS) return text(value, at);
  if (flags & Py_TPFLAGS_BYTES_SUBCLASS) {
    char* data;
    Py_ssize_t len;
    if (PyBytes_AsStringAndSize(value, &data, &len) < 0) return false;
    blob(kBinary, at, data, static_cast<size_t>(len), true);
    return true;
  }
  if (PyType_IsSubtype(t, reinterpret_cast<PyTypeObject*>(datetime_class()))) {
    ++python_calls_;
    int64_t ms;
    if (!datetime_to_ms(value, &ms)) return false;
    // Reading gives a stored instant back as a datetime, which holds only years 1 to 9999 (in
    // UTC): an instant beyond would make the whole document unreadable, so it is not written.
    if (ms < kMinDatetimeMs || ms > kMaxDatetimeMs) {
      return error::raise(
          Status::value_error("datetime outside 0001-01-01 to 9999-12-31 UTC at " + path(at)));
    }
    header(kDateTime, at, 8);
    if (!too_large_) append_le64(out_, static_cast<uint64_t>(ms));
    return true;
  }
  if (flags & Py_TPFLAGS_DICT_SUBCLASS) return nested(value, at, kDocument);
  if (flags & Py_TPFLAGS_LIST_SUBCLASS) return nested(value, at, kArray);
  return unsupported(value, at);
}

}  // namespace

bool doc_to_bytes(PyObject* obj, std::string* out, size_t max_size) {
  if (!PyDict_Check(obj)) {
    std::string name;
    if (!py::type_name(Py_TYPE(obj), &name) && !py::clear_exception()) return false;
    return error::raise(Status::type_error("document must be a mapping, got " + name));
  }
  Encoder encoder(out, std::min(max_size, kMaxBsonSize));
  return encoder.encode(obj);
}

}  // namespace tarnel::doc

// Stored BSON document bytes -> new Python objects.
//
// The bytes are walked in place with libbson's iterator; nothing is copied but into the Python
// objects made. libbson checks element framing (lengths, terminators); UTF-8 of names and
// strings is checked here, by the strict decoder that makes each `str`. Recursion follows the
// nesting of documents and arrays and stops at kMaxDepth.
#include <bson/bson.h>

#include <cstring>

#include "doc/doc.h"
#include "doc/datetime.h"
#include "error/error.h"
#include "error/text.h"

namespace tarnel::doc {
namespace {

constexpr std::string_view kMalformed = "Malformed BSON bytes";

// "BSON error[ at key "k"| at array index i]. Kind: {kind}[. Message: {message}]."
struct Where {
  const char* key = nullptr;  // UTF-8, already validated
  size_t key_len = 0;
  int64_t index = -1;  // an array element
};

Status bson_error(const Where& at, std::string_view kind, std::string_view message) {
  std::string m = "BSON error";
  if (at.key != nullptr) {
    m.append(" at key ");
    error::append_quoted(std::string_view(at.key, at.key_len), &m);
  } else if (at.index >= 0) {
    m.append(" at array index ").append(std::to_string(at.index));
  }
  m.append(". Kind: ").append(kind);
  if (!message.empty()) m.append(". Message: ").append(message);
  m.push_back('.');
  return Status::error(std::move(m));
}

// A str from stored UTF-8; invalid UTF-8 becomes tarnel.Error.
py::Ref make_str(const char* s, size_t len, const Where& at) {
  PyObject* o = PyUnicode_DecodeUTF8(s, static_cast<Py_ssize_t>(len), "strict");
  if (o != nullptr) return py::Ref::steal(o);
  if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) return {};
  PyErr_Clear();
  return error::raise(bson_error(at, "Invalid UTF-8", {}));
}

// A stored instant (milliseconds since the epoch, UTC) as an aware datetime. Whole seconds go
// through fromtimestamp and the milliseconds are set as microseconds, so no float rounding
// touches the value. Exceptions of the datetime module pass unchanged.
py::Ref ms_to_datetime(int64_t ms) {
  const Names& n = names();
  int64_t secs = ms / 1000, rem = ms % 1000;
  if (rem < 0) {
    secs -= 1;
    rem += 1000;
  }
  py::Ref module = datetime_module();
  if (!module) return {};
  py::Ref utc = utc_of(module.get());
  if (!utc) return {};
  py::Ref cls = py::Ref::steal(PyObject_GetAttr(module.get(), n.datetime));
  if (!cls) return {};
  py::Ref stamp = py::Ref::steal(PyLong_FromLongLong(secs));
  if (!stamp) return {};
  py::Ref dt = py::Ref::steal(
      PyObject_CallMethodObjArgs(cls.get(), n.fromtimestamp, stamp.get(), utc.get(), nullptr));
  if (!dt || rem == 0) return dt;
  py::Ref replace = py::Ref::steal(PyObject_GetAttr(dt.get(), n.replace));
  py::Ref args = py::Ref::steal(PyTuple_New(0));
  py::Ref kwargs = py::Ref::steal(PyDict_New());
  py::Ref micro = py::Ref::steal(PyLong_FromLongLong(rem * 1000));
  if (!replace || !args || !kwargs || !micro ||
      PyDict_SetItem(kwargs.get(), n.microsecond, micro.get()) < 0) {
    return {};
  }
  return py::Ref::steal(PyObject_Call(replace.get(), args.get(), kwargs.get()));
}

// Text carried by an unsupported element, for its rendering; false when not UTF-8.
bool append_text(const char* s, size_t len, std::string* out) {
  std::string_view text(s, len);
  if (!error::check_utf8(text).ok()) return false;
  error::append_quoted(text, out);
  return true;
}

// Field names recur (rows of a table, the same fields in every document): the str objects of
// short names are kept in one process-wide direct-mapped table, so a repeated name costs a hash
// and a compare. Guarded by the interpreter lock: nothing in `get` lets another thread run. Its
// references are never released (at most kSlots small strs), so it needs no teardown at exit.
class NameCache {
 public:
  // A new reference to the str of the name, or empty with the exception set.
  py::Ref get(const char* s, size_t len) {
    if (len > kMaxLen) return make_str(s, len, Where{});
    uint32_t h = 2166136261u;
    for (size_t i = 0; i < len; ++i) h = (h ^ static_cast<unsigned char>(s[i])) * 16777619u;
    Entry& e = entries_[(h ^ (h >> 16)) % kSlots];
    if (e.str != nullptr && e.len == len && std::memcmp(e.bytes, s, len) == 0) {
      return py::Ref::own(e.str);
    }
    py::Ref str = make_str(s, len, Where{});
    if (!str) return {};
    Py_XDECREF(e.str);
    e.str = py::Ref::own(str.get()).release();
    e.len = static_cast<uint8_t>(len);
    std::memcpy(e.bytes, s, len);
    return str;
  }

 private:
  static constexpr size_t kMaxLen = 22;
  static constexpr size_t kSlots = 64;
  struct Entry {
    PyObject* str = nullptr;
    uint8_t len = 0;
    char bytes[kMaxLen];
  };
  Entry entries_[kSlots];
};

class Decoder {
 public:
  explicit Decoder(const uint8_t* root) : root_(root) {}

  // REQUIRES: the frame of {data, len} is checked.
  py::Ref dict(const uint8_t* data, size_t len, int depth);

 private:
  py::Ref list(const uint8_t* data, size_t len, int depth);
  py::Ref value(const bson_iter_t& it, const Where& at, int depth);
  py::Ref unexpected(const bson_iter_t& it, const Where& at);
  // Steps `it`; false at the end. Sets the error when the bytes are malformed.
  bool next(bson_iter_t* it, const uint8_t* data, bool* failed);
  Status malformed(const uint8_t* data, uint32_t offset) const {
    return bson_error({}, kMalformed,
                      "malformed element at byte " + std::to_string(data - root_ + offset));
  }

  const uint8_t* root_;
};

NameCache g_name_cache;

bool Decoder::next(bson_iter_t* it, const uint8_t* data, bool* failed) {
  if (bson_iter_next(it)) return true;
  // libbson leaves err_off at 0 only when the walk stopped at the document's final byte.
  if (it->err_off != 0) {
    error::raise(malformed(data, it->err_off));
    *failed = true;
  }
  return false;
}

py::Ref Decoder::dict(const uint8_t* data, size_t len, int depth) {
  bson_iter_t it;
  if (!bson_iter_init_from_data(&it, data, len)) return error::raise(malformed(data, 0));
  py::Ref result = py::Ref::steal(PyDict_New());
  if (!result) return {};
  bool failed = false;
  while (next(&it, data, &failed)) {
    Where at;
    at.key = bson_iter_key(&it);
    at.key_len = bson_iter_key_len(&it);
    py::Ref key = g_name_cache.get(at.key, at.key_len);
    if (!key) return {};
    py::Ref v = value(it, at, depth);
    if (!v) return {};
    // A name stored twice keeps its first position and takes the later value.
    if (PyDict_SetItem(result.get(), key.get(), v.get()) < 0) return {};
  }
  if (failed) return {};
  return result;
}

py::Ref Decoder::list(const uint8_t* data, size_t len, int depth) {
  bson_iter_t it;
  if (!bson_iter_init_from_data(&it, data, len)) return error::raise(malformed(data, 0));
  py::Ref result = py::Ref::steal(PyList_New(0));
  if (!result) return {};
  bool failed = false;
  Where at;
  at.index = 0;
  for (; next(&it, data, &failed); ++at.index) {
    py::Ref v = value(it, at, depth);
    if (!v || PyList_Append(result.get(), v.get()) < 0) return {};
  }
  if (failed) return {};
  return result;
}

py::Ref Decoder::value(const bson_iter_t& it, const Where& at, int depth) {
  switch (bson_iter_type(&it)) {
    case BSON_TYPE_DOUBLE:
      return py::Ref::steal(PyFloat_FromDouble(bson_iter_double(&it)));
    case BSON_TYPE_UTF8: {
      uint32_t len;
      const char* s = bson_iter_utf8(&it, &len);
      return make_str(s, len, at);
    }
    case BSON_TYPE_DOCUMENT:
    case BSON_TYPE_ARRAY: {
      uint32_t len;
      const uint8_t* data;
      if (bson_iter_type(&it) == BSON_TYPE_DOCUMENT) {
        bson_iter_document(&it, &len, &data);
      } else {
        bson_iter_array(&it, &len, &data);
      }
      if (depth >= kMaxDepth) {
        return error::raise(Status::error("stored document nested deeper than " +
                                          std::to_string(kMaxDepth) + " levels"));
      }
      return bson_iter_type(&it) == BSON_TYPE_DOCUMENT ? dict(data, len, depth + 1)
                                                       : list(data, len, depth + 1);
    }
    case BSON_TYPE_BINARY: {
      bson_subtype_t subtype;
      uint32_t len;
      const uint8_t* data;
      bson_iter_binary(&it, &subtype, &len, &data);
      return py::Ref::steal(
          PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data), len));
    }
    case BSON_TYPE_BOOL:
      return py::Ref::own(bson_iter_bool(&it) ? Py_True : Py_False);
    case BSON_TYPE_DATE_TIME:
      return ms_to_datetime(bson_iter_date_time(&it));
    case BSON_TYPE_NULL:
      return py::Ref::own(Py_None);
    case BSON_TYPE_INT32:
      return py::Ref::steal(PyLong_FromLong(bson_iter_int32(&it)));
    case BSON_TYPE_INT64:
      return py::Ref::steal(PyLong_FromLongLong(bson_iter_int64(&it)));
    default:
      return unexpected(it, at);
  }
}

// Elements of kinds that documents written here never hold: tarnel.Error naming the kind.
py::Ref Decoder::unexpected(const bson_iter_t& it, const Where& at) {
  std::string r;
  bool text_ok = true;
  uint32_t len;
  switch (bson_iter_type(&it)) {
    case BSON_TYPE_OID: {
      char hex[25];
      bson_oid_to_string(bson_iter_oid(&it), hex);
      r.append("ObjectId(\"").append(hex).append("\")");
      break;
    }
    case BSON_TYPE_UNDEFINED:
      r = "Undefined";
      break;
    case BSON_TYPE_REGEX: {
      const char* options;
      const char* pattern = bson_iter_regex(&it, &options);
      r = "RegularExpression(pattern: ";
      text_ok = append_text(pattern, std::strlen(pattern), &r);
      r.append(", options: ");
      text_ok = text_ok && append_text(options, std::strlen(options), &r);
      r.push_back(')');
      break;
    }
    case BSON_TYPE_DBPOINTER: {
      const char* ns;
      const bson_oid_t* oid;
      bson_iter_dbpointer(&it, &len, &ns, &oid);
      char hex[25];
      bson_oid_to_string(oid, hex);
      r = "DbPointer(namespace: ";
      text_ok = append_text(ns, len, &r);
      r.append(", id: ObjectId(\"").append(hex).append("\"))");
      break;
    }
    case BSON_TYPE_CODE: {
      const char* code = bson_iter_code(&it, &len);
      r = "JavaScriptCode(";
      text_ok = append_text(code, len, &r);
      r.push_back(')');
      break;
    }
    case BSON_TYPE_SYMBOL: {
      const char* symbol = bson_iter_symbol(&it, &len);
      r = "Symbol(";
      text_ok = append_text(symbol, len, &r);
      r.push_back(')');
      break;
    }
    case BSON_TYPE_CODEWSCOPE: {
      uint32_t scope_len;
      const uint8_t* scope;
      const char* code = bson_iter_codewscope(&it, &len, &scope_len, &scope);
      r = "JavaScriptCodeWithScope(code: ";
      text_ok = append_text(code, len, &r);
      r.append(", scope: ").append(std::to_string(scope_len)).append(" bytes)");
      break;
    }
    case BSON_TYPE_TIMESTAMP: {
      uint32_t time, increment;
      bson_iter_timestamp(&it, &time, &increment);
      r.append("Timestamp(time: ").append(std::to_string(time));
      r.append(", increment: ").append(std::to_string(increment)).append(")");
      break;
    }
    case BSON_TYPE_DECIMAL128: {
      bson_decimal128_t dec;
      bson_iter_decimal128(&it, &dec);
      char s[BSON_DECIMAL128_STRING];
      bson_decimal128_to_string(&dec, s);
      r.append("Decimal128(").append(s).append(")");
      break;
    }
    case BSON_TYPE_MAXKEY:
      r = "MaxKey";
      break;
    case BSON_TYPE_MINKEY:
      r = "MinKey";
      break;
    default:  // libbson's iterator yields no other type
      return error::raise(bson_error(at, kMalformed, "unknown element type"));
  }
  if (!text_ok) return error::raise(bson_error(at, "Invalid UTF-8", {}));
  return error::raise(Status::error("unexpected BSON element " + r + " in stored document"));
}

inline uint32_t read_le32(const char* p) {
  const auto* b = reinterpret_cast<const unsigned char*>(p);
  return uint32_t{b[0]} | uint32_t{b[1]} << 8 | uint32_t{b[2]} << 16 | uint32_t{b[3]} << 24;
}

// The outer frame of stored document bytes: at least five bytes, a length prefix equal to
// their number, a final zero byte.
Status check_frame(std::string_view bytes) {
  if (bytes.size() < 5) return bson_error({}, kMalformed, "document too short");
  if (read_le32(bytes.data()) != bytes.size()) {
    return bson_error({}, kMalformed, "document length incorrect");
  }
  if (bytes.back() != '\0') return bson_error({}, kMalformed, "document not null-terminated");
  return Status();
}

}  // namespace

py::Ref bytes_to_doc(std::string_view bytes) {
  Status s = check_frame(bytes);
  if (!s.ok()) return error::raise(s);
  const auto* data = reinterpret_cast<const uint8_t*>(bytes.data());
  Decoder decoder(data);
  return decoder.dict(data, bytes.size(), 1);
}

}  // namespace tarnel::doc

#include "doc/pyobjects.h"

#include <atomic>

#include "py/fault.h"

namespace tarnel::doc {
namespace {

Names g_names;
bool g_names_ready = false;  // guarded by the interpreter lock

// Published once; the interpreter lock orders readers and the writer.
std::atomic<PyObject*> g_datetime_class{nullptr};

// The pending exception as "Type: message", cleared.
std::string take_exception_text() {
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  std::string text;
  if (type != nullptr) {
    py::Ref name = py::Ref::steal(PyObject_GetAttrString(type, "__name__"));
    const char* s = name && PyUnicode_Check(name.get()) ? PyUnicode_AsUTF8AndSize(name.get(), nullptr)
                                                        : nullptr;
    if (s != nullptr) text = s;
  }
  if (value != nullptr) {
    py::Ref str = py::Ref::steal(PyObject_Str(value));
    const char* s = str ? PyUnicode_AsUTF8AndSize(str.get(), nullptr) : nullptr;
    if (s != nullptr) text.append(": ").append(s);
  }
  PyErr_Clear();
  Py_XDECREF(type);
  Py_XDECREF(value);
  Py_XDECREF(tb);
  return text;
}

PyObject* intern(const char* s) {
  PyObject* o = PyUnicode_InternFromString(s);
  if (o == nullptr) fault("could not make interned name: " + take_exception_text());
  return o;
}

}  // namespace

const Names& names() {
  if (!g_names_ready) {
    // Nothing here lets another thread run, so no second thread can get in between.
    g_names = Names{intern("datetime"),  intern("timezone"),      intern("utc"),
                    intern("tzinfo"),    intern("replace"),       intern("timestamp"),
                    intern("fromtimestamp"), intern("microsecond")};
    g_names_ready = true;
  }
  return g_names;
}

PyObject* datetime_class() {
  PyObject* cls = g_datetime_class.load(std::memory_order_acquire);
  if (cls != nullptr) return cls;
  py::Ref module = py::Ref::steal(PyImport_Import(names().datetime));
  py::Ref found;
  if (module) found = py::Ref::steal(PyObject_GetAttr(module.get(), names().datetime));
  if (!found) fault(take_exception_text());
  // The import may have let another thread get here first; keep the class it published.
  PyObject* expected = nullptr;
  if (g_datetime_class.compare_exchange_strong(expected, found.get())) return found.release();
  return expected;
}

py::Ref datetime_module() {
  PyObject* name = names().datetime;
  py::Ref module = py::Ref::steal(PyImport_GetModule(name));
  if (module || PyErr_Occurred()) return module;
  return py::Ref::steal(PyImport_Import(name));
}

py::Ref utc_of(PyObject* module) {
  py::Ref timezone = py::Ref::steal(PyObject_GetAttr(module, names().timezone));
  if (!timezone) return {};
  return py::Ref::steal(PyObject_GetAttr(timezone.get(), names().utc));
}

void append_quoted(std::string_view text, std::string* out) {
  static constexpr char kHex[] = "0123456789abcdef";
  out->push_back('"');
  for (char ch : text) {
    auto c = static_cast<unsigned char>(ch);
    switch (c) {
      case 0: out->append("\\0"); continue;
      case '\t': out->append("\\t"); continue;
      case '\r': out->append("\\r"); continue;
      case '\n': out->append("\\n"); continue;
      case '\\': out->append("\\\\"); continue;
      case '"': out->append("\\\""); continue;
      default: break;
    }
    if (c < 0x20 || c == 0x7f) {
      out->append("\\u{");
      if (c >= 0x10) out->push_back(kHex[c >> 4]);
      out->push_back(kHex[c & 0xf]);
      out->push_back('}');
    } else {
      out->push_back(ch);
    }
  }
  out->push_back('"');
}

bool is_utf8(std::string_view bytes) {
  const auto* s = reinterpret_cast<const unsigned char*>(bytes.data());
  size_t n = bytes.size(), i = 0;
  while (i < n) {
    unsigned char c = s[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    size_t need;
    unsigned char lo = 0x80, hi = 0xBF;  // bounds of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
      need = 1;
    } else if (c >= 0xE0 && c <= 0xEF) {
      need = 2;
      if (c == 0xE0) lo = 0xA0;
      if (c == 0xED) hi = 0x9F;  // no surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
      need = 3;
      if (c == 0xF0) lo = 0x90;
      if (c == 0xF4) hi = 0x8F;
    } else {
      return false;
    }
    if (n - i <= need) return false;
    if (s[i + 1] < lo || s[i + 1] > hi) return false;
    for (size_t k = 2; k <= need; ++k) {
      if ((s[i + k] & 0xC0) != 0x80) return false;
    }
    i += need + 1;
  }
  return true;
}

}  // namespace tarnel::doc

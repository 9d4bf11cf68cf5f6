#include "py/convert.h"

#include <climits>
#include <cstring>

#include "py/ref.h"

namespace tarnel::py {
namespace {

// Surrogate code points come out of the "surrogatepass" encoding as ED A0..BF 80..BF; the lenient
// decoding turns each such sequence into three U+FFFD (each of its bytes is a maximal ill-formed
// subsequence). Everything else in that encoding is well-formed and passes unchanged.
void append_replacing_surrogates(const char* s, size_t n, std::string* out) {
  static constexpr char kReplacement[] = "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD";
  size_t start = 0;
  for (size_t i = 0; i + 2 < n; ++i) {
    auto b0 = static_cast<unsigned char>(s[i]);
    auto b1 = static_cast<unsigned char>(s[i + 1]);
    if (b0 == 0xED && b1 >= 0xA0) {
      out->append(s + start, i - start);
      out->append(kReplacement, 9);
      i += 2;
      start = i + 1;
    }
  }
  out->append(s + start, n - start);
}

// Text of a `str` object (exact or not) with surrogates replaced.
bool append_str_text(PyObject* s, std::string* out) {
  Py_ssize_t len = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(s, &len);
  if (utf8 != nullptr) {
    out->append(utf8, static_cast<size_t>(len));
    return true;
  }
  if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return false;
  PyErr_Clear();
  Ref bytes = Ref::steal(PyUnicode_AsEncodedString(s, "utf-8", "surrogatepass"));
  if (!bytes) return false;
  append_replacing_surrogates(PyBytes_AsString(bytes.get()),
                              static_cast<size_t>(PyBytes_Size(bytes.get())), out);
  return true;
}

Ref type_qualname(PyTypeObject* type) {
  return Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__qualname__"));
}

}  // namespace

void add_arg_note(const char* arg) {
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  if (type == nullptr) return;
  PyErr_NormalizeException(&type, &value, &tb);
  if (tb != nullptr && value != nullptr) PyException_SetTraceback(value, tb);
  if (value != nullptr) {
    Ref note = Ref::steal(PyUnicode_FromFormat("while processing '%s'", arg));
    if (note) {
      Ref r = Ref::steal(PyObject_CallMethod(value, "add_note", "O", note.get()));
      if (!r) PyErr_Clear();
    } else {
      PyErr_Clear();
    }
  }
  PyErr_Restore(type, value, tb);
}

void set_downcast_error(PyObject* obj, const char* expected) {
  if (obj == Py_None) {
    PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", expected);
    return;
  }
  Ref name = type_qualname(Py_TYPE(obj));
  if (!name) return;
  PyErr_Format(PyExc_TypeError, "'%S' object is not an instance of '%s'", name.get(), expected);
}

bool arg_str(PyObject* obj, const char* arg, std::string_view* out) {
  if (!PyUnicode_Check(obj)) {
    set_downcast_error(obj, "str");
    add_arg_note(arg);
    return false;
  }
  Py_ssize_t len = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &len);
  if (utf8 == nullptr) {
    add_arg_note(arg);
    return false;
  }
  *out = std::string_view(utf8, static_cast<size_t>(len));
  return true;
}

namespace {

bool is_numpy_bool(PyTypeObject* type) {
  PyObject* t = reinterpret_cast<PyObject*>(type);
  Ref module = Ref::steal(PyObject_GetAttrString(t, "__module__"));
  if (!module || !PyUnicode_Check(module.get())) {
    if (!module) clear_exception();  // anything else stays pending for the caller
    return false;
  }
  if (PyUnicode_CompareWithASCIIString(module.get(), "numpy") != 0) return false;
  Ref name = Ref::steal(PyObject_GetAttrString(t, "__name__"));
  if (!name || !PyUnicode_Check(name.get())) {
    if (!name) clear_exception();
    return false;
  }
  return PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0 ||
         PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0;
}

bool extract_bool(PyObject* obj, bool* out) {
  if (obj == Py_True || obj == Py_False) {
    *out = obj == Py_True;
    return true;
  }
  if (obj == Py_None || !is_numpy_bool(Py_TYPE(obj))) {
    if (PyErr_Occurred()) return false;
    set_downcast_error(obj, "bool");
    return false;
  }
  // Looked up on the type, as the interpreter looks up special methods.
  Ref meth = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__bool__"));
  if (!meth) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "object of type '%S' does not define a '__bool__' conversion",
                 reinterpret_cast<PyObject*>(Py_TYPE(obj)));
    return false;
  }
  Ref result = Ref::steal(PyObject_CallFunctionObjArgs(meth.get(), obj, nullptr));
  if (!result) return false;
  if (result.get() != Py_True && result.get() != Py_False) {
    set_downcast_error(result.get(), "bool");
    return false;
  }
  *out = result.get() == Py_True;
  return true;
}

}  // namespace

bool arg_bool(PyObject* obj, const char* arg, bool* out) {
  if (extract_bool(obj, out)) return true;
  add_arg_note(arg);
  return false;
}

bool arg_path(PyObject* obj, const char* arg, std::string* out) {
  Ref fspath = Ref::steal(PyOS_FSPath(obj));
  if (!fspath) {
    add_arg_note(arg);
    return false;
  }
  if (!PyUnicode_Check(fspath.get())) {
    set_downcast_error(fspath.get(), "str");
    add_arg_note(arg);
    return false;
  }
  Ref encoded = Ref::steal(PyUnicode_EncodeFSDefault(fspath.get()));
  if (!encoded) {
    add_arg_note(arg);
    return false;
  }
  out->assign(PyBytes_AsString(encoded.get()), static_cast<size_t>(PyBytes_Size(encoded.get())));
  return true;
}

bool arg_u8(PyObject* obj, const char* arg, std::uint8_t* out) {
  long long v;
  if (PyLong_Check(obj)) {
    v = PyLong_AsLongLong(obj);
  } else {
    Ref index = Ref::steal(PyNumber_Index(obj));
    if (!index) {
      add_arg_note(arg);
      return false;
    }
    v = PyLong_AsLongLong(index.get());
  }
  if (v == -1 && PyErr_Occurred()) {
    add_arg_note(arg);
    return false;
  }
  if (v < 0 || v > 255) {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    add_arg_note(arg);
    return false;
  }
  *out = static_cast<std::uint8_t>(v);
  return true;
}

bool type_name(PyTypeObject* type, std::string* out) {
  Ref name = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__name__"));
  if (!name) return false;
  if (!PyUnicode_Check(name.get())) {
    PyErr_SetString(PyExc_TypeError, "__name__ of the type is not a str");
    return false;
  }
  Py_ssize_t len = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(name.get(), &len);
  if (utf8 == nullptr) return false;
  out->assign(utf8, static_cast<size_t>(len));
  return true;
}

bool lenient_text(PyObject* obj, std::string* out) {
  if (PyUnicode_CheckExact(obj)) return append_str_text(obj, out);
  Ref text = Ref::steal(PyObject_Str(obj));
  if (text) return append_str_text(text.get(), out);
  if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;  // Ctrl-C, SystemExit: propagate
  PyErr_WriteUnraisable(obj);
  std::string name;
  if (type_name(Py_TYPE(obj), &name)) {
    out->append("<unprintable ").append(name).append(" object>");
  } else {
    if (!clear_exception()) return false;
    out->append("<unprintable object>");
  }
  return true;
}

bool clear_exception() {
  if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
  PyErr_Clear();
  return true;
}

}  // namespace tarnel::py

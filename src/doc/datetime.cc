#include "doc/datetime.h"

#include <atomic>
#include <string>

#include "error/fault.h"

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

}  // namespace tarnel::doc

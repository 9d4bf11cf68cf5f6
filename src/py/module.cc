#include "py/module.h"

#include "error/fault.h"
#include "py/ref.h"

namespace tarnel::py {

bool add_to_module(PyObject* module, const char* name, PyObject* value) {
  Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = Ref::steal(PyList_New(0));
    if (!all) return false;
    if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
  }
  Ref text = Ref::steal(PyUnicode_FromString(name));
  if (!text) return false;
  if (!PyList_Check(all.get()) || PyList_Append(all.get(), text.get()) < 0) {
    PyErr_Clear();
    fault("could not append __name__ to __all__");
  }
  return PyObject_SetAttrString(module, name, value) == 0;
}

}  // namespace tarnel::py

#include "py/types.h"

namespace tarnel::py {

PyObject* alloc(PyObject* type) {
  auto alloc_fn = reinterpret_cast<allocfunc>(
      PyType_GetSlot(reinterpret_cast<PyTypeObject*>(type), Py_tp_alloc));
  return alloc_fn(reinterpret_cast<PyTypeObject*>(type), 0);
}

}  // namespace tarnel::py

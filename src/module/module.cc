// The extension module _tarnel: PyInit__tarnel and its one execution step.
#include "collection/python_classes.h"
#include "db/database.h"
#include "error/error.h"
#include "py/convert.h"
#include "py/boundary.h"
#include "py/module.h"
#include "py/ref.h"

namespace tarnel {
namespace {

bool add_class(PyObject* module, const char* name, PyObject* type) {
  if (type == nullptr) return false;
  return py::add_to_module(module, name, type);
}

// The module body: classes, open, Error, in this order; the first failure stops it.
bool module_body(PyObject* module) {
  if (!add_class(module, "Database", db::database_type())) return false;
  if (!add_class(module, "Collection", collection::collection_type())) return false;
  if (!add_class(module, "CollectionIter", collection::iter_type())) return false;
  py::Ref name = py::Ref::steal(PyModule_GetNameObject(module));
  if (!name) return false;
  py::Ref open = py::Ref::steal(PyCFunction_NewEx(&db::kOpenDef, module, name.get()));
  if (!open) return false;
  if (!py::add_to_module(module, "open", open.get())) return false;
  return error::register_class(module);
}

int exec_module(PyObject* module) {
  return py::boundary<int>([&]() -> int {
    if (!PyModule_Check(module)) {
      py::set_downcast_error(module, "module");
      return -1;
    }
    return module_body(module) ? 0 : -1;
  });
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module)},
    {0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT, "_tarnel", "", 0, nullptr, kSlots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace tarnel

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__tarnel() {
  return PyModuleDef_Init(&tarnel::kModule);
}

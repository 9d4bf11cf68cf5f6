// Module-level helpers of the binding layer.
#ifndef TARNEL_PY_MODULE_H_
#define TARNEL_PY_MODULE_H_

#include "py/python.h"

namespace tarnel::py {

// Appends `name` to the module's __all__ (creating the list when absent), then sets the
// attribute. A failing append is the fault "could not append __name__ to __all__". Returns false
// with the exception set when the attribute cannot be set. `value` is borrowed.
bool add_to_module(PyObject* module, const char* name, PyObject* value);

}  // namespace tarnel::py

#endif  // TARNEL_PY_MODULE_H_

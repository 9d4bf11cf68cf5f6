// The one argument binder of every Python-visible function.
//
// Functions are METH_FASTCALL | METH_KEYWORDS. `bind` places each argument, given by position or
// by keyword, into its parameter's slot (borrowed pointers; null for an absent optional one) and
// raises the binder's TypeErrors, whose first placeholder names the function as
// "Collection.put()" or "open()":
//   "{} takes {} positional arguments but {} were given"
//   "{} got an unexpected keyword argument '{}'"
//   "{} got multiple values for argument '{}'"
//   "{} missing {} required positional argument(s): 'a' and 'b'"
#ifndef TARNEL_PY_ARGS_H_
#define TARNEL_PY_ARGS_H_

#include "py/python.h"

namespace tarnel::py {

struct Signature {
  const char* name;          // "Collection.put()"
  const char* const* params;  // parameter names, all positional-or-keyword
  int nparams;
  int nrequired;  // the first `nrequired` parameters are required
};

// Returns false with TypeError set on a binding failure. `out` has room for sig.nparams slots.
bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          PyObject** out);

}  // namespace tarnel::py

#endif  // TARNEL_PY_ARGS_H_

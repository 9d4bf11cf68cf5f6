#include "py/args.h"

#include <cstring>
#include <string>

namespace tarnel::py {
namespace {

void missing(const Signature& sig, PyObject** out) {
  int n = 0;
  for (int i = 0; i < sig.nrequired; ++i) n += out[i] == nullptr;
  std::string list;
  int k = 0;
  for (int i = 0; i < sig.nrequired; ++i) {
    if (out[i] != nullptr) continue;
    if (k != 0) {
      if (n > 2) list += ',';
      list += k == n - 1 ? " and " : " ";
    }
    list += '\'';
    list += sig.params[i];
    list += '\'';
    ++k;
  }
  PyErr_Format(PyExc_TypeError, "%s missing %d required positional argument%s: %s", sig.name, n,
               n == 1 ? "" : "s", list.c_str());
}

}  // namespace

bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          PyObject** out) {
  if (nargs > sig.nparams) {
    const char* were = nargs == 1 ? "was" : "were";
    if (sig.nrequired != sig.nparams) {
      PyErr_Format(PyExc_TypeError, "%s takes from %d to %d positional arguments but %zd %s given",
                   sig.name, sig.nrequired, sig.nparams, nargs, were);
    } else {
      PyErr_Format(PyExc_TypeError, "%s takes %d positional arguments but %zd %s given", sig.name,
                   sig.nparams, nargs, were);
    }
    return false;
  }
  for (int i = 0; i < sig.nparams; ++i) out[i] = i < nargs ? args[i] : nullptr;
  if (kwnames != nullptr) {
    Py_ssize_t nkw = PyTuple_Size(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      PyObject* kw = PyTuple_GetItem(kwnames, k);  // borrowed
      Py_ssize_t len = 0;
      const char* text = PyUnicode_AsUTF8AndSize(kw, &len);
      if (text == nullptr) return false;
      int slot = -1;
      for (int i = 0; i < sig.nparams; ++i) {
        if (std::strlen(sig.params[i]) == static_cast<size_t>(len) &&
            std::memcmp(sig.params[i], text, len) == 0) {
          slot = i;
          break;
        }
      }
      if (slot < 0) {
        PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", sig.name, kw);
        return false;
      }
      if (out[slot] != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", sig.name,
                     sig.params[slot]);
        return false;
      }
      out[slot] = args[nargs + k];
    }
  }
  for (int i = 0; i < sig.nrequired; ++i) {
    if (out[i] == nullptr) {
      missing(sig, out);
      return false;
    }
  }
  return true;
}

}  // namespace tarnel::py

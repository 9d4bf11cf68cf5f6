// Heap types of the binding layer and the wrappers every slot goes through.
//
// Types are made from specs named "builtins.<Class>" (so __module__ is "builtins"), without the
// base-type flag, with Py_TPFLAGS_DISALLOW_INSTANTIATION, and with no dict or weakref slot. Each
// is made at its first use (module init asks for all of them) and kept (LazyType). Instances hold
// C++ members after the object header; they are built with placement new by the maker and
// destroyed by `dealloc<T>`.
#ifndef TARNEL_PY_TYPES_H_
#define TARNEL_PY_TYPES_H_

#include <new>

#include "py/boundary.h"
#include "py/python.h"

namespace tarnel::py {

using FastFn = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
using NoArgsFn = PyObject* (*)(PyObject*);

// A METH_FASTCALL | METH_KEYWORDS entry point behind the fault boundary.
template <FastFn F>
PyObject* fastcall(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return boundary<PyObject*>([&] { return F(self, args, nargs, kwnames); });
}
template <NoArgsFn F>
PyObject* noargs(PyObject* self, PyObject*) {
  return boundary<PyObject*>([&] { return F(self); });
}
template <NoArgsFn F>
PyObject* unary(PyObject* self) {
  return boundary<PyObject*>([&] { return F(self); });
}

#define TARNEL_FASTCALL(fn) \
  reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&::tarnel::py::fastcall<fn>))
#define TARNEL_NOARGS(fn) (&::tarnel::py::noargs<fn>)

// Allocates an instance of `type` (borrowed) without running any constructor.
PyObject* alloc(PyObject* type);

// tp_dealloc of a type whose instances are `T`: runs ~T, frees the memory, drops the type's
// reference. Keeps a pending exception across the destructor.
template <class T>
void dealloc(PyObject* self) {
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(self));
  PyObject *et, *ev, *etb;
  PyErr_Fetch(&et, &ev, &etb);
  reinterpret_cast<T*>(self)->~T();
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(Py_TYPE(self), Py_tp_free));
  free_fn(self);
  Py_DECREF(type);
  PyErr_Restore(et, ev, etb);
}

// The type made from `spec`, made by the first get() that finds none and kept for the life of
// the process. get() returns it borrowed, or null with the exception set when making it fails (a
// later get() tries again). REQUIRES: the interpreter lock is held.
class LazyType {
 public:
  explicit constexpr LazyType(PyType_Spec* spec) : spec_(spec) {}
  LazyType(const LazyType&) = delete;
  LazyType& operator=(const LazyType&) = delete;
  PyObject* get() {
    if (type_ == nullptr) type_ = PyType_FromSpec(spec_);
    return type_;
  }

 private:
  PyType_Spec* const spec_;
  PyObject* type_ = nullptr;
};

}  // namespace tarnel::py

#endif  // TARNEL_PY_TYPES_H_

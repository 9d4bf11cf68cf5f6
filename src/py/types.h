// Heap types of the binding layer and the wrappers every slot goes through.
//
// Classes are made from specs named "builtins.<Class>" (so __module__ is "builtins"), without the
// base-type flag, with Py_TPFLAGS_DISALLOW_INSTANTIATION, and with no dict or weakref slot (see
// Class). Instances hold one C++ value after the object header; it is built with placement new
// by Class::make and destroyed by `dealloc<T>`.
#ifndef TARNEL_PY_TYPES_H_
#define TARNEL_PY_TYPES_H_

#include <new>
#include <utility>

#include "py/boundary.h"
#include "py/python.h"
#include "py/ref.h"

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

// An instance of a class made here: the object header, then the C++ value it holds.
template <class T>
struct Object {
  PyObject_HEAD
  T value;
};

// The C++ value of `self`, an instance of a class whose instances hold a T.
template <class T>
T& value_of(PyObject* self) {
  return reinterpret_cast<Object<T>*>(self)->value;
}

// tp_dealloc of a class whose instances hold a T: runs ~T, frees the memory, drops the type's
// reference. Keeps a pending exception across the destructor.
template <class T>
void dealloc(PyObject* self) {
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(self));
  PyObject *et, *ev, *etb;
  PyErr_Fetch(&et, &ev, &etb);
  value_of<T>(self).~T();
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(Py_TYPE(self), Py_tp_free));
  free_fn(self);
  Py_DECREF(type);
  PyErr_Restore(et, ev, etb);
}

// A Python class whose instances hold a T. Its type object is made from its PyType_Spec by the
// first type() that finds none and kept for the life of the process (module init asks for every
// class first). REQUIRES: the interpreter lock is held for every call.
template <class T>
class Class {
 public:
  // A class with the given slots (tp_dealloc among them).
  constexpr Class(const char* name, PyType_Slot* slots)
      : spec_{name, static_cast<int>(sizeof(Object<T>)), 0,
              Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots} {}
  // A class with methods and nothing else of its own: dealloc<T>, then `methods`.
  Class(const char* name, PyMethodDef* methods)
      : own_slots_{{Py_tp_dealloc, reinterpret_cast<void*>(&dealloc<T>)},
                   {Py_tp_methods, methods},
                   {0, nullptr}},
        spec_{name, static_cast<int>(sizeof(Object<T>)), 0,
              Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, own_slots_} {}
  Class(const Class&) = delete;
  Class& operator=(const Class&) = delete;

  // The type object (borrowed), or null with the exception set when making it fails (a later
  // call tries again).
  PyObject* type() {
    if (type_ == nullptr) type_ = PyType_FromSpec(&spec_);
    return type_;
  }

  // A new instance holding T(args...); empty with the exception set on failure.
  template <class... A>
  Ref make(A&&... args) {
    PyObject* t = type();
    if (t == nullptr) return {};
    PyObject* obj = alloc(t);
    if (obj == nullptr) return {};
    new (&value_of<T>(obj)) T(std::forward<A>(args)...);
    return Ref::steal(obj);
  }

 private:
  PyType_Slot own_slots_[3] = {};
  PyType_Spec spec_;
  PyObject* type_ = nullptr;
};

}  // namespace tarnel::py

#endif  // TARNEL_PY_TYPES_H_

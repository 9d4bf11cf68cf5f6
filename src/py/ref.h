// Owned references to Python objects.
//
// Rules of use:
//  - A raw `PyObject*` parameter is borrowed: the callee neither keeps nor releases it.
//  - A function that returns `Ref` hands over one new reference; an empty `Ref` means failure with
//    a Python exception set (unless the function says otherwise).
//  - `Ref::steal(p)` takes over a reference the caller owns (the result of a "new reference" API);
//    `Ref::own(p)` adds a reference of its own; `release()` hands the reference back to the caller.
// REQUIRES: the interpreter lock is held whenever a non-empty Ref is made, copied or destroyed,
// except while the interpreter's end unwinds a thread it stopped (py/gil.h): a Ref destroyed
// once the interpreter has begun to finalize leaves its object alone.
#ifndef TARNEL_PY_REF_H_
#define TARNEL_PY_REF_H_

#include <utility>

#include "py/gil.h"
#include "py/python.h"

namespace tarnel::py {

class Ref {
 public:
  Ref() = default;
  static Ref steal(PyObject* p) { return Ref(p); }
  static Ref own(PyObject* p) {
    Py_XINCREF(p);
    return Ref(p);
  }

  Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
  Ref& operator=(Ref&& other) {
    if (this != &other) {
      PyObject* old = p_;
      p_ = other.p_;
      other.p_ = nullptr;
      Py_XDECREF(old);
    }
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() {
    // Once the interpreter finalizes (py::finalizing(), tested inline here: this is every
    // release), a thread other than the finalizing one holds no lock here: it is being unwound
    // (py/gil.h). The finalizing thread leaks what it drops here, harmlessly.
    if (p_ == nullptr || !Py_IsInitialized()) return;
    try {
      Py_DECREF(p_);
    } catch (...) {
      // A finalizer that the release ran was where the interpreter's end stopped this thread
      // (nothing else leaves Py_DECREF). A destructor cannot pass that unwind on (it may run for
      // another exception already): the thread is parked here instead.
      park();
    }
  }

  PyObject* get() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }
  // Hands the reference to the caller; the Ref is empty afterwards.
  [[nodiscard]] PyObject* release() { return std::exchange(p_, nullptr); }
  void reset() { Py_CLEAR(p_); }

 private:
  explicit Ref(PyObject* p) : p_(p) {}
  PyObject* p_ = nullptr;
};

}  // namespace tarnel::py

#endif  // TARNEL_PY_REF_H_

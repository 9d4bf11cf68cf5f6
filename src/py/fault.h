// Internal faults and the boundary that turns them into Python exceptions.
//
// A fault is a violated invariant (a poisoned mutex, a dict mutated under our walk, a failed
// one-time initialisation). It is thrown as `Fault`, never returned, and caught at the Python
// boundary of every function the interpreter calls (`boundary`), where it becomes
// `PanicException`: a BaseException subclass made once per process and not added to the module.
// No C++ exception ever crosses into the interpreter; a fault raised while one is being handled
// ends the process with "uncaught panic at ffi boundary".
#ifndef TARNEL_PY_FAULT_H_
#define TARNEL_PY_FAULT_H_

#include <exception>
#include <mutex>
#include <new>
#include <string>
#include <utility>

#include "py/python.h"

namespace tarnel {

class Fault : public std::exception {
 public:
  explicit Fault(std::string msg) : msg_(std::move(msg)) {}
  const char* what() const noexcept override { return msg_.c_str(); }

 private:
  std::string msg_;
};

[[noreturn]] inline void fault(std::string msg) { throw Fault(std::move(msg)); }

// A mutex that records poisoning: a fault unwinding while a PoisonLock holds it marks it poisoned
// for good, and every later lock reports that (the caller then raises its own fault).
class PoisonMutex {
 public:
  bool poisoned() const { return poisoned_; }

 private:
  friend class PoisonLock;
  std::mutex mu_;
  bool poisoned_ = false;
};

class PoisonLock {
 public:
  // Locks `m`; if it is poisoned, unlocks again and throws Fault(`what`).
  PoisonLock(PoisonMutex& m, const char* what) : m_(m), unwinding_(std::uncaught_exceptions()) {
    m_.mu_.lock();
    if (m_.poisoned_) {
      m_.mu_.unlock();
      fault(what);
    }
  }
  // Like the above, but fails (returns with owns() false) instead of waiting when `m` is held.
  PoisonLock(PoisonMutex& m, const char* what, std::try_to_lock_t)
      : m_(m), unwinding_(std::uncaught_exceptions()) {
    if (!m_.mu_.try_lock()) {
      owns_ = false;
      return;
    }
    if (m_.poisoned_) {
      m_.mu_.unlock();
      fault(what);
    }
  }
  PoisonLock(const PoisonLock&) = delete;
  PoisonLock& operator=(const PoisonLock&) = delete;
  ~PoisonLock() {
    if (!owns_) return;
    if (std::uncaught_exceptions() > unwinding_) m_.poisoned_ = true;
    m_.mu_.unlock();
  }
  bool owns() const { return owns_; }

 private:
  PoisonMutex& m_;
  int unwinding_;
  bool owns_ = true;
};

namespace py {

// Sets PanicException(msg) as the current Python exception.
void set_panic(const char* msg) noexcept;

// Runs `f` (which returns a PyObject* or an int, following the CPython convention that null / -1
// means "exception set") and converts any escaping C++ exception into a Python one.
template <class R, class F>
R boundary(F&& f) noexcept {
  try {
    return f();
  } catch (const Fault& e) {
    set_panic(e.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    set_panic(e.what());
  } catch (...) {
    set_panic("unknown C++ exception");
  }
  if constexpr (std::is_pointer_v<R>) {
    return nullptr;
  } else {
    return R(-1);
  }
}

}  // namespace py
}  // namespace tarnel

#endif  // TARNEL_PY_FAULT_H_

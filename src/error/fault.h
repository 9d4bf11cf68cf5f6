// Internal faults, and the mutex that a fault poisons. No Python here.
//
// A fault is a violated invariant (a poisoned mutex, a dict mutated under our walk, a failed
// one-time initialisation). It is thrown as `Fault`, never returned; the binding layer catches it
// at the boundary of every function the interpreter calls (py/boundary.h) and raises
// PanicException there.
#ifndef TARNEL_ERROR_FAULT_H_
#define TARNEL_ERROR_FAULT_H_

#include <exception>
#include <mutex>
#include <string>
#include <utility>

#include "error/mutex.h"

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
// for good, and every later lock throws a fault of its own instead of handing out state that a
// half-done step may have left inconsistent.
class CAPABILITY("mutex") PoisonMutex {
 public:
  // Tells the analysis the caller holds the mutex (through a lock it cannot follow).
  void assert_held() const ASSERT_CAPABILITY(this) {}

 private:
  friend class PoisonLock;
  std::mutex mu_;
  bool poisoned_ = false;  // read and written with mu_ held
};

class SCOPED_CAPABILITY PoisonLock {
 public:
  // Locks `m`; if it is poisoned, unlocks again and throws Fault(`what`).
  PoisonLock(PoisonMutex& m, const char* what) ACQUIRE(m)
      : m_(m), unwinding_(std::uncaught_exceptions()) {
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
  // Locks `m` without looking at its poisoning, so the wait throws nothing (a wait with the
  // interpreter lock released, py/gil.h); check() looks afterwards.
  struct Unchecked {};
  PoisonLock(PoisonMutex& m, Unchecked) ACQUIRE(m) : m_(m), unwinding_(std::uncaught_exceptions()) {
    m_.mu_.lock();
  }
  // If `m` is poisoned, unlocks it and throws Fault(`what`).
  void check(const char* what) {
    if (!m_.poisoned_) return;
    owns_ = false;
    m_.mu_.unlock();
    fault(what);
  }
  PoisonLock(const PoisonLock&) = delete;
  PoisonLock& operator=(const PoisonLock&) = delete;
  ~PoisonLock() RELEASE() {
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

}  // namespace tarnel

#endif  // TARNEL_ERROR_FAULT_H_

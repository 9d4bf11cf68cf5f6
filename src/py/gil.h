// Releasing the interpreter lock, for code that must not include Python.h (the store).
//
// The lock is released only at these points: while a write transaction begins (the wait for the
// writer slot) and while it commits, including the transaction that reopens the tables of a drop
// that did not commit; while a thread waits for another to create the exception class; and while
// a thread waits for another thread's step of the same iterator to finish. Keep every use inside
// that list.
#ifndef TARNEL_PY_GIL_H_
#define TARNEL_PY_GIL_H_

struct _ts;  // PyThreadState

namespace tarnel::py {

// Releases the interpreter lock for its lifetime. REQUIRES: the lock is held on construction.
class Unlocked {
 public:
  Unlocked();
  ~Unlocked();
  Unlocked(const Unlocked&) = delete;
  Unlocked& operator=(const Unlocked&) = delete;

  // Runs `f(arg)` (without the interpreter lock) if the interpreter ends this thread as it asks
  // for the lock back: the thread then never returns, so `f` gives back what it holds that
  // other threads may need (the writer slot).
  void on_end(void (*f)(void*), void* arg) {
    on_end_ = f;
    arg_ = arg;
  }

 private:
  _ts* state_;
  void (*on_end_)(void*) = nullptr;
  void* arg_ = nullptr;
};

}  // namespace tarnel::py

#endif  // TARNEL_PY_GIL_H_

// Releasing the interpreter lock, for code that must not include Python.h (the store), and what
// becomes of a thread that the interpreter's end stops.
//
// The lock is released only at these points: while a write transaction begins (the wait for the
// writer slot) and while it commits, including the transaction that reopens the tables of a drop
// that did not commit; while a thread waits for another to create the exception class; and while
// a thread waits for another thread's step of the same iterator to finish. Keep every use inside
// that list.
//
// The interpreter's end. Once the interpreter has begun to finalize, CPython 3.10-3.13 ends every
// other thread that asks for the lock (a daemon thread): PyThread_exit_thread(), which on glibc
// unwinds the thread's stack up to its start as a forced unwind (abi::__forced_unwind), through
// every C and C++ frame on it. Such a thread may be inside one of our calls: taking the lock back
// at a release point, or running Python code we called (a __str__, __index__, __fspath__, a
// tzinfo, a finalizer the collector runs). Our frames let that unwind through, as CPython's own do:
//  - no catch (...) keeps it: each rethrows it (py/boundary.h);
//  - no frame between a call into Python and the thread's start is noexcept (~Ref and ~Unlocked
//    are noexcept(false));
//  - every cleanup on its way works without the interpreter lock, which the thread no longer
//    holds: mutexes unlock (without poisoning), transactions roll back, snapshots go back to
//    their pool, and references to Python objects are left as they are (py/ref.h), since the
//    finalizing thread is tearing those objects down meanwhile.
// So whatever the stopped thread held that others need is given back, and nothing half-written
// reaches a file: no write transaction is open while Python code runs, except across a release
// point, and that transaction rolls back (on_end). Where the unwind cannot go on (it begins while
// another exception is already unwinding the thread), the thread is parked for good instead,
// as CPython does with every such thread from 3.14 on.
#ifndef TARNEL_PY_GIL_H_
#define TARNEL_PY_GIL_H_

struct _ts;  // PyThreadState

namespace tarnel::py {

// Releases the interpreter lock for its lifetime. REQUIRES: the lock is held on construction.
//
// Taking the lock back (the destructor) ends this thread when the interpreter is finalizing and
// another thread ends it: the destructor then throws the forced unwind, after running the
// on_end function.
class Unlocked {
 public:
  Unlocked();
  ~Unlocked() noexcept(false);
  Unlocked(const Unlocked&) = delete;
  Unlocked& operator=(const Unlocked&) = delete;

  // Runs `f(arg)` (without the interpreter lock) if the interpreter ends this thread as it asks
  // for the lock back: `f` gives back what the thread got while the lock was released and holds
  // in no object that the unwind destroys (the writer slot of a transaction just begun).
  void on_end(void (*f)(void*), void* arg) {
    on_end_ = f;
    arg_ = arg;
  }

 private:
  _ts* state_;
  void (*on_end_)(void*) = nullptr;
  void* arg_ = nullptr;
};

// Ends this thread's part in the process for good: it waits, holding whatever it holds, until
// the process exits. For a thread that the interpreter's end stops where it cannot unwind.
[[noreturn]] void park();

// Whether the interpreter has begun to finalize: then no thread but the finalizing one ever holds
// the interpreter lock again. Safe without the lock.
bool finalizing();

}  // namespace tarnel::py

#endif  // TARNEL_PY_GIL_H_

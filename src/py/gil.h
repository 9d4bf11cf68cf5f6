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
// unwinds the thread's stack up to its start as a forced unwind, a foreign exception, through
// every C and C++ frame on it. Such a thread may be inside one of our calls: taking the lock back
// at a release point, or running Python code we called (a __str__, __index__, __fspath__, a
// tzinfo, a finalizer the collector runs). Our frames let that unwind through, as CPython's own
// do, and give back on its way what the thread held:
//  - nothing catches it: the boundary has no catch (...) (py/boundary.h), no frame on its way is
//    noexcept, and ~Unlocked, where it may begin, is noexcept(false). (Catching and rethrowing it
//    would leave std::uncaught_exceptions() raised for good and poison every lock above.)
//  - every cleanup on its way works without the interpreter lock, which the thread no longer
//    holds: mutexes unlock, transactions roll back, snapshots go back to their pool, and
//    references to Python objects are left as they are (py/ref.h), since the finalizing thread
//    is tearing those objects down meanwhile.
//  - what a thread gets while it waits with the lock released is owned, before the lock is asked
//    for back, by an object of its frames that gives it back when destroyed.
// No write transaction is open while Python code runs, so nothing half-written reaches a file.
// The one place the unwind cannot go on is a reference's release (a destructor): a thread stopped
// in a finalizer that a Ref's release ran is parked there for good, as CPython does with every
// such thread from 3.14 on.
#ifndef TARNEL_PY_GIL_H_
#define TARNEL_PY_GIL_H_

struct _ts;  // PyThreadState

namespace tarnel::py {

// Releases the interpreter lock for its lifetime. REQUIRES: the lock is held on construction.
//
// Taking the lock back (the destructor) is where the interpreter's end may stop this thread: the
// destructor then passes the forced unwind on. So nothing inside an Unlocked scope may throw (a
// second exception would end the process), and what the scope acquires must be owned by an
// object outside it before the scope ends.
class Unlocked {
 public:
  Unlocked();
  ~Unlocked() noexcept(false);
  Unlocked(const Unlocked&) = delete;
  Unlocked& operator=(const Unlocked&) = delete;

 private:
  _ts* state_;
};

// Ends this thread's part in the process for good: it waits, holding whatever it holds, until
// the process exits. For a thread that the interpreter's end stops where it cannot unwind.
[[noreturn]] void park();

// Whether the interpreter has begun to finalize: then no thread but the finalizing one ever holds
// the interpreter lock again. Safe without the lock.
bool finalizing();

}  // namespace tarnel::py

#endif  // TARNEL_PY_GIL_H_

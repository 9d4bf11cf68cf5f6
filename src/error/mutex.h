// Mutexes whose discipline the compiler checks.
//
// The macros name what a mutex guards and what a function needs held (GUARDED_BY, REQUIRES, ...);
// clang's -Wthread-safety checks them (`make lint` runs that pass), every other compiler sees
// nothing. std::mutex carries no such marks, so the fields we guard sit behind `Mutex`, a plain
// std::mutex that says when it is taken and released. No Python here.
#ifndef TARNEL_ERROR_MUTEX_H_
#define TARNEL_ERROR_MUTEX_H_

#include <mutex>

#if defined(__clang__)
#define TARNEL_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define TARNEL_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) TARNEL_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY TARNEL_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) TARNEL_THREAD_ANNOTATION(guarded_by(x))
#define ACQUIRE(...) TARNEL_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) TARNEL_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define REQUIRES(...) TARNEL_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define EXCLUDES(...) TARNEL_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ASSERT_CAPABILITY(x) TARNEL_THREAD_ANNOTATION(assert_capability(x))
#define NO_THREAD_SAFETY_ANALYSIS TARNEL_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace tarnel {

class CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void lock() ACQUIRE() { mu_.lock(); }
  void unlock() RELEASE() { mu_.unlock(); }

 private:
  std::mutex mu_;
};

// Holds a Mutex for its scope.
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex* mu) ACQUIRE(mu) : mu_(mu) { mu_->lock(); }
  ~MutexLock() RELEASE() { mu_->unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

  // For a wait on std::condition_variable_any, which lets go of the mutex and takes it back.
  void unlock() RELEASE() { mu_->unlock(); }
  void lock() ACQUIRE() { mu_->lock(); }

 private:
  Mutex* const mu_;
};

}  // namespace tarnel

#endif  // TARNEL_ERROR_MUTEX_H_

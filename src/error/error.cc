#include "error/error.h"

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>

#include "error/fault.h"
#include "py/gil.h"
#include "py/module.h"
#include "py/ref.h"

namespace tarnel::error {
namespace {

enum class CellState { kNone, kCreating, kCreated };

// The one-time cell. `g_type` is written once, before `g_state` is published as kCreated.
//
// The interpreter lock alone cannot make the class exactly once: making it runs interpreter code
// that may let another thread run (a collection that calls finalizers, say), and that thread
// would make a second class, so two `tarnel.Error`s could be raised in one process. The cell
// marks the creation as under way; a thread that finds it so waits on the condition variable
// with the interpreter lock released, so the creator can take the lock back and finish.
std::atomic<CellState> g_state{CellState::kNone};
PyObject* g_type = nullptr;
std::mutex g_mu;
std::condition_variable g_cv;
pthread_t g_creator;  // the thread that marked the creation under way (written under g_mu)

// A fork() while another thread creates the class: that thread does not exist in the child, so
// the child gives its claim up (the child's next fetch makes the class). The mutex is held
// across the fork, so the child finds it free and the cell as one thread left it.
std::once_flag g_atfork_once;
void before_fork() { g_mu.lock(); }
void after_fork_in_parent() { g_mu.unlock(); }
void after_fork_in_child() {
  if (g_state.load() == CellState::kCreating && !pthread_equal(g_creator, pthread_self())) {
    g_state.store(CellState::kNone);
  }
  g_mu.unlock();
}

// The creator's claim on the cell, given up unless the class was published (the creation
// failed, or the interpreter's end stopped the creator, py/gil.h): the next thread that needs
// the class makes it.
struct Claim {
  bool held = false;
  ~Claim() {
    if (!held) return;
    {
      std::lock_guard lock(g_mu);
      g_state.store(CellState::kNone);
    }
    g_cv.notify_all();
  }
};

// Runs with the interpreter lock held, as the creator.
PyObject* create() {
  py::Ref base = py::Ref::own(PyExc_Exception);
  PyObject* type = PyErr_NewExceptionWithDoc("tarnel.Error", "Base Tarnel error.", base.get(),
                                             nullptr);
  if (type != nullptr) return type;
  std::string detail;
  PyObject *t, *v, *tb;
  PyErr_Fetch(&t, &v, &tb);
  PyErr_NormalizeException(&t, &v, &tb);
  if (v != nullptr) {
    py::Ref s = py::Ref::steal(PyObject_Str(v));
    const char* utf8 = s ? PyUnicode_AsUTF8AndSize(s.get(), nullptr) : nullptr;
    if (utf8 != nullptr) detail = utf8;
  }
  PyErr_Clear();
  Py_XDECREF(t);
  Py_XDECREF(v);
  Py_XDECREF(tb);
  fault("Failed to initialize new exception type. " + detail);
}

}  // namespace

PyObject* type_object() {
  if (g_state.load(std::memory_order_acquire) == CellState::kCreated) return g_type;
  std::call_once(g_atfork_once,
                 [] { pthread_atfork(&before_fork, &after_fork_in_parent, &after_fork_in_child); });
  Claim claim;
  {
    py::Unlocked unlocked;
    std::unique_lock lock(g_mu);
    g_cv.wait(lock, [] { return g_state.load() != CellState::kCreating; });
    if (g_state.load() == CellState::kNone) {
      g_state.store(CellState::kCreating);
      g_creator = pthread_self();
      claim.held = true;
    }
  }  // the interpreter lock is held again from here on
  if (!claim.held) return g_type;  // found it created
  PyObject* type = create();
  {
    std::lock_guard lock(g_mu);
    g_type = type;
    g_state.store(CellState::kCreated, std::memory_order_release);
    claim.held = false;
  }
  g_cv.notify_all();
  return type;
}

bool register_class(PyObject* module) {
  return py::add_to_module(module, "Error", type_object());
}

Raised::operator py::Ref() const { return {}; }

Raised raise(const Status& s) {
  PyObject* type;
  switch (s.code()) {
    case Status::Code::kTypeError: type = PyExc_TypeError; break;
    case Status::Code::kValueError: type = PyExc_ValueError; break;
    case Status::Code::kKeyError: type = PyExc_KeyError; break;
    default: type = type_object(); break;
  }
  const std::string& m = s.message();
  py::Ref text = py::Ref::steal(
      PyUnicode_DecodeUTF8(m.data(), static_cast<Py_ssize_t>(m.size()), "replace"));
  if (!text) return {};
  // A tuple would be unpacked into several arguments: wrap the message in a 1-tuple always.
  py::Ref args = py::Ref::steal(PyTuple_Pack(1, text.get()));
  if (!args) return {};
  PyErr_SetObject(type, args.get());
  return {};
}

}  // namespace tarnel::error

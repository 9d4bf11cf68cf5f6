// CollectionIter: the Python iterator over a Scan (collection.h), which owns its snapshot.
//
// The snapshot goes back as soon as a step finds the end, or when the object is released.
//
// Steps are serialised by a per-iterator mutex held for the whole step, including emit(). emit()
// runs Python code (datetime, a str subclass...), which may step the same iterator again: from
// the same thread that is refused with ValueError; another thread waits for the mutex with the
// interpreter lock released, so the step that holds it can finish. Once the interpreter
// finalizes, the step another thread holds never finishes (that thread is being stopped,
// py/gil.h), so the finalizing thread is refused instead of waiting. In a child process forked
// after the iterator was made, a step is refused before the mutex is asked for: a thread of the
// parent may have held it at the fork, and no thread of the child will ever let it go.
#include <atomic>
#include <new>
#include <optional>
#include <thread>

#include "collection/python_classes.h"
#include "doc/doc.h"
#include "error/error.h"
#include "error/fault.h"
#include "keys/keys.h"
#include "py/gil.h"
#include "py/types.h"

namespace tarnel::collection {
namespace {

struct IterState {
  IterState(std::optional<Scan> walk, Emit emit_what) : scan(std::move(walk)), what(emit_what) {}

  const unsigned generation = store::fork_generation();  // when the iterator was made
  PoisonMutex mu;
  std::atomic<std::thread::id> owner{};
  std::optional<Scan> scan GUARDED_BY(mu);  // empty once the walk has ended
  const Emit what;
};

// Holds the iterator's mutex for one step and records the stepping thread.
class StepLock {
 public:
  explicit StepLock(IterState* it) : it_(it) {}
  // False with ValueError set when this thread is already stepping the iterator.
  bool acquire() {
    lock_.emplace(it_->mu, "iter poisoned", std::try_to_lock);
    if (!lock_->owns()) {
      lock_.reset();
      if (it_->owner.load() == std::this_thread::get_id() || py::finalizing()) {
        PyErr_SetString(PyExc_ValueError, "CollectionIter already executing");
        return false;
      }
      {
        py::Unlocked unlocked;
        lock_.emplace(it_->mu, PoisonLock::Unchecked{});
      }
      lock_->check("iter poisoned");
    }
    it_->owner.store(std::this_thread::get_id());
    return true;
  }
  ~StepLock() {
    if (lock_ && lock_->owns()) it_->owner.store(std::thread::id());
  }

 private:
  IterState* it_;
  std::optional<PoisonLock> lock_;
};

PyObject* Iter_iter(PyObject* self) {
  Py_INCREF(self);
  return self;
}

PyObject* Iter_next(PyObject* self) {
  IterState* it = &py::value_of<IterState>(self);
  if (it->generation != store::fork_generation()) {
    return error::raise(Status::error(store::kForked));
  }
  StepLock lock(it);
  if (!lock.acquire()) return nullptr;
  it->mu.assert_held();
  if (!it->scan) return nullptr;  // ended
  // Memory that runs out inside the step raises MemoryError here, with the step lock held still,
  // so the lock is not taken for a fault's; the entry found is found again by the next step.
  Entry entry;
  bool found;
  Status s;
  try {
    s = it->scan->next(&entry, &found);
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
  if (!s.ok()) return error::raise(s);
  if (!found) {
    it->scan.reset();  // gives the snapshot back
    return nullptr;
  }
  py::Ref out;
  try {
    out = emit(it->what, entry);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  }
  if (!out && PyErr_ExceptionMatches(PyExc_MemoryError)) it->scan->again();
  return out.release();
}

PyType_Slot kSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(&py::dealloc<IterState>)},
    {Py_tp_doc, const_cast<char*>("A streaming iterator over a read snapshot that it owns outright.")},
    {Py_tp_iter, reinterpret_cast<void*>(&py::unary<Iter_iter>)},
    {Py_tp_iternext, reinterpret_cast<void*>(&py::unary<Iter_next>)},
    {0, nullptr},
};

py::Class<IterState> g_class("builtins.CollectionIter", kSlots);

}  // namespace

PyObject* iter_type() { return g_class.type(); }

py::Ref new_iter(std::optional<Scan> scan, Emit what) {
  return g_class.make(std::move(scan), what);
}

py::Ref emit(Emit what, const Entry& entry) {
  if (what == Emit::kKey) return keys::key_to_py(entry.key);
  if (what == Emit::kDoc) return doc::bytes_to_doc(entry.doc);
  py::Ref k = keys::key_to_py(entry.key);
  if (!k) return {};
  py::Ref d = doc::bytes_to_doc(entry.doc);
  if (!d) return {};
  // Out of memory here raises MemoryError and leaves the iterator usable.
  py::Ref pair = py::Ref::steal(PyTuple_New(2));
  if (!pair) return {};
  PyTuple_SetItem(pair.get(), 0, k.release());
  PyTuple_SetItem(pair.get(), 1, d.release());
  return pair;
}

}  // namespace tarnel::collection

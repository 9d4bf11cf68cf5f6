// CollectionIter: a streaming iterator over one range of one table in a read snapshot it owns.
//
// The iterator holds its snapshot (a pooled read transaction of the Env and a cursor), never the
// Store: it outlives Database.close() and keeps yielding its snapshot. The snapshot goes back as
// soon as a step finds the end, or when the object is released.
//
// Steps are serialised by a per-iterator mutex held for the whole step, including emit(). emit()
// runs Python code (datetime, a str subclass...), which may step the same iterator again: from
// the same thread that is refused with ValueError; another thread waits for the mutex with the
// interpreter lock released, so the step that holds it can finish.
#include <atomic>
#include <cstring>
#include <optional>
#include <thread>

#include "collection/types.h"
#include "doc/doc.h"
#include "error/error.h"
#include "keys/keys.h"
#include "py/gil.h"
#include "py/types.h"

namespace tarnel::collection {
namespace {

int compare(const MDB_val& a, std::string_view b) {
  size_t n = std::min(a.mv_size, b.size());
  int c = n == 0 ? 0 : std::memcmp(a.mv_data, b.data(), n);
  if (c != 0) return c;
  return a.mv_size < b.size() ? -1 : a.mv_size > b.size() ? 1 : 0;
}

// The snapshot of a walking iterator.
struct Range {
  store::ReadTxn txn;
  MDB_cursor* cursor = nullptr;
  Bounds bounds;
  bool started = false;

  Range(ReadTable* t, Bounds b) : txn(std::move(t->txn)), bounds(std::move(b)) {}
  ~Range() {
    if (cursor != nullptr && !txn.env()->forked()) mdb_cursor_close(cursor);
  }
  Range(const Range&) = delete;
  Range& operator=(const Range&) = delete;

  // The first entry of the walk.
  int position(bool reverse, MDB_val* k, MDB_val* v) {
    if (!reverse) {
      if (!bounds.has_lower || bounds.lower.empty()) return mdb_cursor_get(cursor, k, v, MDB_FIRST);
      // A bound longer than the engine's key limit is positioned on its first bytes, then what
      // sorts below the bound is skipped.
      MDB_val at = stored_key(bounds.lower);
      if (at.mv_size > kMaxKeyBytes) at.mv_size = kMaxKeyBytes;
      *k = at;
      int rc = mdb_cursor_get(cursor, k, v, MDB_SET_RANGE);
      while (rc == 0 && compare(*k, bounds.lower) < 0) rc = mdb_cursor_get(cursor, k, v, MDB_NEXT);
      return rc;
    }
    if (!bounds.has_upper) return mdb_cursor_get(cursor, k, v, MDB_LAST);
    if (bounds.upper.empty()) return MDB_NOTFOUND;
    MDB_val at = stored_key(bounds.upper);
    if (at.mv_size > kMaxKeyBytes) at.mv_size = kMaxKeyBytes;
    *k = at;
    int rc = mdb_cursor_get(cursor, k, v, MDB_SET_RANGE);
    if (rc == MDB_NOTFOUND) return mdb_cursor_get(cursor, k, v, MDB_LAST);
    while (rc == 0 && compare(*k, bounds.upper) >= 0) rc = mdb_cursor_get(cursor, k, v, MDB_PREV);
    return rc;
  }

  // Whether the stored key `k` lies inside the bounds on the side the walk moves to. Stored keys
  // compare with key bytes as their keys do: the one stored key that differs from its key bytes,
  // 0x00 for the empty key, sorts below every non-empty key bytes, as the empty key does.
  bool inside(bool reverse, const MDB_val& k) const {
    if (!reverse) return !bounds.has_upper || compare(k, bounds.upper) < 0;
    return !bounds.has_lower || compare(k, bounds.lower) >= 0;
  }
};

struct IterState {
  PoisonMutex mu;
  std::atomic<std::thread::id> owner{};
  std::optional<Range> inner;  // guarded by mu
  std::uint8_t mode = 0;
  bool reverse = false;
};

struct IterObject {
  PyObject_HEAD
  IterState s;
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
      if (it_->owner.load() == std::this_thread::get_id()) {
        PyErr_SetString(PyExc_ValueError, "CollectionIter already executing");
        return false;
      }
      py::Unlocked unlocked;
      lock_.emplace(it_->mu, "iter poisoned");
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
  IterState* it = &reinterpret_cast<IterObject*>(self)->s;
  StepLock lock(it);
  if (!lock.acquire()) return nullptr;
  if (!it->inner) return nullptr;  // ended
  Range& r = *it->inner;
  if (r.txn.env()->forked()) {
    error::raise(Status::error(store::kForked));
    return nullptr;
  }
  MDB_val k, v;
  int rc;
  if (!r.started) {
    rc = r.position(it->reverse, &k, &v);
  } else {
    rc = mdb_cursor_get(r.cursor, &k, &v, it->reverse ? MDB_PREV : MDB_NEXT);
  }
  if (rc == 0 && !r.inside(it->reverse, k)) rc = MDB_NOTFOUND;
  if (rc == MDB_NOTFOUND) {
    it->inner.reset();  // gives the snapshot back
    return nullptr;
  }
  if (rc != 0) {
    error::raise(error::storage(rc));
    return nullptr;
  }
  r.started = true;
  return emit(it->mode, key_bytes_of(k), {static_cast<const char*>(v.mv_data), v.mv_size})
      .release();
}

void Iter_dealloc(PyObject* self) { py::dealloc<IterObject>(self); }

PyType_Slot kSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(&Iter_dealloc)},
    {Py_tp_doc, const_cast<char*>("A streaming iterator over a read snapshot that it owns outright.")},
    {Py_tp_iter, reinterpret_cast<void*>(&py::unary<Iter_iter>)},
    {Py_tp_iternext, reinterpret_cast<void*>(&py::unary<Iter_next>)},
    {0, nullptr},
};

PyType_Spec kSpec = {"builtins.CollectionIter", sizeof(IterObject), 0,
                     Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, kSlots};

}  // namespace

PyObject* iter_type() {
  static PyObject* type = nullptr;
  if (type == nullptr) type = py::make_type(&kSpec);
  return type;
}

py::Ref new_iter(ReadTable* table, Bounds bounds, std::uint8_t mode, bool reverse) {
  PyObject* type = iter_type();
  if (type == nullptr) return {};
  py::Ref obj = py::Ref::steal(py::alloc(type));
  if (!obj) return {};
  auto* it = new (&reinterpret_cast<IterObject*>(obj.get())->s) IterState;
  it->mode = mode;
  it->reverse = reverse;
  // An upper bound at or below the lower one selects nothing: no snapshot is kept.
  bool empty = bounds.has_upper && (bounds.upper.empty() || (bounds.has_lower &&
                                                             bounds.lower.compare(bounds.upper) >= 0));
  if (table != nullptr && !empty) {
    it->inner.emplace(table, std::move(bounds));
    int rc = mdb_cursor_open(it->inner->txn.get(), table->dbi, &it->inner->cursor);
    if (rc != 0) {
      error::raise(error::storage(rc));
      return {};
    }
  }
  return obj;
}

py::Ref emit(std::uint8_t mode, std::string_view key, std::string_view value) {
  if (mode == 0) return keys::key_to_py(key);
  if (mode == 1) return doc::bytes_to_doc(value);
  py::Ref k = keys::key_to_py(key);
  if (!k) return {};
  py::Ref d = doc::bytes_to_doc(value);
  if (!d) return {};
  PyObject* pair = PyTuple_New(2);
  if (pair == nullptr) fault("could not allocate an entry pair");
  PyTuple_SetItem(pair, 0, k.release());
  PyTuple_SetItem(pair, 1, d.release());
  return py::Ref::steal(pair);
}

}  // namespace tarnel::collection

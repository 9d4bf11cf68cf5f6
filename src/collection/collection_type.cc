// Collection's Python methods: each binds its arguments, converts keys and documents to bytes
// (keys, doc), calls its operation in collection.h, and raises what that reports.
#include <string>
#include <utility>
#include <vector>

#include "collection/collection.h"
#include "collection/python_classes.h"
#include "doc/doc.h"
#include "error/error.h"
#include "keys/keys.h"
#include "py/args.h"
#include "py/convert.h"
#include "py/types.h"

namespace tarnel::collection {
namespace {

Collection& self_of(PyObject* self) { return py::value_of<Collection>(self); }

// The repr text of a key (str() of repr(key), leniently), the argument of the KeyError of get
// and delete. It is taken before the store is touched; for keys made only of exact int, str and
// bytes objects, whose repr runs no user code and cannot fail, taking it is put off until a
// KeyError needs it.
class ReprText {
 public:
  // False with the exception of repr() set.
  bool take_early(PyObject* key) {
    key_ = key;
    if (pure(key)) return true;
    return take();
  }
  PyObject* key_error() {
    if (!taken_ && !take()) return nullptr;
    return error::raise(Status::key_error(std::move(text_)));
  }

 private:
  static bool pure_scalar(PyObject* o) {
    return PyLong_CheckExact(o) || PyUnicode_CheckExact(o) || PyBytes_CheckExact(o);
  }
  static bool pure(PyObject* key) {
    if (pure_scalar(key)) return true;
    if (!PyTuple_CheckExact(key)) return false;
    Py_ssize_t n = PyTuple_Size(key);
    for (Py_ssize_t i = 0; i < n; ++i) {
      if (!pure_scalar(PyTuple_GetItem(key, i))) return false;
    }
    return true;
  }
  bool take() {
    taken_ = true;
    py::Ref r = py::Ref::steal(PyObject_Repr(key_));
    if (!r) return false;
    return py::lenient_text(r.get(), &text_);
  }

  PyObject* key_ = nullptr;
  bool taken_ = false;
  std::string text_;
};

// ---- point reads -----------------------------------------------------------------------------

const char* const kKey[] = {"key"};
const py::Signature kGetSig{"Collection.get()", kKey, 1, 1};
const py::Signature kContainsSig{"Collection.contains()", kKey, 1, 1};
const py::Signature kDeleteSig{"Collection.delete()", kKey, 1, 1};

PyObject* Collection_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  PyObject* a[1];
  if (!py::bind(kGetSig, args, nargs, kw, a)) return nullptr;
  std::string kb;
  if (!keys::key_bytes_from_py(a[0], &kb)) return nullptr;
  ReprText repr;
  if (!repr.take_early(a[0])) return nullptr;
  ReadTable snap;
  std::string_view doc;
  bool found;
  Status s = self_of(self).get(kb, &snap, &doc, &found);
  if (!s.ok()) return error::raise(s);
  if (!found) return repr.key_error();
  return doc::bytes_to_doc(doc).release();
}

PyObject* Collection_contains(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kw) {
  PyObject* a[1];
  if (!py::bind(kContainsSig, args, nargs, kw, a)) return nullptr;
  std::string kb;
  if (!keys::key_bytes_from_py(a[0], &kb)) return nullptr;
  bool found;
  Status s = self_of(self).contains(kb, &found);
  if (!s.ok()) return error::raise(s);
  return PyBool_FromLong(found);
}

PyObject* Collection_len(PyObject* self) {
  std::uint64_t n;
  Status s = self_of(self).len(&n);
  if (!s.ok()) return error::raise(s);
  return PyLong_FromUnsignedLongLong(n);
}

// ---- writes ----------------------------------------------------------------------------------

const char* const kPutParams[] = {"key", "doc"};
const py::Signature kPutSig{"Collection.put()", kPutParams, 2, 2};

PyObject* Collection_put(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  PyObject* a[2];
  if (!py::bind(kPutSig, args, nargs, kw, a)) return nullptr;
  std::string kb, doc;
  if (!keys::key_bytes_from_py(a[0], &kb)) return nullptr;
  if (!doc::doc_to_bytes(a[1], &doc, self_of(self).max_doc_size())) return nullptr;
  Status s = self_of(self).put(kb, doc);
  if (!s.ok()) return error::raise(s);
  Py_RETURN_NONE;
}

const char* const kItems[] = {"items"};
const py::Signature kPutManySig{"Collection.put_many()", kItems, 1, 1};

// `items` as a new list of its (key, document) pairs; empty with the exception set on failure.
// A Python list rather than a vector of Refs: releasing the pairs may run finalizers, and where
// the interpreter's end stops the thread in one, list.reset() lets the unwind go on, while a
// Ref's destructor could only park the thread (py/gil.h).
py::Ref pairs_from_py(PyObject* items) {
  if (PyUnicode_Check(items)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return {};
  }
  if (!PySequence_Check(items)) {
    py::set_downcast_error(items, "Sequence");
    return {};
  }
  // len(items) is asked first, as extracting a sequence does: an Exception it raises is ignored,
  // any other BaseException (KeyboardInterrupt...) propagates.
  if (PySequence_Size(items) < 0 && !py::clear_exception()) return {};
  py::Ref out = py::Ref::steal(PyList_New(0));
  py::Ref it = py::Ref::steal(PyObject_GetIter(items));
  if (!out || !it) return {};
  while (PyObject* raw = PyIter_Next(it.get())) {
    py::Ref item = py::Ref::steal(raw);
    if (!PyTuple_Check(item.get())) {
      py::set_downcast_error(item.get(), "tuple");
      return {};
    }
    Py_ssize_t len = PyTuple_Size(item.get());
    if (len != 2) {
      PyErr_Format(PyExc_ValueError, "expected tuple of length 2, but got tuple of length %zd",
                   len);
      return {};
    }
    if (PyList_Append(out.get(), item.get()) < 0) return {};
  }
  if (PyErr_Occurred()) return {};
  return out;
}

PyObject* Collection_put_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kw) {
  PyObject* a[1];
  if (!py::bind(kPutManySig, args, nargs, kw, a)) return nullptr;
  py::Ref items = pairs_from_py(a[0]);
  if (!items) {
    py::add_arg_note("items");
    return nullptr;
  }
  std::vector<std::pair<std::string, std::string>> pairs(
      static_cast<size_t>(PyList_Size(items.get())));
  const size_t max_doc = self_of(self).max_doc_size();
  for (size_t i = 0; i < pairs.size(); ++i) {
    // Only we hold the list: the conversions cannot change it.
    PyObject* pair = PyList_GetItem(items.get(), static_cast<Py_ssize_t>(i));
    if (!keys::key_bytes_from_py(PyTuple_GetItem(pair, 0), &pairs[i].first)) return nullptr;
    if (!doc::doc_to_bytes(PyTuple_GetItem(pair, 1), &pairs[i].second, max_doc)) return nullptr;
  }
  items.reset();
  Status s = self_of(self).put_many(pairs);
  if (!s.ok()) return error::raise(s);
  Py_RETURN_NONE;
}

PyObject* Collection_delete(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kw) {
  PyObject* a[1];
  if (!py::bind(kDeleteSig, args, nargs, kw, a)) return nullptr;
  std::string kb;
  if (!keys::key_bytes_from_py(a[0], &kb)) return nullptr;
  ReprText repr;
  if (!repr.take_early(a[0])) return nullptr;
  bool found;
  Status s = self_of(self).del(kb, &found);
  if (!s.ok()) return error::raise(s);
  if (!found) return repr.key_error();
  Py_RETURN_NONE;
}

// ---- ends and scans --------------------------------------------------------------------------

// The first or last entry as a (key, document) pair, or None.
template <Status (Collection::*kEnd)(ReadTable*, Entry*, bool*) const>
PyObject* end_entry(PyObject* self) {
  ReadTable snap;
  Entry entry;
  bool found;
  Status s = (self_of(self).*kEnd)(&snap, &entry, &found);
  if (!s.ok()) return error::raise(s);
  if (!found) Py_RETURN_NONE;
  return emit(Emit::kPair, entry).release();
}

PyObject* Collection_first(PyObject* self) { return end_entry<&Collection::first>(self); }
PyObject* Collection_last(PyObject* self) { return end_entry<&Collection::last>(self); }

PyObject* scan(PyObject* self, Bounds bounds, std::uint8_t mode, bool reverse) {
  std::optional<Scan> walk;
  Status s = self_of(self).scan(std::move(bounds), reverse, &walk);
  if (!s.ok()) return error::raise(s);
  return new_iter(std::move(walk), emit_of(mode)).release();
}

const char* const kIterParams[] = {"mode", "reverse"};
const py::Signature kIterSig{"Collection.iter_()", kIterParams, 2, 2};

PyObject* Collection_iter_(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kw) {
  PyObject* a[2];
  if (!py::bind(kIterSig, args, nargs, kw, a)) return nullptr;
  std::uint8_t mode;
  bool reverse;
  if (!py::arg_u8(a[0], "mode", &mode) || !py::arg_bool(a[1], "reverse", &reverse)) {
    return nullptr;
  }
  return scan(self, Bounds{}, mode, reverse);
}

const char* const kRangeParams[] = {"start", "stop", "mode"};
const py::Signature kRangeSig{"Collection.range_()", kRangeParams, 3, 3};

PyObject* Collection_range_(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kw) {
  PyObject* a[3];
  if (!py::bind(kRangeSig, args, nargs, kw, a)) return nullptr;
  std::uint8_t mode;
  if (!py::arg_u8(a[2], "mode", &mode)) return nullptr;
  Bounds b;
  if (a[0] != Py_None) {
    b.has_lower = true;
    if (!keys::key_bytes_from_py(a[0], &b.lower)) return nullptr;
  }
  if (a[1] != Py_None) {
    b.has_upper = true;
    if (!keys::key_bytes_from_py(a[1], &b.upper)) return nullptr;
  }
  return scan(self, std::move(b), mode, false);
}

const char* const kPrefixParams[] = {"p", "mode"};
const py::Signature kPrefixSig{"Collection.prefix_()", kPrefixParams, 2, 2};

PyObject* Collection_prefix_(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kw) {
  PyObject* a[2];
  if (!py::bind(kPrefixSig, args, nargs, kw, a)) return nullptr;
  std::uint8_t mode;
  if (!py::arg_u8(a[1], "mode", &mode)) return nullptr;
  Bounds b;
  b.has_lower = true;
  if (!keys::prefix_from_py(a[0], &b.lower)) return nullptr;
  if (auto next = keys::successor(b.lower)) {
    b.has_upper = true;
    b.upper = std::move(*next);
  }
  return scan(self, std::move(b), mode, false);
}

// ---- the type --------------------------------------------------------------------------------

PyMethodDef kMethods[] = {
    {"get", TARNEL_FASTCALL(Collection_get), METH_FASTCALL | METH_KEYWORDS,
     "get($self, key)\n--\n\nPoint lookup; `KeyError` on a missing key or a missing collection."},
    {"put", TARNEL_FASTCALL(Collection_put), METH_FASTCALL | METH_KEYWORDS,
     "put($self, key, doc)\n--\n\nUpsert. Assignment overwrites, exactly as it does for a `dict`."},
    {"put_many", TARNEL_FASTCALL(Collection_put_many), METH_FASTCALL | METH_KEYWORDS,
     "put_many($self, items)\n--\n\nUpserts many documents in one commit.\n\nEverything is encoded "
     "before the transaction opens, so a bad key or\ndocument raises without having written "
     "anything."},
    {"delete", TARNEL_FASTCALL(Collection_delete), METH_FASTCALL | METH_KEYWORDS,
     "delete($self, key)\n--\n\nDelete; `KeyError` on a missing key."},
    {"contains", TARNEL_FASTCALL(Collection_contains), METH_FASTCALL | METH_KEYWORDS,
     "contains($self, key)\n--\n\n"},
    {"len", TARNEL_NOARGS(Collection_len), METH_NOARGS, "len($self)\n--\n\n"},
    {"iter_", TARNEL_FASTCALL(Collection_iter_), METH_FASTCALL | METH_KEYWORDS,
     "iter_($self, mode, reverse)\n--\n\nWhole-collection iteration; `mode` selects keys, values, "
     "or items."},
    {"range_", TARNEL_FASTCALL(Collection_range_), METH_FASTCALL | METH_KEYWORDS,
     "range_($self, start, stop, mode)\n--\n\nHalf-open `[start, stop)` scan; either bound may be "
     "`None` for unbounded."},
    {"prefix_", TARNEL_FASTCALL(Collection_prefix_), METH_FASTCALL | METH_KEYWORDS,
     "prefix_($self, p, mode)\n--\n\nEvery key sharing a prefix: a `str`/`bytes` text prefix, or a "
     "tuple of\nleading components."},
    {"first", TARNEL_NOARGS(Collection_first), METH_NOARGS,
     "first($self)\n--\n\nThe smallest entry, or `None` when the collection is empty or absent."},
    {"last", TARNEL_NOARGS(Collection_last), METH_NOARGS,
     "last($self)\n--\n\nThe largest entry, or `None` when the collection is empty or absent."},
    {nullptr, nullptr, 0, nullptr},
};

py::Class<Collection> g_class("builtins.Collection", kMethods);

}  // namespace

PyObject* collection_type() { return g_class.type(); }

py::Ref new_collection(std::string name, std::shared_ptr<store::Store> store) {
  return g_class.make(std::move(name), std::move(store));
}

}  // namespace tarnel::collection

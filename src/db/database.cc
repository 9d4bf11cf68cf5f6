#include "db/database.h"

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "collection/python_classes.h"
#include "error/error.h"
#include "py/args.h"
#include "py/convert.h"
#include "py/ref.h"
#include "py/types.h"
#include "store/store.h"

namespace tarnel::db {
namespace {

using StoreShare = std::shared_ptr<store::Store>;

store::Store& store_of(PyObject* self) { return *py::value_of<StoreShare>(self); }

// A collection name for collection() and drop(): non-empty, without NUL (LMDB would cut it).
bool valid_name(std::string_view name) {
  if (name.empty()) {
    PyErr_SetString(PyExc_ValueError, "collection name must be non-empty");
    return false;
  }
  if (name.find('\0') != std::string_view::npos) {
    PyErr_SetString(PyExc_ValueError, "collection name must not contain NUL characters");
    return false;
  }
  return true;
}

py::Ref names_list(const std::vector<std::string>& names) {
  py::Ref list = py::Ref::steal(PyList_New(static_cast<Py_ssize_t>(names.size())));
  if (!list) return {};
  for (size_t i = 0; i < names.size(); ++i) {
    PyObject* s = PyUnicode_DecodeUTF8(names[i].data(), static_cast<Py_ssize_t>(names[i].size()),
                                       "surrogateescape");
    if (s == nullptr) return {};
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), s);
  }
  return list;
}

PyObject* Database_names(PyObject* self) {
  std::vector<std::string> names;
  Status s = store_of(self).names(&names);
  if (!s.ok()) return error::raise(s);
  return names_list(names).release();
}

const char* const kName[] = {"name"};
const py::Signature kHasSig{"Database.has()", kName, 1, 1};
const py::Signature kDropSig{"Database.drop()", kName, 1, 1};
const py::Signature kCollectionSig{"Database.collection()", kName, 1, 1};

PyObject* Database_has(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  PyObject* a[1];
  std::string_view name;
  if (!py::bind(kHasSig, args, nargs, kw, a) || !py::arg_str(a[0], "name", &name)) {
    return nullptr;
  }
  bool found;
  Status s = store_of(self).has(name, &found);
  if (!s.ok()) return error::raise(s);
  return PyBool_FromLong(found);
}

PyObject* Database_drop(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  PyObject* a[1];
  std::string_view name;
  if (!py::bind(kDropSig, args, nargs, kw, a) || !py::arg_str(a[0], "name", &name) ||
      !valid_name(name)) {
    return nullptr;
  }
  bool found;
  Status s = store_of(self).drop(name, &found);
  if (!s.ok()) return error::raise(s);
  if (!found) return error::raise(Status::key_error(std::string(name)));
  Py_RETURN_NONE;
}

PyObject* Database_collection(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kw) {
  PyObject* a[1];
  std::string_view name;
  if (!py::bind(kCollectionSig, args, nargs, kw, a) || !py::arg_str(a[0], "name", &name) ||
      !valid_name(name)) {
    return nullptr;
  }
  return collection::new_collection(std::string(name), py::value_of<StoreShare>(self))
      .release();
}

PyObject* Database_close(PyObject* self) {
  store_of(self).close();
  Py_RETURN_NONE;
}

PyMethodDef kMethods[] = {
    {"names", TARNEL_NOARGS(Database_names), METH_NOARGS, "names($self)\n--\n\n"},
    {"has", TARNEL_FASTCALL(Database_has), METH_FASTCALL | METH_KEYWORDS, "has($self, name)\n--\n\n"},
    {"drop", TARNEL_FASTCALL(Database_drop), METH_FASTCALL | METH_KEYWORDS,
     "drop($self, name)\n--\n\nDrops a collection in its own write transaction; `KeyError` if "
     "absent."},
    {"collection", TARNEL_FASTCALL(Database_collection), METH_FASTCALL | METH_KEYWORDS,
     "collection($self, name)\n--\n\n"},
    {"close", TARNEL_NOARGS(Database_close), METH_NOARGS, "close($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

py::Class<StoreShare> g_class("builtins.Database", kMethods);

const char* const kOpenParams[] = {"path", "durable"};
const py::Signature kOpenSig{"open()", kOpenParams, 2, 0};

PyObject* open_impl(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  PyObject* a[2];
  if (!py::bind(kOpenSig, args, nargs, kw, a)) return nullptr;
  std::string path;
  bool in_memory = a[0] == nullptr || a[0] == Py_None;
  if (!in_memory && !py::arg_path(a[0], "path", &path)) return nullptr;
  bool durable = true;
  if (a[1] != nullptr && !py::arg_bool(a[1], "durable", &durable)) return nullptr;
  // The object is made first: once the store is open, nothing is left that can fail, so an open
  // that runs out of memory leaves every file as it found it.
  py::Ref db = g_class.make(StoreShare());
  if (!db) return nullptr;
  Status s = in_memory ? store::Store::memory(durable, &py::value_of<StoreShare>(db.get()))
                       : store::Store::file(path, durable, &py::value_of<StoreShare>(db.get()));
  if (!s.ok()) return error::raise(s);
  return db.release();
}

}  // namespace

PyObject* database_type() { return g_class.type(); }

PyMethodDef kOpenDef = {"open", TARNEL_FASTCALL(open_impl), METH_FASTCALL | METH_KEYWORDS,
                        "open(path=None, durable=True)\n--\n\n"};

}  // namespace tarnel::db

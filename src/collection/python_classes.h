// The Python classes Collection and CollectionIter: their type objects, and the making of their
// instances and of the objects an iteration yields.
//
// REQUIRES: the interpreter lock is held for every function here.
#ifndef TARNEL_COLLECTION_PYTHON_CLASSES_H_
#define TARNEL_COLLECTION_PYTHON_CLASSES_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "collection/collection.h"
#include "py/python.h"
#include "py/ref.h"

namespace tarnel::collection {

// The type objects, made on first use and kept. Null with an exception set on failure.
PyObject* collection_type();
PyObject* iter_type();

// A new Collection object holding `name` and a share of `store`.
py::Ref new_collection(std::string name, std::shared_ptr<store::Store> store);

// What an iteration yields for each entry. Python passes it as an int mode: 0 keys, 1
// documents, any other value (up to 255) (key, document) pairs.
enum class Emit : std::uint8_t { kKey, kDoc, kPair };
inline Emit emit_of(std::uint8_t mode) {
  return mode == 0 ? Emit::kKey : mode == 1 ? Emit::kDoc : Emit::kPair;
}

// One stored entry as the Python object `what` asks for.
py::Ref emit(Emit what, const Entry& entry);

// A new CollectionIter walking `scan`, or an exhausted one when there is none.
py::Ref new_iter(std::optional<Scan> scan, Emit what);

}  // namespace tarnel::collection

#endif  // TARNEL_COLLECTION_PYTHON_CLASSES_H_

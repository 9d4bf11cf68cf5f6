// The Python classes Collection and CollectionIter.
#ifndef TARNEL_COLLECTION_TYPES_H_
#define TARNEL_COLLECTION_TYPES_H_

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "collection/collection.h"
#include "py/python.h"
#include "py/ref.h"

namespace tarnel::collection {

// The type objects, made on first use and kept. Empty with an exception set on failure.
PyObject* collection_type();
PyObject* iter_type();

// A new Collection object holding `name` and a share of `store`.
py::Ref new_collection(std::string name, std::shared_ptr<store::Store> store);

// One stored entry as the Python object of iteration mode `mode`: 0 the key, 1 the document,
// 2-255 a (key, document) pair. `key` is the key bytes (not the stored key).
py::Ref emit(std::uint8_t mode, std::string_view key, std::string_view value);

// A scan over [lower, upper) of `table` (moved into the iterator), or an exhausted iterator when
// `table` is null.
struct Bounds {
  bool has_lower = false;
  std::string lower;  // key bytes, included
  bool has_upper = false;
  std::string upper;  // key bytes, excluded
};
py::Ref new_iter(ReadTable* table, Bounds bounds, std::uint8_t mode, bool reverse);

}  // namespace tarnel::collection

#endif  // TARNEL_COLLECTION_TYPES_H_

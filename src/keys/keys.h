// Keys: Python keys to order-preserving key bytes and back.
//
// A key is a str, an int in the signed 64-bit range, a bytes (or an instance of a subclass of
// these), or a flat tuple of them. Its key bytes are the encodings of its parts, concatenated, in
// the format keys/codec.h describes; byte-wise order of key bytes is key order.
//
// Every function here runs with the interpreter lock held. Conversions may run Python code (a str
// subclass's __str__, a metaclass's __name__). Functions returning bool return false with a
// Python exception set.
#ifndef TARNEL_KEYS_KEYS_H_
#define TARNEL_KEYS_KEYS_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "keys/codec.h"
#include "py/python.h"
#include "py/ref.h"

namespace tarnel::keys {

// Appends the key bytes of `obj` (borrowed) to `out`: a tuple (or tuple subclass instance) gives
// one part per item, read from the tuple's own storage; anything else is one scalar part; each
// part is encoded as it is read, without an intermediate list of parts. A str part holds the
// text of str(obj), surrogates as three U+FFFD each (py::lenient_text). The first bad item
// decides the error; on failure `out` is as it was. Every key argument is read this way.
//   bool (alone or as an item)  TypeError "bool is not a valid key type"
//   int outside int64           ValueError "int key outside 64-bit range"
//   any other type              TypeError "invalid key type {__name__} (expected ...)", or the
//                               failure of reading the type's __name__
bool key_bytes_from_py(PyObject* obj, std::string* out);
// Appends the prefix bytes of `p` for a prefix scan: a tuple gives its key bytes; a str or bytes
// its tag and escaped body without terminator; an in-range int TypeError "prefix must be str,
// bytes, or a tuple of key components"; anything else fails as a key part. On failure `out` is
// as it was.
bool prefix_from_py(PyObject* p, std::string* out);

// Stored key bytes back to a new Python object: one part gives the scalar (int, str, bytes), zero
// or several parts a tuple. The whole key is decoded before any object is made, so malformed
// bytes give an empty Ref with tarnel.Error set and no object. Runs no Python code of its own.
py::Ref key_to_py(std::string_view key_bytes);

}  // namespace tarnel::keys

#endif  // TARNEL_KEYS_KEYS_H_

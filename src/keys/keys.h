// Keys: Python keys to order-preserving key bytes and back.
//
// A key is a str, an int in the signed 64-bit range, a bytes (or an instance of a subclass of
// these), or a flat tuple of them. Its key bytes are the encodings of its parts, concatenated:
//   Int   0x01, then v XOR 2**63 as 8 bytes, most significant first
//   Str   0x02, UTF-8 with each 0x00 written as 0x00 0xFF, then 0x00
//   Bytes 0x03, the bytes with each 0x00 written as 0x00 0xFF, then 0x00
// Byte-wise order of key bytes is key order. The tag bytes are on disk: never change them.
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

// `obj` (borrowed) as key parts; appends to `out`. TypeError / ValueError as the key rules say.
bool key_from_py(PyObject* obj, std::vector<KeyPart>* out);
// One scalar as a key part.
bool part_from_py(PyObject* obj, KeyPart* out);
// key_from_py then encode, without materialising the parts where it can: appends the key bytes
// of `obj` to `out`. The road of every key argument.
bool key_bytes_from_py(PyObject* obj, std::string* out);
// Prefix bytes of `p` for a prefix scan (a tuple: its key bytes; a str/bytes: tag and escaped
// body without terminator; an int: TypeError).
bool prefix_from_py(PyObject* p, std::string* out);

// Stored key bytes back to a new Python object (int, str, bytes, or a tuple for zero or several
// parts). Empty Ref with tarnel.Error set for malformed bytes.
py::Ref key_to_py(std::string_view key_bytes);

}  // namespace tarnel::keys

#endif  // TARNEL_KEYS_KEYS_H_

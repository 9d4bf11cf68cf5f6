// The key byte codec: key parts to order-preserving key bytes and back. No Python here.
//
// Key bytes are the encodings of a key's parts, concatenated, with no header or count:
//   Int   0x01, then v XOR 2**63 as 8 bytes, most significant first (exactly 9 bytes)
//   Str   0x02, UTF-8 with each 0x00 written as 0x00 0xFF, then the terminator 0x00
//   Bytes 0x03, the bytes with each 0x00 written as 0x00 0xFF, then the terminator 0x00
// Byte-wise comparison of key bytes is key order: ints (numerically) < strs (by code point) <
// bytes, part by part, and a key sorts before every longer key that begins with it. A terminator
// is followed by the end or by a tag 0x01..0x03, all of which sort below an escape's 0xFF.
//
// Decoding accepts exactly what encoding produces (plus further well-formed parts after a
// complete key); it walks forward once, looking at most one byte ahead, and never resynchronises.
#ifndef TARNEL_KEYS_CODEC_H_
#define TARNEL_KEYS_CODEC_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "error/status.h"

namespace tarnel::keys {

// On disk, never change.
inline constexpr unsigned char kTagInt = 0x01;
inline constexpr unsigned char kTagStr = 0x02;
inline constexpr unsigned char kTagBytes = 0x03;

// The size of an encoded Int part, tag included.
inline constexpr std::size_t kIntPartSize = 9;

// The variants of a key part, in key order.
enum class KeyPart : std::uint8_t { kInt, kStr, kBytes };

// Append one part's encoding to `out`. Cannot fail.
void encode_int(std::int64_t v, std::string* out);
// Tag, escaped body and (when `terminate`) the terminator.
void encode_text(unsigned char tag, std::string_view body, bool terminate, std::string* out);

// Key bytes split into parts without copying the bodies that need no unescaping.
//
// After a successful decode(), part(k) for k < size() is valid until the next decode() or the
// object's end, and as long as the key bytes given to decode() stay alive and unchanged: a body
// holding no escaped zero byte is a view into those key bytes, the others live in the object.
class DecodedKey {
 public:
  struct Part {
    KeyPart kind;
    std::int64_t i;         // kInt
    std::string_view body;  // kStr (well-formed UTF-8) and kBytes
  };

  DecodedKey() = default;
  DecodedKey(const DecodedKey&) = delete;
  DecodedKey& operator=(const DecodedKey&) = delete;

  // Splits `key_bytes`; on failure size() is 0 and the Status (tarnel.Error) says why:
  // "truncated int key", "unterminated key component", "bad key tag 0x{hex}", or a UTF-8 error
  // of a Str body.
  Status decode(std::string_view key_bytes);

  std::size_t size() const { return size_; }
  Part part(std::size_t k) const;

 private:
  struct Entry {
    KeyPart kind;
    bool in_scratch;  // body unescaped into scratch_ (else a view into base_)
    std::int64_t i;
    std::size_t off, len;
  };
  static constexpr std::size_t kInline = 8;

  void push(const Entry& e);

  std::string_view base_;
  std::string scratch_;
  std::array<Entry, kInline> inline_;  // written before read: entries below size_ only
  std::vector<Entry> spill_;  // entries kInline and up
  std::size_t size_ = 0;
};

// The smallest byte string above every string that begins with `prefix`: drop trailing 0xFF
// bytes, then add one to the last byte. None when nothing is left.
std::optional<std::string> successor(std::string_view prefix);

}  // namespace tarnel::keys

#endif  // TARNEL_KEYS_CODEC_H_

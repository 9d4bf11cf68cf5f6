// The pure key byte codec: no Python here.
#ifndef TARNEL_KEYS_CODEC_H_
#define TARNEL_KEYS_CODEC_H_

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

struct KeyPart {
  enum class Kind : std::uint8_t { kInt, kStr, kBytes };
  Kind kind = Kind::kInt;
  std::int64_t i = 0;  // kInt
  std::string s;       // kStr (well-formed UTF-8) and kBytes
};

// Appends the encoding of each part to `out`. Cannot fail.
void encode(const std::vector<KeyPart>& parts, std::string* out);
void encode_int(std::int64_t v, std::string* out);
// Tag, escaped body and (when `terminate`) the terminator.
void encode_text(unsigned char tag, std::string_view body, bool terminate, std::string* out);

// Splits key bytes into parts: "truncated int key", "unterminated key component",
// "bad key tag {:#x}" or the UTF-8 error texts of a Str body, as tarnel.Error.
Status decode(std::string_view key_bytes, std::vector<KeyPart>* out);

// The smallest byte string above every string that begins with `prefix`: drop trailing 0xFF
// bytes, then add one to the last byte. None when nothing is left.
std::optional<std::string> successor(std::string_view prefix);

}  // namespace tarnel::keys

#endif  // TARNEL_KEYS_CODEC_H_

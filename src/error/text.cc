#include "error/text.h"

#include <cstdint>
#include <cstring>

namespace tarnel::error {
namespace {

bool is_continuation(unsigned char b) { return (b & 0xC0) == 0x80; }

Status invalid_utf8(std::size_t len, std::size_t at) {
  return Status::error("invalid utf-8 sequence of " + std::to_string(len) + " bytes from index " +
                       std::to_string(at));
}

Status incomplete_utf8(std::size_t at) {
  return Status::error("incomplete utf-8 byte sequence from index " + std::to_string(at));
}

}  // namespace

Status check_utf8(std::string_view s) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const std::size_t n = s.size();
  std::size_t i = 0;
  while (i < n) {
    // Plain ASCII eight bytes at a time.
    while (i + 8 <= n) {
      std::uint64_t w;
      std::memcpy(&w, p + i, 8);
      if (w & 0x8080808080808080ULL) break;
      i += 8;
    }
    if (i >= n) break;
    const unsigned char b0 = p[i];
    if (b0 < 0x80) {
      ++i;
      continue;
    }
    const std::size_t start = i;
    // Bounds of the second byte; the rest must be plain continuation bytes.
    unsigned char lo = 0x80, hi = 0xBF;
    std::size_t width;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
      width = 2;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
      width = 3;
      if (b0 == 0xE0) lo = 0xA0;  // overlong
      if (b0 == 0xED) hi = 0x9F;  // surrogates
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
      width = 4;
      if (b0 == 0xF0) lo = 0x90;  // overlong
      if (b0 == 0xF4) hi = 0x8F;  // past U+10FFFF
    } else {
      return invalid_utf8(1, start);
    }
    for (std::size_t k = 1; k < width; ++k) {
      if (start + k >= n) return incomplete_utf8(start);
      const unsigned char b = p[start + k];
      const bool ok = k == 1 ? (b >= lo && b <= hi) : is_continuation(b);
      if (!ok) return invalid_utf8(k, start);
    }
    i = start + width;
  }
  return Status();
}

void append_quoted(std::string_view text, std::string* out) {
  static constexpr char kHex[] = "0123456789abcdef";
  out->push_back('"');
  for (char ch : text) {
    auto c = static_cast<unsigned char>(ch);
    switch (c) {
      case 0: out->append("\\0"); continue;
      case '\t': out->append("\\t"); continue;
      case '\r': out->append("\\r"); continue;
      case '\n': out->append("\\n"); continue;
      case '\\': out->append("\\\\"); continue;
      case '"': out->append("\\\""); continue;
      default: break;
    }
    if (c < 0x20 || c == 0x7f) {
      out->append("\\u{");
      if (c >= 0x10) out->push_back(kHex[c >> 4]);
      out->push_back(kHex[c & 0xf]);
      out->push_back('}');
    } else {
      out->push_back(ch);
    }
  }
  out->push_back('"');
}

}  // namespace tarnel::error

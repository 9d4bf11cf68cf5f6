#include "keys/codec.h"

#include <cstdio>
#include <cstring>

namespace tarnel::keys {
namespace {

constexpr std::uint64_t kSignBit = std::uint64_t{1} << 63;

const unsigned char* bytes_of(std::string_view s) {
  return reinterpret_cast<const unsigned char*>(s.data());
}

bool is_continuation(unsigned char b) { return (b & 0xC0) == 0x80; }

Status invalid_utf8(std::size_t len, std::size_t at) {
  return error::internal("invalid utf-8 sequence of " + std::to_string(len) + " bytes from index " +
                         std::to_string(at));
}

Status incomplete_utf8(std::size_t at) {
  return error::internal("incomplete utf-8 byte sequence from index " + std::to_string(at));
}

// A zero byte that ends a body rather than escaping one: the last byte, or not followed by 0xFF.
bool is_terminator(const unsigned char* p, std::size_t n, std::size_t z) {
  return z + 1 == n || p[z + 1] != 0xFF;
}

}  // namespace

void encode_int(std::int64_t v, std::string* out) {
  std::uint64_t u = static_cast<std::uint64_t>(v) ^ kSignBit;
  char buf[kIntPartSize];
  buf[0] = static_cast<char>(kTagInt);
  for (int k = 8; k >= 1; --k) {
    buf[k] = static_cast<char>(u & 0xFF);
    u >>= 8;
  }
  out->append(buf, kIntPartSize);
}

void encode_text(unsigned char tag, std::string_view body, bool terminate, std::string* out) {
  // Zero bytes are rare in keys: room for tag, body and terminator covers the common case.
  out->reserve(out->size() + body.size() + 2);
  out->push_back(static_cast<char>(tag));
  const char* p = body.data();
  std::size_t left = body.size();
  while (left > 0) {
    const void* z = std::memchr(p, 0, left);
    if (z == nullptr) {
      out->append(p, left);
      break;
    }
    std::size_t run = static_cast<std::size_t>(static_cast<const char*>(z) - p);
    out->append(p, run);
    out->append("\x00\xFF", 2);
    p += run + 1;
    left -= run + 1;
  }
  if (terminate) out->push_back('\0');
}

// The same walk as Rust's from_utf8, so the reported length and index agree with it: a sequence
// cut off by the end of the input is "incomplete" only when every byte before the end was
// acceptable; otherwise the error covers the bytes up to (not including) the first unacceptable
// one. Overlong forms, surrogates and code points above U+10FFFF fail at their second byte.
Status check_utf8(std::string_view s) {
  const unsigned char* p = bytes_of(s);
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
      if (b0 == 0xE0) lo = 0xA0;
      if (b0 == 0xED) hi = 0x9F;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
      width = 4;
      if (b0 == 0xF0) lo = 0x90;
      if (b0 == 0xF4) hi = 0x8F;
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

void DecodedKey::push(const Entry& e) {
  if (size_ < kInline) {
    inline_[size_] = e;
  } else {
    spill_.push_back(e);
  }
  ++size_;
}

DecodedKey::Part DecodedKey::part(std::size_t k) const {
  const Entry& e = k < kInline ? inline_[k] : spill_[k - kInline];
  std::string_view body;
  if (e.kind != KeyPart::Kind::kInt) {
    const std::string_view from = e.in_scratch ? std::string_view(scratch_) : base_;
    body = from.substr(e.off, e.len);
  }
  return Part{e.kind, e.i, body};
}

Status DecodedKey::decode(std::string_view key_bytes) {
  base_ = key_bytes;
  scratch_.clear();
  spill_.clear();
  size_ = 0;
  const unsigned char* p = bytes_of(key_bytes);
  const std::size_t n = key_bytes.size();
  std::size_t i = 0;
  Status failure;
  while (i < n) {
    const unsigned char tag = p[i];
    if (tag == kTagInt) {
      if (n - i < kIntPartSize) {
        failure = error::internal("truncated int key");
        break;
      }
      std::uint64_t u = 0;
      for (std::size_t k = 1; k <= 8; ++k) u = (u << 8) | p[i + k];
      push(Entry{KeyPart::Kind::kInt, false, static_cast<std::int64_t>(u ^ kSignBit), 0, 0});
      i += kIntPartSize;
      continue;
    }
    if (tag != kTagStr && tag != kTagBytes) {
      char text[32];
      std::snprintf(text, sizeof text, "bad key tag 0x%x", static_cast<unsigned>(tag));
      failure = error::internal(text);
      break;
    }
    const KeyPart::Kind kind = tag == kTagStr ? KeyPart::Kind::kStr : KeyPart::Kind::kBytes;
    // Each run of body bytes ends at a zero byte: a terminator, or the first half of an escape.
    std::size_t j = i + 1;
    const void* z = j < n ? std::memchr(p + j, 0, n - j) : nullptr;
    if (z == nullptr) {
      failure = error::internal("unterminated key component");
      break;
    }
    std::size_t zi = static_cast<std::size_t>(static_cast<const unsigned char*>(z) - p);
    Entry e{kind, false, 0, j, zi - j};
    if (!is_terminator(p, n, zi)) {
      // An escaped zero: unescape the whole body into the scratch buffer.
      e.in_scratch = true;
      e.off = scratch_.size();
      for (;;) {
        scratch_.append(key_bytes.data() + j, zi - j);
        scratch_.push_back('\0');
        j = zi + 2;
        z = j < n ? std::memchr(p + j, 0, n - j) : nullptr;
        if (z == nullptr) break;
        zi = static_cast<std::size_t>(static_cast<const unsigned char*>(z) - p);
        if (is_terminator(p, n, zi)) break;
      }
      if (z == nullptr) {
        failure = error::internal("unterminated key component");
        break;
      }
      scratch_.append(key_bytes.data() + j, zi - j);
      e.len = scratch_.size() - e.off;
    }
    i = zi + 1;
    push(e);
    if (kind == KeyPart::Kind::kStr) {
      failure = check_utf8(part(size_ - 1).body);
      if (!failure.ok()) break;
    }
  }
  if (!failure.ok()) {
    size_ = 0;
    spill_.clear();
  }
  return failure;
}

std::optional<std::string> successor(std::string_view prefix) {
  std::size_t n = prefix.size();
  while (n > 0 && static_cast<unsigned char>(prefix[n - 1]) == 0xFF) --n;
  if (n == 0) return std::nullopt;
  std::string next(prefix.substr(0, n));
  next.back() = static_cast<char>(static_cast<unsigned char>(next.back()) + 1);
  return next;
}

}  // namespace tarnel::keys

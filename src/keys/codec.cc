#include "keys/codec.h"

#include <cstdio>
#include <cstring>

#include "error/text.h"

namespace tarnel::keys {
namespace {

constexpr std::uint64_t kSignBit = std::uint64_t{1} << 63;

const unsigned char* bytes_of(std::string_view s) {
  return reinterpret_cast<const unsigned char*>(s.data());
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
  if (e.kind != KeyPart::kInt) {
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
        failure = Status::error("truncated int key");
        break;
      }
      std::uint64_t u = 0;
      for (std::size_t k = 1; k <= 8; ++k) u = (u << 8) | p[i + k];
      push(Entry{KeyPart::kInt, false, static_cast<std::int64_t>(u ^ kSignBit), 0, 0});
      i += kIntPartSize;
      continue;
    }
    if (tag != kTagStr && tag != kTagBytes) {
      char text[32];
      std::snprintf(text, sizeof text, "bad key tag 0x%x", static_cast<unsigned>(tag));
      failure = Status::error(text);
      break;
    }
    const KeyPart kind = tag == kTagStr ? KeyPart::kStr : KeyPart::kBytes;
    // Each run of body bytes ends at a zero byte: a terminator, or the first half of an escape.
    std::size_t j = i + 1;
    const void* z = j < n ? std::memchr(p + j, 0, n - j) : nullptr;
    if (z == nullptr) {
      failure = Status::error("unterminated key component");
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
        failure = Status::error("unterminated key component");
        break;
      }
      scratch_.append(key_bytes.data() + j, zi - j);
      e.len = scratch_.size() - e.off;
    }
    i = zi + 1;
    push(e);
    if (kind == KeyPart::kStr) {
      failure = error::check_utf8(part(size_ - 1).body);
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

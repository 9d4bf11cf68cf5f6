// Text rules shared by keys and documents: strict UTF-8 validation, and the quoting of text
// inside error messages. No Python here.
#ifndef TARNEL_ERROR_TEXT_H_
#define TARNEL_ERROR_TEXT_H_

#include <string>
#include <string_view>

#include "error/status.h"

namespace tarnel::error {

// OK when `s` is well-formed UTF-8 (no surrogates, no overlong forms, nothing past U+10FFFF);
// otherwise tarnel.Error naming the first fault: "invalid utf-8 sequence of {n} bytes from index
// {i}" or "incomplete utf-8 byte sequence from index {i}". A sequence cut off by the end of `s`
// is "incomplete" only when every byte before the end was acceptable; otherwise {n} counts the
// bytes before the first unacceptable one. Overlong forms, surrogates and code points above
// U+10FFFF fail at their second byte. Plain ASCII is checked eight bytes at a time.
Status check_utf8(std::string_view s);

// Appends `text` (valid UTF-8) between double quotes: \0, \t, \r, \n, \\ and \" escaped, other
// control characters as \u{hex} (lowercase, no leading zeros), everything else unchanged.
void append_quoted(std::string_view text, std::string* out);

}  // namespace tarnel::error

#endif  // TARNEL_ERROR_TEXT_H_

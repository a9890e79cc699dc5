// UTF-8 checks shared by the stream readers and the JSON text form.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace orvala {

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool is_valid_utf8(std::string_view text);

// Appends the UTF-8 encoding of a code point (which must be a scalar value).
void append_utf8(std::string& out, uint32_t code);

}  // namespace orvala

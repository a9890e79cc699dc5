// The quoted ("debug") form in which messages show names, tokens and string
// values: wrapped in double quotes, with `"` and `\` escaped by a backslash,
// tab, CR, LF and NUL as \t \r \n \0, and every other control character as
// \u{hex}. Printable text, including non-ASCII UTF-8, is copied unchanged.
#pragma once

#include <string>
#include <string_view>

namespace orvala {

std::string quoted_form(std::string_view text);

}  // namespace orvala

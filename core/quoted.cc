#include "quoted.h"

#include <cstdint>
#include <cstdio>

namespace orvala {
namespace {

void append_unicode_escape(std::string& out, uint32_t code) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "\\u{%x}", code);
    out += buf;
}

// Decodes one UTF-8 sequence at text[i]; returns its length, or 0 when the
// bytes are not a valid sequence (then the byte is treated on its own).
size_t utf8_sequence(std::string_view text, size_t i, uint32_t& code) {
    auto b = static_cast<unsigned char>(text[i]);
    size_t len = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 0;
    if (len == 0 || i + len > text.size()) return 0;
    code = len == 1 ? b : b & (0x7F >> len);
    for (size_t k = 1; k < len; ++k) {
        auto c = static_cast<unsigned char>(text[i + k]);
        if ((c & 0xC0) != 0x80) return 0;
        code = (code << 6) | (c & 0x3F);
    }
    return len;
}

}  // namespace

std::string quoted_form(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    out += '"';
    for (size_t i = 0; i < text.size();) {
        uint32_t code = 0;
        size_t len = utf8_sequence(text, i, code);
        if (len == 0) {  // not UTF-8: show the raw byte as its code
            append_unicode_escape(out, static_cast<unsigned char>(text[i]));
            ++i;
            continue;
        }
        switch (code) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\t': out += "\\t"; break;
            case '\r': out += "\\r"; break;
            case '\n': out += "\\n"; break;
            case 0: out += "\\0"; break;
            default:
                if (code < 0x20 || (code >= 0x7F && code < 0xA0)) {
                    append_unicode_escape(out, code);
                } else {
                    out.append(text.substr(i, len));
                }
        }
        i += len;
    }
    out += '"';
    return out;
}

}  // namespace orvala

// Hex fixtures for the byte-exact tests: "be be 0d 00" -> bytes.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace orvala::test {

inline std::vector<uint8_t> hex(std::string_view text) {
    std::vector<uint8_t> out;
    int hi = -1;
    for (char c : text) {
        int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
        if (d < 0) continue;
        if (hi < 0) {
            hi = d;
        } else {
            out.push_back(static_cast<uint8_t>(hi * 16 + d));
            hi = -1;
        }
    }
    return out;
}

}  // namespace orvala::test

// Feeds raw bytes to the lock-file scan. The result must be the count of
// the last complete "sync" record, found here by a plain byte-by-byte scan.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>

#include "table.h"

namespace {

uint64_t be(const uint8_t* p, int n) {
    uint64_t v = 0;
    for (int i = 0; i < n; ++i) v = v << 8 | p[i];
    return v;
}

std::optional<uint64_t> reference(const uint8_t* p, size_t n) {
    std::optional<uint64_t> out;
    for (size_t i = 4; i + 4 <= n; ++i) {
        if (std::memcmp(p + i, "sync", 4) != 0 || be(p + i - 4, 4) != 4 || n - i - 4 < 4) continue;
        const uint64_t version = be(p + i + 4, 4);
        if (version == 2 && n - i - 8 >= 8) out = be(p + i + 8, 8);
        if (version == 1 && n - i - 8 >= 4) out = be(p + i + 8, 4);
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (orvala::lock_sync_nrrow_bytes(std::span(data, size)) != reference(data, size)) __builtin_trap();
    return 0;
}

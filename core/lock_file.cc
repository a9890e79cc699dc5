// The row count kept in a table's lock file. The lock file is only read,
// never locked or written: a writer of another program records its latest
// row count there in "sync" records, and table.dat may lag behind (it can
// even say 0 rows for a filled table).
#include <cstring>

#include "byteorder.h"
#include "table.h"

namespace orvala {

std::optional<uint64_t> lock_sync_nrrow_bytes(std::span<const uint8_t> bytes) {
    static constexpr uint8_t kName[4] = {'s', 'y', 'n', 'c'};
    const size_t n = bytes.size();
    std::optional<uint64_t> result;
    if (n < 4) return result;
    const uint8_t* p = bytes.data();
    // A record: u32 4 (the length of the type name), "sync", u32 version,
    // then the count. Every read below is checked against the end, so a
    // record cut short is skipped.
    for (size_t at = 4; at + 4 <= n;) {
        const void* hit = std::memchr(p + at, 's', n - 3 - at);
        if (!hit) break;
        const size_t i = static_cast<size_t>(static_cast<const uint8_t*>(hit) - p);
        at = i + 1;
        if (i < 4 || std::memcmp(p + i, kName, 4) != 0 || load_u32(p + i - 4, false) != 4) continue;
        if (n - (i + 4) < 4) continue;
        const uint32_t version = load_u32(p + i + 4, false);
        const size_t body = i + 8;
        if (version == 2) {
            if (n - body < 8) continue;
            result = load_u64(p + body, false);
        } else if (version == 1) {
            if (n - body < 4) continue;
            result = load_u32(p + body, false);
        }
    }
    return result;
}

std::optional<uint64_t> lock_sync_nrrow(const std::string& dir) {
    // Mapped rather than copied: no allocation follows the file's size.
    auto file = Buffer::open(dir + "/table.lock");
    if (!file) return std::nullopt;
    return lock_sync_nrrow_bytes(file->bytes());
}

}  // namespace orvala

#include "lock_sync.h"

#include <cstring>

#include "byteorder.h"

namespace orvala {

std::optional<LockSyncRecord> find_lock_sync(std::span<const uint8_t> bytes) {
    std::optional<LockSyncRecord> last;
    const size_t n = bytes.size();
    for (size_t i = 4; i + 4 <= n; ++i) {
        if (std::memcmp(bytes.data() + i, "sync", 4) != 0) continue;
        if (load_u32(bytes.data() + i - 4, false) != 4) continue;
        if (i + 12 > n) continue;
        uint32_t version = load_u32(bytes.data() + i + 4, false);
        size_t at = i + 8;
        if (version == 2 && at + 8 <= n) {
            last = LockSyncRecord{at, 8, load_u64(bytes.data() + at, false)};
        } else if (version == 1 && at + 4 <= n) {
            last = LockSyncRecord{at, 4, load_u32(bytes.data() + at, false)};
        }
    }
    return last;
}

std::optional<std::vector<uint8_t>> encode_lock_sync_count(const LockSyncRecord& record, uint64_t nrow) {
    std::vector<uint8_t> out(record.count_bytes);
    if (record.count_bytes == 8) {
        store_u64(out.data(), nrow, false);
    } else {
        if (nrow > UINT32_MAX) return std::nullopt;
        store_u32(out.data(), static_cast<uint32_t>(nrow), false);
    }
    return out;
}

}  // namespace orvala

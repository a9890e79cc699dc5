// The "sync" record of a table's lock file ("table.lock"), which a table's
// opener prefers to table.dat for the row count when it is not 0.
//
// The lock file is scanned for the type name "sync" preceded by the
// big-endian u32 4 (its AipsIO length) and followed by a big-endian u32
// version: version 2 then holds a big-endian u64 row count, version 1 a u32.
// Other versions, and records cut short by the end of the file, are
// skipped; the last record found counts.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace orvala {

struct LockSyncRecord {
    uint64_t count_offset = 0;  // of the row count in the file
    uint32_t count_bytes = 8;   // 8 (version 2) or 4 (version 1)
    uint64_t nrow = 0;
};

std::optional<LockSyncRecord> find_lock_sync(std::span<const uint8_t> bytes);

// The row count field of `record` holding `nrow` (big-endian); none when it
// does not fit the field.
std::optional<std::vector<uint8_t>> encode_lock_sync_count(const LockSyncRecord& record, uint64_t nrow);

}  // namespace orvala

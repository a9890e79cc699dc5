// The column set of table.dat: which data manager stores which column, and
// each data manager's private settings blob.
//
// Layout (big-endian, no object header of its own; it follows the
// "TableDesc" object inside "Table"):
//   i32 v: v >= 0 is a version-1 set whose row count is v; otherwise the
//          version is -v (1 to 3): versions 1 and 2 follow with a u32 row
//          count, version 3 with an i64 row count, an i32 storage option and
//          an i32 block size
//   u32 sequence counter, u32 data-manager count n,
//   n x (type name, u32 sequence number)
//   per column of the description ("PlainColumn"): u32 class version (2),
//     name, u32 derived version, u32 data-manager sequence number; array
//     columns add a bool and, when it is true, a fixed shape "IPosition"
//   n x (u32 byte count, that many bytes): the data managers' blobs
//
// A StandardStMan's blob holds its settings (magic, top-level "SSM" object
// { name, "Block" of u32 column offsets, "Block" of u32 column index map });
// an IncrementalStMan's is magic, top-level "ISM" version 3 { name }. Blobs
// of other data managers are kept as bytes.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "aipsio.h"
#include "ssm_settings.h"
#include "table_dat_error.h"
#include "tabledesc.h"

namespace orvala {

// The parsed "SSM" blob of a StandardStMan, or the raw blob bytes of any
// other data manager.
using DataManagerBlob = std::variant<StandardStMan, std::vector<uint8_t>>;

struct DataManager {
    std::string type_name;  // "StandardStMan", "IncrementalStMan", ...
    uint32_t sequence = 0;  // N in its file names "table.fN..."
    DataManagerBlob blob;

    bool operator==(const DataManager& other) const;
};

struct ColumnInfo {
    std::string name;
    uint32_t dm_sequence = 0;  // sequence number of the data manager storing it
    // Array columns: the shape stored with the column set, when present.
    std::optional<std::vector<int64_t>> shape;

    bool operator==(const ColumnInfo& other) const = default;
};

// Kept from a version-3 column set, written back by nobody.
struct StorageSettings {
    int32_t storage_option = 0;
    int32_t block_size = 0;

    bool operator==(const StorageSettings& other) const = default;
};

struct ColumnSet {
    int32_t version = 2;  // 1, 2 or 3
    uint64_t row_count = 0;
    std::optional<StorageSettings> storage;  // version 3 only
    uint32_t sequence_counter = 0;           // next free data-manager number
    std::vector<DataManager> data_managers;
    std::vector<ColumnInfo> columns;  // one per column of the description, in its order

    // The data manager with that sequence number, or null.
    const DataManager* find_data_manager(uint32_t sequence) const;

    bool operator==(const ColumnSet& other) const = default;
};

// The column set following `desc` (whose column kinds say which entries
// carry the array part).
TableDatResult<ColumnSet> parse_column_set(Reader& r, const TableDesc& desc);

// The settings of a StandardStMan from its "SSM" blob.
TableDatResult<StandardStMan> parse_standard_stman(std::span<const uint8_t> blob);
// A nested "Block" object of u32 values (any version).
TableDatResult<std::vector<uint32_t>> read_block_u32(Reader& r);

// The blobs written for new tables: "SSM" version 2 and "ISM" version 3.
std::vector<uint8_t> build_standard_stman_blob(const StandardStMan& settings);
std::vector<uint8_t> build_ism_blob(std::string_view data_manager_name);

}  // namespace orvala

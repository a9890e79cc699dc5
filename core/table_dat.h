// table.dat: the file in every table directory that holds the row count, the
// byte order of the data files, the table description and the column set.
//
// It is one big-endian top-level AipsIO object:
//   magic 0xBEBEBEBE, "Table" {
//     row count: u32 (version 2) or u64 (version 3)
//     u32 endianness of the data files: 0 big-endian, 1 little-endian
//     table type (string; "PlainTable" as written here, not checked)
//     "TableDesc" object (tabledesc.h)
//     column set and data-manager blobs (columnset.h)
//   }
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "columnset.h"
#include "table_dat_error.h"
#include "tabledesc.h"

namespace orvala {

struct TableDat {
    std::string table_type;
    uint64_t row_count = 0;
    bool big_endian = false;  // byte order of the data files
    TableDesc desc;
    ColumnSet column_set;

    bool operator==(const TableDat& other) const = default;
};

// Decodes a whole table.dat. Every count and length is checked against the
// bytes that are there; the first failure ends the read.
TableDatResult<TableDat> parse_table_dat(std::span<const uint8_t> bytes);

// A data manager as handed to the writer: its finished settings blob
// (build_standard_stman_blob, build_ism_blob, or the tiled managers' own).
struct DmBlob {
    std::string type_name;
    uint32_t sequence = 0;
    std::vector<uint8_t> bytes;
};

// The image of table.dat for a table whose data files are little-endian:
// "Table" version 2 (u32 rows), table type "PlainTable", "TableDesc"
// version 2, a version-2 column set whose sequence counter is the number of
// data managers, and every array column with its shape (empty when none).
// `column_sequences[i]` is the data manager of desc.columns[i].
// Failures are internal errors (InternalError): a row count of 2^32 or more
// ("row count exceeds the u32 range of a v2 ColumnSet"), keyword records
// that cannot be written, mismatched argument sizes.
std::vector<uint8_t> build_table_dat(uint64_t row_count, const TableDesc& desc, std::span<const DmBlob> data_managers,
                                     std::span<const uint32_t> column_sequences);

}  // namespace orvala

// The complete file images of a table: table.dat and the files of every
// data manager of its plan (dm_plan.h), built in memory before anything is
// written, each in one pass by its storage manager's writer.
//
// File order (the order in which they are written): "table.dat"; "table.fN"
// for every data manager in plan order (StandardStMan bucket file,
// IncrementalStMan file, tiled header); "table.fNi" for every StandardStMan
// with an array file; "table.fN_TSMk" for every tiled data manager.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "dm_plan.h"
#include "record.h"
#include "tabledesc.h"
#include "write_table_error.h"

namespace orvala {

// Hands out the values of one column (nrow of them) when the files of its
// data manager are built; they are dropped once those files are built, so a
// caller that produces values on demand holds one data manager's values at
// a time.
class ColumnValueSource {
public:
    virtual ~ColumnValueSource() = default;
    virtual WriteResult<std::vector<RecordValue>> take(size_t column) = 0;
};

struct TableImage {
    std::vector<std::pair<std::string, std::vector<uint8_t>>> files;  // in the order written
    uint64_t nrow = 0;
};

// Builds every file. `nrow` is the row count (0 for a table without
// columns). Errors: the source's own; Create with "unsupported data-manager
// type T" (checked for every data manager before any value is asked for),
// with a row count beyond what table.dat records, or with the writer's
// failure (NotScalar for an IncrementalStMan array column, else Io with the
// writer's message).
WriteResult<TableImage> build_table_image(const TableDesc& desc, uint64_t nrow, ColumnValueSource& values);

// True for the types that build_table_image writes.
bool writable_data_manager_type(const std::string& type_name);

}  // namespace orvala

// Helpers shared by the table's cell, column and raw readers (not part of
// the table's interface).
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "ism.h"
#include "record.h"
#include "ssm.h"
#include "ssm_cell.h"
#include "table_read_error.h"
#include "tabledesc.h"

namespace orvala {

// Reads of at least this many rows release the mapped pages afterwards; the
// raw path releases them every kRawDropRows rows once kRawDropBytes of cells
// have passed.
inline constexpr uint64_t kGetcolDropRows = 512;
inline constexpr uint64_t kRawDropRows = 4096;
inline constexpr uint64_t kRawDropBytes = uint64_t{2} << 20;

// Cells synthesised from a description alone (never-stored tiled cells) are
// refused above this size: no file bytes bound them.
inline constexpr uint64_t kMaxSynthesizedCellBytes = uint64_t{1} << 28;

inline IsmColumn ism_column(const ColumnDesc& d, size_t position) {
    IsmColumn c;
    c.name = d.name;
    c.position = static_cast<uint32_t>(position);
    c.type = d.data_type;
    c.is_array = d.kind == ColumnKind::Array;
    return c;
}

// The element count of the column's fixed shape: none when it has no fixed
// shape, an extent is negative or beyond 32 bits, or the product overflows
// 64 bits.
inline std::optional<uint64_t> fixed_shape_elements(const ColumnDesc& d) {
    if (!d.has_fixed_shape()) return std::nullopt;
    uint64_t n = 1;
    for (int64_t e : *d.shape)
        if (e < 0 || e > int64_t{UINT32_MAX} || __builtin_mul_overflow(n, static_cast<uint64_t>(e), &n)) return std::nullopt;
    return n;
}

// The fixed shape in C order (extents must be checked first).
inline std::vector<uint32_t> c_order_shape(const std::vector<int64_t>& stored) {
    std::vector<uint32_t> shape;
    shape.reserve(stored.size());
    for (auto it = stored.rbegin(); it != stored.rend(); ++it) shape.push_back(static_cast<uint32_t>(*it));
    return shape;
}

// A cell that holds no stored array (a never-written cell): zeros of the
// column's fixed shape, or without one an empty array with the column's
// number of axes (one when that is unknown). None when the fixed shape is
// unusable or too large to build.
std::optional<RecordValue> undefined_array_cell(const ColumnDesc& d);

// How a StandardStMan column's cells are read: its layout in the data
// buckets and, for a direct array column, the cells' shape. A direct array
// column (option bit 1 with a fixed shape) keeps each cell's elements in the
// data bucket itself rather than in the array file; it is taken as direct
// only when its bucket region is wide enough to hold such cells.
struct SsmPlan {
    CellColumn col;
    SsmColumnLayout layout;
    bool direct = false;
    std::vector<uint32_t> shape;  // direct: the C-order cell shape
    uint64_t elements = 0;        // direct: elements per cell
};
SsmResult<SsmPlan> ssm_plan(const StandardStManFile& f, const StandardStMan& settings, size_t position,
                            const ColumnDesc& d);

// The cell bytes of row i of a run (and the bit of a Bool cell).
std::pair<std::span<const uint8_t>, unsigned> ssm_run_cell(const SsmRun& run, const SsmColumnLayout& layout,
                                                           uint64_t i);

// One StandardStMan cell as a value, from its bytes in a data bucket.
TableReadResult<RecordValue> ssm_cell_value(const StandardStManFile& f, const SsmPlan& plan, const ColumnDesc& d,
                                            std::span<const uint8_t> cell, unsigned bit, uint64_t row);

}  // namespace orvala

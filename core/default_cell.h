// The value that a cell holds until something is written into it.
#pragma once

#include <cstddef>
#include <optional>

#include "record.h"
#include "tabledesc.h"

namespace orvala {

// n elements of the type's zero: false, 0, 0.0, (0, 0) or "" (Char as
// UChar). A type without array elements (Record, Table, Quantity, ...)
// gives an empty Double vector.
ArrayData zero_elements(DataType type, size_t n);

// A scalar column: a copy of its default value (none for a type that has no
// scalar cell, such as Table or Quantity). An array column: zeros of its
// element type, shaped as its fixed shape in C order (negative extents count
// as 0), or one element without axes when the shape is not fixed (none when
// the element type has no array storage, or when the cell would hold more
// than 2^28 elements). A record column: an empty record.
std::optional<RecordValue> default_cell_value(const ColumnDesc& column);

}  // namespace orvala

// The dictionary forms of descriptions, as users write and read them.
//
// Column-description dict (input; other keys are ignored):
//   "valueType"        type name ("double", "INT", "dcomplex", "record", ...;
//                      any letter case, with the usual aliases); required
//   "comment"          string, default ""
//   "dataManagerType"  non-empty string, default "StandardStMan"
//   "dataManagerGroup" non-empty string, default "StandardStMan"
//   "option", "maxlen" integer (Int or Int64, low 32 bits), default 0
//   "ndim"             integer, default -1; its presence makes an array column
//   "shape"            array of non-negative integers, or a record whose
//                      "array" entry is one; C order (slowest axis first)
//   "keywords"         record, default empty
// A value of another type than listed takes the default, except shape
// elements: a negative or non-integer extent is an error.
// "TiledCellStMan", "TSMExpStMan" and "TSMBoundedStMan" are replaced by
// "StandardStMan", and so is "TiledShapeStMan" for a column without shape.
//
// Column-description dict (output, keys in this order): "valueType",
// "dataManagerType", "dataManagerGroup", "option", "maxlen", "comment", then
// for array columns "ndim", "shape" (only with at least one extent) and
// "_c_order" (true), then "keywords". Scalar and record columns carry no
// "ndim", so that reading the output back keeps the column's kind.
//
// Table-description dict (JSON text, which must be valid UTF-8): members in order; "_keywords_" and
// "_private_keywords_" (objects) give the keywords, "_define_hypercolumn_"
// is skipped, every other member is a column of that name.
#pragma once

#include <string_view>

#include "record.h"
#include "tabledesc.h"

namespace orvala {

// Errors are TableDescError::Message texts that begin with "column NAME: ".
TableDescResult<ColumnDesc> column_from_desc_dict(std::string_view name, const RecordValue& dict);

// The output form. Values: strings as String, "option", "maxlen" and "ndim"
// as Int, "shape" as a one-axis Int64 array (the binding layer gives it to
// Python as a list of ints), "_c_order" as Bool, "keywords" as a Record.
TableRecord column_to_desc_dict(const ColumnDesc& column);

// The table-description dict: each column's output form under its name, in
// column order, then "_keywords_", "_private_keywords_" and
// "_define_hypercolumn_" (an empty record).
TableRecord table_to_desc_dict(const TableDesc& desc);

// "boolean", "uchar" (also for Char), "short", ..., "record"; "unknown" for
// types that have no column value type.
const char* desc_type_name(DataType type);

}  // namespace orvala

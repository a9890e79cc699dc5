// The schema of a table: its keywords, its private keywords and its columns
// in order, and the binary form of that schema inside table.dat.
//
// Binary form (big-endian AipsIO, nested objects, no magic):
//   "TableDesc" object (any version read, 2 written) {
//     name, version text, comment (strings)
//     table keywords ("TableRecord")
//     private keywords ("TableRecord"; absent in version 1)
//     u32 column count, then each column description:
//       u32 version (1), class name, u32 base version (1), name, comment,
//       data-manager type, data-manager group, i32 data type, i32 option,
//       i32 ndim, shape "IPosition" (array columns only), i32 maxlen,
//       keywords "TableRecord", u32 class version (1),
//       default value in the type's encoding (scalar columns only),
//       bool flag (array columns only; written false, ignored on reading)
//   }
// The class name says the kind: "ScalarColumnDesc<T>", "ArrayColumnDesc<T>"
// or "ScalarRecordColumnDesc", T being the type name padded to 8 characters
// ("ScalarColumnDesc<Int     >"). Readers look at the prefix only.
//
// The dictionary forms (what users write) are in tabledesc_dict.h.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "aipsio.h"
#include "record.h"

namespace orvala {

struct TableDescError {
    struct AipsIo {
        AipsIoError error;
    };
    struct Record {
        RecordError error;
    };
    // Another object where a known one must stand.
    struct UnexpectedType {
        std::string found;
        std::string expected;
    };
    struct UnknownColumnClass {
        std::string class_name;
    };
    // A complete message (errors in dictionary-form descriptions).
    struct Message {
        std::string text;
    };

    std::variant<AipsIo, Record, UnexpectedType, UnknownColumnClass, Message> v;

    TableDescError(AipsIoError e) : v(AipsIo{std::move(e)}) {}
    TableDescError(RecordError e) : v(Record{std::move(e)}) {}
    TableDescError(UnexpectedType e) : v(std::move(e)) {}
    TableDescError(UnknownColumnClass e) : v(std::move(e)) {}
    TableDescError(Message e) : v(std::move(e)) {}
    static TableDescError msg(std::string text) { return TableDescError(Message{std::move(text)}); }

    // AipsIo and Record: the inner message unchanged;
    // unexpected object type "Found", expected "TableDesc";
    // unknown column description class "Name"; Message: its text.
    std::string message() const;
};

template <class T>
using TableDescResult = std::expected<T, TableDescError>;

// The column's class in the format: a scalar (with a default value), an
// array of the column's data type, or a record.
enum class ColumnKind { Scalar, Array, Record };

struct ColumnDesc {
    std::string name;
    std::string comment;
    std::string data_manager_type;   // "StandardStMan", "IncrementalStMan", ...
    std::string data_manager_group;
    // The cell type of scalar columns, the element type of array columns,
    // Record for record columns.
    DataType data_type = DataType::Bool;
    int32_t option = 0;  // the format's option bits, kept as they are
    int32_t ndim = -1;   // -1: not fixed (and for scalar columns from dicts)
    // The fixed cell shape in storage order (first axis fastest). An array
    // column read from table.dat always has one; empty means no fixed shape.
    std::optional<std::vector<int64_t>> shape;
    int32_t maxlen = 0;  // maximum string length, 0 = unlimited
    TableRecord keywords;
    ColumnKind kind = ColumnKind::Scalar;
    // Scalar columns only: a value of the column's type. Columns from dicts
    // carry the type's zero.
    RecordValue default_value;

    // A shape with at least one extent.
    bool has_fixed_shape() const { return shape.has_value() && !shape->empty(); }
    bool operator==(const ColumnDesc& other) const = default;
};

struct TableDesc {
    std::string name;     // empty for descriptions built from dicts
    std::string version;  // empty for dicts
    std::string comment;  // empty for dicts
    TableRecord keywords;
    TableRecord private_keywords;
    std::vector<ColumnDesc> columns;  // in column order

    // The first column of that name, or null.
    const ColumnDesc* find_column(std::string_view column) const;

    // A table-description dict as JSON text (see tabledesc_dict.h).
    static TableDescResult<TableDesc> from_desc_json(std::string_view json);

    bool operator==(const TableDesc& other) const = default;
};

// The zero of a scalar type: false, 0, 0.0, (0,0), "" (Char as UChar 0,
// Table as an empty reference). Other types give Bool false.
RecordValue zero_value(DataType type);

// ---- binary form ----

// One column description (the reader positioned at its version word).
TableDescResult<ColumnDesc> parse_column_desc(Reader& r);
// A nested "TableDesc" object.
TableDescResult<TableDesc> parse_table_desc(Reader& r);

// "TableDesc" version 2 with every column. A keyword record that cannot be
// written throws InternalError ("write table keyword record: ...",
// "write private keyword record: ...", "write column keyword record: ...").
void write_table_desc(Writer& w, const TableDesc& desc);
void write_column_desc(Writer& w, const ColumnDesc& column);

// The class name written for a column: "ScalarColumnDesc<double  >",
// "ArrayColumnDesc<DComplex>", "ScalarRecordColumnDesc".
std::string column_class_name(const ColumnDesc& column);
// The type code written: the DataType code for Bool to Table, Record, Int64
// and ArrayInt64; 13 for every other type.
int32_t written_type_code(DataType type);

}  // namespace orvala

// The value model shared by every layer: the format's data type codes, the
// tagged value of a cell or keyword, shaped arrays, and keyword records (an
// ordered description of fields with a parallel list of values), together
// with their AipsIO form.
//
// AipsIO form of a keyword record (nested, no magic):
//   "TableRecord" object {
//     "RecordDesc" object { i32 nfields; per field: name, i32 type code,
//                           type extra (Table: desc name; Record: nested
//                           RecordDesc; arrays: IPosition shape),
//                           comment (description version > 1) }
//     i32 record type
//     values in field order, no headers: scalars in their encoding, arrays as
//     array objects, sub-records with a fixed description as their bare
//     values, other sub-records as a complete nested "TableRecord"
//   }
// Array object: "Array<...>" { u32 ndim; ndim u32 extents; (versions 1 and 2:
// ndim u32 origin); u32 count; elements, Bool packed 8 per byte LSB first }.
#pragma once

#include <complex>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "aipsio.h"

namespace orvala {

// ---- errors ----

struct RecordError {
    struct AipsIo {
        AipsIoError error;
    };
    struct UnknownDataType {
        int32_t code;
    };
    // A keyword set in the pre-"TableRecord" format; carries the name found.
    struct LegacyKeywordSet {
        std::string type_name;
    };
    // A complete message (JSON reader, record writers, structural checks).
    struct Message {
        std::string text;
    };

    std::variant<AipsIo, UnknownDataType, LegacyKeywordSet, Message> v;

    RecordError(AipsIoError e) : v(AipsIo{std::move(e)}) {}
    RecordError(UnknownDataType e) : v(e) {}
    RecordError(LegacyKeywordSet e) : v(std::move(e)) {}
    RecordError(Message e) : v(std::move(e)) {}
    static RecordError msg(std::string text) { return RecordError(Message{std::move(text)}); }

    // AipsIo: the inner message; "unknown DataType value N";
    // "unsupported legacy keyword set object \"Name\""; Message: its text.
    std::string message() const;
};

template <class T>
using RecordResult = std::expected<T, RecordError>;

// Deepest nesting of records the readers accept (AipsIO and JSON alike).
inline constexpr int kMaxRecordDepth = 200;

// ---- data types ----

// The format's type codes; the numbering is stored in files.
enum class DataType : int32_t {
    Bool = 0, Char, UChar, Short, UShort, Int, UInt, Float, Double, Complex, DComplex, String, Table,
    ArrayBool, ArrayChar, ArrayUChar, ArrayShort, ArrayUShort, ArrayInt, ArrayUInt, ArrayFloat,
    ArrayDouble, ArrayComplex, ArrayDComplex, ArrayString, Record, Other, Quantity, ArrayQuantity,
    Int64, ArrayInt64,
};

// 0 to 30, else UnknownDataType(code).
RecordResult<DataType> data_type_from_i32(int32_t code);
inline int32_t data_type_code(DataType t) { return static_cast<int32_t>(t); }
// "Bool", "ArrayInt64", ...: the name messages print.
const char* data_type_name(DataType t);
// ArrayBool ... ArrayString, ArrayQuantity, ArrayInt64.
bool is_array_type(DataType t);
// The scalar of an array type (ArrayInt64 -> Int64); other types unchanged.
DataType element_type(DataType t);
// The array type of a scalar type (Int64 -> ArrayInt64), if there is one.
std::optional<DataType> array_type_of(DataType scalar);

// ---- values ----

struct RecordValue;
struct RecordDescField;

struct RecordDesc {
    std::vector<RecordDescField> fields;

    // Index of the first field with that name, or -1.
    int64_t find(std::string_view name) const;
    bool operator==(const RecordDesc& other) const;

    // A nested "RecordDesc" object (versions 1 and up).
    static RecordResult<RecordDesc> read(Reader& r);
};

struct RecordDescField {
    std::string name;
    DataType data_type = DataType::Bool;
    // Record fields: the fixed sub-description; no fields means a variable
    // sub-record whose value carries its own description.
    std::optional<RecordDesc> sub_desc;
    std::optional<std::vector<int64_t>> shape;   // array fields
    std::optional<std::string> table_desc_name;  // Table fields
    std::string comment;

    bool operator==(const RecordDescField& other) const = default;
};

struct TableRecord {
    RecordDesc desc;
    std::vector<RecordValue> values;  // parallel to desc.fields
    int32_t record_type = 0;          // as stored: 0 fixed, 1 variable

    size_t size() const { return desc.fields.size(); }
    // The value of the first field with that name.
    const RecordValue* get(std::string_view name) const;
    RecordValue* get(std::string_view name);
    // Replaces the value of an existing field (its declared type follows the
    // value; shape, table description name and comment are kept) or appends
    // a new field.
    void set(std::string_view name, RecordValue value);
    // Removes the first field with that name; false when there is none.
    bool remove(std::string_view name);

    bool operator==(const TableRecord& other) const;

    // A nested "TableRecord" object.
    static RecordResult<TableRecord> read(Reader& r);

    // JSON text; `context_dir` is the directory of the table holding the
    // record, used to turn Table values into absolute paths.
    std::string to_json_string_ctx(std::optional<std::string_view> context_dir = std::nullopt) const;
};

using ArrayDataVariant =
    std::variant<std::vector<bool>, std::vector<uint8_t>, std::vector<int16_t>, std::vector<uint16_t>,
                 std::vector<int32_t>, std::vector<uint32_t>, std::vector<int64_t>, std::vector<float>,
                 std::vector<double>, std::vector<std::complex<float>>, std::vector<std::complex<double>>,
                 std::vector<std::string>>;

// One flat vector of elements in storage order; Char elements are held as
// UChar. Use std::get / std::visit, or kind().
struct ArrayData : ArrayDataVariant {
    enum class Kind { Bool, UChar, Short, UShort, Int, UInt, Int64, Float, Double, Complex, DComplex, String };

    using ArrayDataVariant::ArrayDataVariant;
    ArrayData() : ArrayDataVariant(std::vector<std::string>{}) {}

    Kind kind() const { return static_cast<Kind>(index()); }
    size_t size() const;
    DataType element_type() const;  // Bool, UChar, ..., String
    DataType array_type() const;    // ArrayBool, ArrayUChar, ..., ArrayString
    // An empty vector holding elements of the given scalar type (Char as
    // UChar); none for types without array storage.
    static std::optional<ArrayData> empty_of(DataType element);
};

struct ArrayValue {
    // Extents. Arrays from AipsIO array objects keep the stored order (first
    // axis fastest); cell arrays from the storage managers list them in C
    // order. The data's order never changes: it is storage order.
    std::vector<uint32_t> shape;
    ArrayData data;

    // The elements as scalar values, in storage order.
    std::vector<RecordValue> elements() const;
    bool operator==(const ArrayValue& other) const = default;
};

// A Table keyword: the stored reference of a subtable (see resolve_subtable).
struct TableRef {
    std::string reference;
    bool operator==(const TableRef& other) const = default;
};

using RecordValueVariant =
    std::variant<bool, uint8_t, int16_t, uint16_t, int32_t, uint32_t, int64_t, float, double, std::complex<float>,
                 std::complex<double>, std::string, TableRecord, TableRef, ArrayValue>;

// The tagged value of a cell or keyword. Alternatives in Kind order; a Char
// is held as UChar.
struct RecordValue : RecordValueVariant {
    enum class Kind {
        Bool, UChar, Short, UShort, Int, UInt, Int64, Float, Double, Complex, DComplex, String, Record, Table, Array,
    };

    using RecordValueVariant::RecordValueVariant;
    RecordValue() : RecordValueVariant(false) {}

    Kind kind() const { return static_cast<Kind>(index()); }
    // The type a field takes when set to this value (Array: its array type).
    DataType data_type() const;
    bool operator==(const RecordValue& other) const {
        return static_cast<const RecordValueVariant&>(*this) == static_cast<const RecordValueVariant&>(other);
    }

    // JSON text; see TableRecord::to_json_string_ctx.
    std::string to_json_string_ctx(std::optional<std::string_view> context_dir = std::nullopt) const;
};

// ---- AipsIO readers ----

// The values of a record described by `desc`, one per field, no headers.
RecordResult<std::vector<RecordValue>> read_record_data(Reader& r, const RecordDesc& desc);
// One scalar (Bool, Char, UChar, Short, UShort, Int, UInt, Int64, Float,
// Double, Complex, DComplex, String, Table) in its stream encoding.
RecordResult<RecordValue> read_scalar_value(Reader& r, DataType type);
// An array object with elements of the scalar type `element`. Its element
// count must equal the product of its extents (0 for no extents).
RecordResult<ArrayValue> read_array(Reader& r, DataType element);

// ---- AipsIO writers ----

// Fails with a Message when a value is missing or of the wrong kind. Each
// field is written with its own value (the record's value at the same index
// when the names agree there, else the first value of that name).
RecordResult<void> write_table_record(Writer& w, const TableRecord& record);
RecordResult<void> write_record_desc(Writer& w, const RecordDesc& desc);
// The bare values of a record with a fixed description.
RecordResult<void> write_record_data_values(Writer& w, const TableRecord& record);
// Writes `type`'s encoding, converting the value where the format allows
// (e.g. Int into Short keeps the low 16 bits, Double into Float rounds);
// values that do not convert write the type's zero (String: ""). Types with
// no scalar encoding write nothing.
void write_scalar_value(Writer& w, DataType type, const RecordValue& value);
// "Array<void>" version 3 with the given extents and elements.
void write_array_value(Writer& w, std::span<const uint32_t> shape, const ArrayData& data);

// ---- paths ----

// The absolute path of a subtable from its stored reference and the
// directory of the table that holds the keyword: no "./" prefix is relative
// to the table (or names the table itself first); one "./" is a sibling of
// the table; two or more are inside it. The result is lexically normalised.
std::string resolve_subtable(std::string_view stored, std::string_view table_dir);
// Drops "." components and resolves ".." against the components kept so far,
// without touching the file system ("/a/./b/../c" -> "/a/c").
std::string lexical_normalize(std::string_view path);

// ---- NumPy names ----

// "bool", "uint8", "int16", ..., "complex128" for the scalar types that have
// a NumPy element type (not Char); none otherwise.
std::optional<std::string_view> data_type_to_np(std::optional<DataType> type);
// A NumPy kind character ("b", "i", "u", "f", "c") and item size to a dtype
// name, e.g. ("i", 8) -> "int64"; none when there is no such type.
std::optional<std::string_view> np_kind_itemsize(std::string_view kind, int64_t itemsize);

}  // namespace orvala

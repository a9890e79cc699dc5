// Column value types, named by their type names as stored in column
// descriptions ("DOUBLE", "INT", ...) and mapped to NumPy dtype names.
#pragma once

#include <expected>
#include <optional>
#include <string>
#include <string_view>

namespace orvala {

// In this order; the order is also the order of `casa_type`'s search.
enum class ValueType {
    Bool, Byte, Short, UShort, Int, UInt, Int64, Float, Double, Complex, DComplex, String, Record,
};

// The name was not one of the accepted spellings; carries it as given.
struct UnknownCasaType {
    std::string name;
    std::string message() const;  // unknown CASA value type name: "<name>"
};

struct UnknownNumpyDtype {
    std::string name;
    std::string message() const;  // unknown numpy dtype: "<name>"
};

// Accepts the canonical names and their aliases (BOOLEAN, UCHAR, SMALLINT,
// USMALLINT, INTEGER, UINTEGER, FCOMPLEX) in any ASCII letter case.
std::expected<ValueType, UnknownCasaType> value_type_from_casa_name(std::string_view name);

// Exact, case-sensitive match against the NumPy names ("float64", "object").
std::expected<ValueType, UnknownNumpyDtype> value_type_from_numpy_name(std::string_view name);

const char* casa_name(ValueType type);   // "BOOL", "BYTE", ..., "RECORD"
const char* numpy_name(ValueType type);  // "bool", "uint8", ..., "object", "record"

}  // namespace orvala

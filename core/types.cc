#include "types.h"

#include <array>

#include "quoted.h"

namespace orvala {
namespace {

struct TypeNames {
    ValueType type;
    const char* casa;
    const char* alias;  // nullptr when the type has none
    const char* numpy;
};

constexpr std::array<TypeNames, 13> kTypes{{
    {ValueType::Bool, "BOOL", "BOOLEAN", "bool"},
    {ValueType::Byte, "BYTE", "UCHAR", "uint8"},
    {ValueType::Short, "SHORT", "SMALLINT", "int16"},
    {ValueType::UShort, "USHORT", "USMALLINT", "uint16"},
    {ValueType::Int, "INT", "INTEGER", "int32"},
    {ValueType::UInt, "UINT", "UINTEGER", "uint32"},
    {ValueType::Int64, "INT64", nullptr, "int64"},
    {ValueType::Float, "FLOAT", nullptr, "float32"},
    {ValueType::Double, "DOUBLE", nullptr, "float64"},
    {ValueType::Complex, "COMPLEX", "FCOMPLEX", "complex64"},
    {ValueType::DComplex, "DCOMPLEX", nullptr, "complex128"},
    {ValueType::String, "STRING", nullptr, "object"},
    {ValueType::Record, "RECORD", nullptr, "record"},
}};

const TypeNames& names_of(ValueType type) { return kTypes[static_cast<size_t>(type)]; }

}  // namespace

std::string UnknownCasaType::message() const {
    return "unknown CASA value type name: " + quoted_form(name);
}

std::string UnknownNumpyDtype::message() const {
    return "unknown numpy dtype: " + quoted_form(name);
}

std::expected<ValueType, UnknownCasaType> value_type_from_casa_name(std::string_view name) {
    std::string upper(name);
    for (char& c : upper) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    for (const auto& t : kTypes) {
        if (upper == t.casa || (t.alias != nullptr && upper == t.alias)) return t.type;
    }
    return std::unexpected(UnknownCasaType{std::string(name)});
}

std::expected<ValueType, UnknownNumpyDtype> value_type_from_numpy_name(std::string_view name) {
    for (const auto& t : kTypes) {
        if (name == t.numpy) return t.type;
    }
    return std::unexpected(UnknownNumpyDtype{std::string(name)});
}

const char* casa_name(ValueType type) { return names_of(type).casa; }
const char* numpy_name(ValueType type) { return names_of(type).numpy; }

}  // namespace orvala

// Column-description dicts: reading them into ColumnDesc and writing them.
#include "tabledesc_dict.h"

#include <algorithm>

#include "json.h"
#include "types.h"
#include "utf8.h"
#include "value_debug.h"

namespace orvala {

namespace {

constexpr const char* kDefaultManager = "StandardStMan";

DataType data_type_of(ValueType t) {
    switch (t) {
        case ValueType::Bool: return DataType::Bool;
        case ValueType::Byte: return DataType::UChar;
        case ValueType::Short: return DataType::Short;
        case ValueType::UShort: return DataType::UShort;
        case ValueType::Int: return DataType::Int;
        case ValueType::UInt: return DataType::UInt;
        case ValueType::Int64: return DataType::Int64;
        case ValueType::Float: return DataType::Float;
        case ValueType::Double: return DataType::Double;
        case ValueType::Complex: return DataType::Complex;
        case ValueType::DComplex: return DataType::DComplex;
        case ValueType::String: return DataType::String;
        case ValueType::Record: return DataType::Record;
    }
    return DataType::Other;
}

const std::string* string_entry(const TableRecord& dict, std::string_view key) {
    const RecordValue* v = dict.get(key);
    return v == nullptr ? nullptr : std::get_if<std::string>(v);
}

// Int and Int64 entries, the latter cut to their low 32 bits.
std::optional<int32_t> int_entry(const TableRecord& dict, std::string_view key) {
    const RecordValue* v = dict.get(key);
    if (v == nullptr) return std::nullopt;
    if (auto* i = std::get_if<int32_t>(v)) return *i;
    if (auto* i = std::get_if<int64_t>(v)) return static_cast<int32_t>(static_cast<uint64_t>(*i));
    return std::nullopt;
}

std::string manager_entry(const TableRecord& dict, std::string_view key) {
    const std::string* s = string_entry(dict, key);
    return s == nullptr || s->empty() ? kDefaultManager : *s;
}

// The "shape" entry in storage order: absent when the entry is missing or
// neither an array nor a record holding one under "array".
TableDescResult<std::optional<std::vector<int64_t>>> shape_entry(std::string_view column, const TableRecord& dict) {
    const RecordValue* v = dict.get("shape");
    if (v == nullptr) return std::nullopt;
    if (auto* rec = std::get_if<TableRecord>(v)) {
        v = rec->get("array");
        if (v == nullptr) return std::nullopt;
    }
    auto* array = std::get_if<ArrayValue>(v);
    if (array == nullptr) return std::nullopt;

    std::vector<int64_t> shape;
    shape.reserve(array->data.size());
    std::optional<RecordValue> bad;
    std::visit(
        [&](const auto& elements) {
            using E = typename std::decay_t<decltype(elements)>::value_type;
            for (const auto& e : elements) {
                if constexpr (std::is_integral_v<E> && !std::is_same_v<E, bool>) {
                    if (static_cast<int64_t>(e) >= 0) {
                        shape.push_back(static_cast<int64_t>(e));
                        continue;
                    }
                }
                bad = RecordValue(static_cast<E>(e));
                return;
            }
        },
        static_cast<const ArrayDataVariant&>(array->data));
    if (bad) {
        return std::unexpected(TableDescError::msg("column " + std::string(column) + ": bad shape extent " +
                                                   debug_form(*bad) + " (expected a non-negative integer)"));
    }
    // Given slowest axis first; stored fastest axis first.
    std::reverse(shape.begin(), shape.end());
    return shape;
}

}  // namespace

const char* desc_type_name(DataType type) {
    switch (type) {
        case DataType::Bool: return "boolean";
        case DataType::Char:
        case DataType::UChar: return "uchar";
        case DataType::Short: return "short";
        case DataType::UShort: return "ushort";
        case DataType::Int: return "int";
        case DataType::UInt: return "uint";
        case DataType::Int64: return "int64";
        case DataType::Float: return "float";
        case DataType::Double: return "double";
        case DataType::Complex: return "complex";
        case DataType::DComplex: return "dcomplex";
        case DataType::String: return "string";
        case DataType::Record: return "record";
        default: return "unknown";
    }
}

TableDescResult<ColumnDesc> column_from_desc_dict(std::string_view name, const RecordValue& value) {
    const std::string prefix = "column " + std::string(name) + ": ";
    const auto* dict = std::get_if<TableRecord>(&value);
    if (dict == nullptr) return std::unexpected(TableDescError::msg(prefix + "expected a desc dict, got " + debug_form(value)));

    const RecordValue* type_value = dict->get("valueType");
    const auto* type_name = type_value == nullptr ? nullptr : std::get_if<std::string>(type_value);
    if (type_name == nullptr) {
        return std::unexpected(
            TableDescError::msg(prefix + "missing string valueType (" + debug_form_optional(type_value) + ")"));
    }
    auto type = value_type_from_casa_name(*type_name);
    if (!type) return std::unexpected(TableDescError::msg(prefix + "bad valueType " + *type_name));

    ColumnDesc c;
    c.name = std::string(name);
    c.data_type = data_type_of(*type);
    if (const std::string* comment = string_entry(*dict, "comment")) c.comment = *comment;
    c.data_manager_type = manager_entry(*dict, "dataManagerType");
    c.data_manager_group = manager_entry(*dict, "dataManagerGroup");
    c.option = int_entry(*dict, "option").value_or(0);
    c.maxlen = int_entry(*dict, "maxlen").value_or(0);
    c.ndim = int_entry(*dict, "ndim").value_or(-1);
    if (const RecordValue* kw = dict->get("keywords")) {
        if (auto* rec = std::get_if<TableRecord>(kw)) c.keywords = *rec;
    }
    auto shape = shape_entry(name, *dict);
    if (!shape) return std::unexpected(std::move(shape.error()));
    c.shape = std::move(*shape);

    // Only some managers can be written; the others fall back to the
    // StandardStMan, and a shape-tiled column needs a shape to tile.
    const std::string& dm = c.data_manager_type;
    if (dm == "TiledCellStMan" || dm == "TSMExpStMan" || dm == "TSMBoundedStMan" ||
        (dm == "TiledShapeStMan" && !c.shape)) {
        c.data_manager_type = kDefaultManager;
    }

    if (c.data_type == DataType::Record) {
        c.kind = ColumnKind::Record;
    } else if (dict->get("ndim") != nullptr) {
        c.kind = ColumnKind::Array;
    } else {
        c.kind = ColumnKind::Scalar;
        c.default_value = zero_value(c.data_type);
    }
    return c;
}

TableRecord column_to_desc_dict(const ColumnDesc& c) {
    TableRecord d;
    d.set("valueType", std::string(desc_type_name(c.data_type)));
    d.set("dataManagerType", c.data_manager_type);
    d.set("dataManagerGroup", c.data_manager_group);
    d.set("option", c.option);
    d.set("maxlen", c.maxlen);
    d.set("comment", c.comment);
    if (c.kind == ColumnKind::Array) {
        d.set("ndim", c.ndim);
        if (c.has_fixed_shape()) {
            std::vector<int64_t> c_order(c.shape->rbegin(), c.shape->rend());
            uint32_t n = static_cast<uint32_t>(c_order.size());
            d.set("shape", ArrayValue{{n}, ArrayData(std::move(c_order))});
        }
        d.set("_c_order", true);
    }
    d.set("keywords", c.keywords);
    return d;
}

TableRecord table_to_desc_dict(const TableDesc& desc) {
    TableRecord d;
    for (const auto& c : desc.columns) d.set(c.name, column_to_desc_dict(c));
    d.set("_keywords_", desc.keywords);
    d.set("_private_keywords_", desc.private_keywords);
    d.set("_define_hypercolumn_", TableRecord{});
    return d;
}

TableDescResult<TableDesc> TableDesc::from_desc_json(std::string_view json) {
    // Names and texts end up in table.dat, whose strings must be UTF-8; a
    // description that is not would write a table that cannot be opened.
    if (!is_valid_utf8(json)) return std::unexpected(TableDescError::msg("JSON: text is not valid UTF-8"));
    auto rec = parse_json_record(json);
    if (!rec) return std::unexpected(std::move(rec.error()));
    TableDesc desc;
    size_t n = std::min(rec->desc.fields.size(), rec->values.size());
    for (size_t i = 0; i < n; ++i) {
        const std::string& key = rec->desc.fields[i].name;
        const RecordValue& value = rec->values[i];
        if (key == "_keywords_" || key == "_private_keywords_") {
            if (auto* kw = std::get_if<TableRecord>(&value)) {
                (key == "_keywords_" ? desc.keywords : desc.private_keywords) = *kw;
            }
        } else if (key != "_define_hypercolumn_") {
            auto column = column_from_desc_dict(key, value);
            if (!column) return std::unexpected(std::move(column.error()));
            desc.columns.push_back(std::move(*column));
        }
    }
    return desc;
}

}  // namespace orvala

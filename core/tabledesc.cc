// Table and column descriptions and their binary form inside table.dat.
#include "tabledesc.h"

#include "internal_error.h"
#include "quoted.h"

namespace orvala {

namespace {

template <class... F>
struct Overload : F... {
    using F::operator()...;
};

// Smallest encoded column description: three u32 versions, four strings
// (count words only), data type, option, ndim, maxlen; the keyword record
// and the kind-specific items come on top.
constexpr uint64_t kMinColumnDescBytes = 3 * 4 + 4 * 4 + 4 * 4;

constexpr std::string_view kScalarPrefix = "ScalarColumnDesc<";
constexpr std::string_view kArrayPrefix = "ArrayColumnDesc<";
constexpr std::string_view kRecordClass = "ScalarRecordColumnDesc";

// The type's name inside a column class name, before padding.
const char* class_type_name(DataType type) {
    switch (type) {
        case DataType::Bool: return "Bool";
        case DataType::Char:
        case DataType::UChar: return "uChar";
        case DataType::Short: return "Short";
        case DataType::UShort: return "uShort";
        case DataType::Int: return "Int";
        case DataType::UInt: return "uInt";
        case DataType::Int64: return "Int64";
        case DataType::Float: return "float";
        case DataType::Double: return "double";
        case DataType::Complex: return "Complex";
        case DataType::DComplex: return "DComplex";
        case DataType::String: return "String";
        default: return "Other";
    }
}

}  // namespace

std::string TableDescError::message() const {
    return std::visit(Overload{
                          [](const AipsIo& e) { return e.error.message(); },
                          [](const Record& e) { return e.error.message(); },
                          [](const UnexpectedType& e) {
                              return "unexpected object type " + quoted_form(e.found) + ", expected " +
                                     quoted_form(e.expected);
                          },
                          [](const UnknownColumnClass& e) {
                              return "unknown column description class " + quoted_form(e.class_name);
                          },
                          [](const Message& e) { return e.text; },
                      },
                      v);
}

const ColumnDesc* TableDesc::find_column(std::string_view column) const {
    for (const auto& c : columns) {
        if (c.name == column) return &c;
    }
    return nullptr;
}

RecordValue zero_value(DataType type) {
    switch (type) {
        case DataType::Bool: return false;
        case DataType::Char:
        case DataType::UChar: return uint8_t{0};
        case DataType::Short: return int16_t{0};
        case DataType::UShort: return uint16_t{0};
        case DataType::Int: return int32_t{0};
        case DataType::UInt: return uint32_t{0};
        case DataType::Int64: return int64_t{0};
        case DataType::Float: return 0.0f;
        case DataType::Double: return 0.0;
        case DataType::Complex: return std::complex<float>{};
        case DataType::DComplex: return std::complex<double>{};
        case DataType::String: return std::string{};
        case DataType::Table: return TableRef{};
        default: return false;
    }
}

std::string column_class_name(const ColumnDesc& column) {
    if (column.kind == ColumnKind::Record) return std::string(kRecordClass);
    std::string name(column.kind == ColumnKind::Array ? kArrayPrefix : kScalarPrefix);
    std::string type = class_type_name(column.data_type);
    type.resize(std::max<size_t>(type.size(), 8), ' ');
    return name + type + ">";
}

int32_t written_type_code(DataType type) {
    int32_t code = data_type_code(type);
    if (code <= data_type_code(DataType::Table) || type == DataType::Record || type == DataType::Int64 ||
        type == DataType::ArrayInt64) {
        return code;
    }
    return data_type_code(DataType::ArrayBool);
}

// ---- reading ----

TableDescResult<ColumnDesc> parse_column_desc(Reader& r) {
    ColumnDesc c;
    if (auto v = r.read_u32(); !v) return std::unexpected(v.error());  // version, not checked
    auto class_name = r.read_string();
    if (!class_name) return std::unexpected(class_name.error());
    if (class_name->starts_with(kScalarPrefix)) {
        c.kind = ColumnKind::Scalar;
    } else if (class_name->starts_with(kRecordClass)) {
        c.kind = ColumnKind::Record;
    } else if (class_name->starts_with(kArrayPrefix)) {
        c.kind = ColumnKind::Array;
    } else {
        return std::unexpected(TableDescError::UnknownColumnClass{std::move(*class_name)});
    }
    if (auto v = r.read_u32(); !v) return std::unexpected(v.error());  // base version
    for (std::string* s : {&c.name, &c.comment, &c.data_manager_type, &c.data_manager_group}) {
        auto text = r.read_string();
        if (!text) return std::unexpected(text.error());
        *s = std::move(*text);
    }
    auto code = r.read_i32();
    if (!code) return std::unexpected(code.error());
    auto type = data_type_from_i32(*code);
    if (!type) return std::unexpected(type.error());
    c.data_type = *type;
    auto option = r.read_i32();
    if (!option) return std::unexpected(option.error());
    c.option = *option;
    auto ndim = r.read_i32();
    if (!ndim) return std::unexpected(ndim.error());
    c.ndim = *ndim;
    if (c.kind == ColumnKind::Array) {
        auto shape = r.read_iposition();
        if (!shape) return std::unexpected(shape.error());
        c.shape = std::move(*shape);
    }
    auto maxlen = r.read_i32();
    if (!maxlen) return std::unexpected(maxlen.error());
    c.maxlen = *maxlen;
    auto keywords = TableRecord::read(r);
    if (!keywords) return std::unexpected(keywords.error());
    c.keywords = std::move(*keywords);
    if (auto v = r.read_u32(); !v) return std::unexpected(v.error());  // class version
    if (c.kind == ColumnKind::Scalar) {
        auto value = read_scalar_value(r, c.data_type);
        if (!value) return std::unexpected(value.error());
        c.default_value = std::move(*value);
    } else if (c.kind == ColumnKind::Array) {
        if (auto flag = r.read_bool(); !flag) return std::unexpected(flag.error());
    }
    return c;
}

TableDescResult<TableDesc> parse_table_desc(Reader& r) {
    auto head = r.read_object_start(false);
    if (!head) return std::unexpected(head.error());
    if (head->type_name != "TableDesc") {
        return std::unexpected(TableDescError::UnexpectedType{head->type_name, "TableDesc"});
    }
    TableDesc d;
    for (std::string* s : {&d.name, &d.version, &d.comment}) {
        auto text = r.read_string();
        if (!text) return std::unexpected(text.error());
        *s = std::move(*text);
    }
    auto keywords = TableRecord::read(r);
    if (!keywords) return std::unexpected(keywords.error());
    d.keywords = std::move(*keywords);
    // Version 1 descriptions predate private keywords.
    if (head->version >= 2) {
        auto priv = TableRecord::read(r);
        if (!priv) return std::unexpected(priv.error());
        d.private_keywords = std::move(*priv);
    }
    auto count = r.read_count(kMinColumnDescBytes);
    if (!count) return std::unexpected(count.error());
    d.columns.reserve(*count);
    for (uint32_t i = 0; i < *count; ++i) {
        auto c = parse_column_desc(r);
        if (!c) return std::unexpected(std::move(c.error()));
        d.columns.push_back(std::move(*c));
    }
    return d;
}

// ---- writing ----

namespace {

void put_keywords(Writer& w, const TableRecord& record, const char* context) {
    if (auto ok = write_table_record(w, record); !ok) {
        throw InternalError(std::string(context) + ": " + ok.error().message());
    }
}

}  // namespace

void write_column_desc(Writer& w, const ColumnDesc& c) {
    w.put_u32(1);
    w.put_string(column_class_name(c));
    w.put_u32(1);
    w.put_string(c.name);
    w.put_string(c.comment);
    w.put_string(c.data_manager_type);
    w.put_string(c.data_manager_group);
    w.put_i32(written_type_code(c.data_type));
    w.put_i32(c.option);
    w.put_i32(c.ndim);
    if (c.kind == ColumnKind::Array) {
        static const std::vector<int64_t> kNoShape;
        w.put_iposition(c.shape ? *c.shape : kNoShape);
    }
    w.put_i32(c.maxlen);
    put_keywords(w, c.keywords, "write column keyword record");
    w.put_u32(1);
    if (c.kind == ColumnKind::Scalar) {
        write_scalar_value(w, c.data_type, c.default_value);
    } else if (c.kind == ColumnKind::Array) {
        w.put_bool(false);
    }
}

void write_table_desc(Writer& w, const TableDesc& d) {
    w.put_object_start("TableDesc", 2);
    w.put_string(d.name);
    w.put_string(d.version);
    w.put_string(d.comment);
    put_keywords(w, d.keywords, "write table keyword record");
    put_keywords(w, d.private_keywords, "write private keyword record");
    if (d.columns.size() > UINT32_MAX) throw InternalError("too many columns for a TableDesc");
    w.put_u32(static_cast<uint32_t>(d.columns.size()));
    for (const auto& c : d.columns) write_column_desc(w, c);
    w.put_object_end();
}

}  // namespace orvala

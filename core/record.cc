// The value model: data types, values, records and their lookups; subtable
// paths; NumPy type names. The AipsIO form is in record_aipsio.cc.
#include "record.h"

#include "quoted.h"

namespace orvala {

namespace {

template <class... F>
struct Overload : F... {
    using F::operator()...;
};

const char* const kDataTypeNames[] = {
    "Bool",       "Char",        "UChar",     "Short",        "UShort",        "Int",
    "UInt",       "Float",       "Double",    "Complex",      "DComplex",      "String",
    "Table",      "ArrayBool",   "ArrayChar", "ArrayUChar",   "ArrayShort",    "ArrayUShort",
    "ArrayInt",   "ArrayUInt",   "ArrayFloat", "ArrayDouble", "ArrayComplex",  "ArrayDComplex",
    "ArrayString", "Record",     "Other",     "Quantity",     "ArrayQuantity", "Int64",
    "ArrayInt64",
};

}  // namespace

std::string RecordError::message() const {
    return std::visit(Overload{
                          [](const AipsIo& e) { return e.error.message(); },
                          [](const UnknownDataType& e) { return "unknown DataType value " + std::to_string(e.code); },
                          [](const LegacyKeywordSet& e) {
                              return "unsupported legacy keyword set object " + quoted_form(e.type_name);
                          },
                          [](const Message& e) { return e.text; },
                      },
                      v);
}

// ---- data types ----

RecordResult<DataType> data_type_from_i32(int32_t code) {
    if (code < 0 || code > 30) return std::unexpected(RecordError(RecordError::UnknownDataType{code}));
    return static_cast<DataType>(code);
}

const char* data_type_name(DataType t) { return kDataTypeNames[data_type_code(t)]; }

bool is_array_type(DataType t) {
    int32_t c = data_type_code(t);
    return (c >= 13 && c <= 24) || t == DataType::ArrayQuantity || t == DataType::ArrayInt64;
}

DataType element_type(DataType t) {
    switch (t) {
        case DataType::ArrayBool: return DataType::Bool;
        case DataType::ArrayChar: return DataType::Char;
        case DataType::ArrayUChar: return DataType::UChar;
        case DataType::ArrayShort: return DataType::Short;
        case DataType::ArrayUShort: return DataType::UShort;
        case DataType::ArrayInt: return DataType::Int;
        case DataType::ArrayUInt: return DataType::UInt;
        case DataType::ArrayFloat: return DataType::Float;
        case DataType::ArrayDouble: return DataType::Double;
        case DataType::ArrayComplex: return DataType::Complex;
        case DataType::ArrayDComplex: return DataType::DComplex;
        case DataType::ArrayString: return DataType::String;
        case DataType::ArrayQuantity: return DataType::Quantity;
        case DataType::ArrayInt64: return DataType::Int64;
        default: return t;
    }
}

std::optional<DataType> array_type_of(DataType scalar) {
    switch (scalar) {
        case DataType::Bool: return DataType::ArrayBool;
        case DataType::Char: return DataType::ArrayChar;
        case DataType::UChar: return DataType::ArrayUChar;
        case DataType::Short: return DataType::ArrayShort;
        case DataType::UShort: return DataType::ArrayUShort;
        case DataType::Int: return DataType::ArrayInt;
        case DataType::UInt: return DataType::ArrayUInt;
        case DataType::Float: return DataType::ArrayFloat;
        case DataType::Double: return DataType::ArrayDouble;
        case DataType::Complex: return DataType::ArrayComplex;
        case DataType::DComplex: return DataType::ArrayDComplex;
        case DataType::String: return DataType::ArrayString;
        case DataType::Quantity: return DataType::ArrayQuantity;
        case DataType::Int64: return DataType::ArrayInt64;
        default: return std::nullopt;
    }
}

// ---- arrays ----

size_t ArrayData::size() const {
    return std::visit([](const auto& v) { return v.size(); }, static_cast<const ArrayDataVariant&>(*this));
}

DataType ArrayData::element_type() const {
    static constexpr DataType kTypes[] = {DataType::Bool,   DataType::UChar,   DataType::Short,   DataType::UShort,
                                          DataType::Int,    DataType::UInt,    DataType::Int64,   DataType::Float,
                                          DataType::Double, DataType::Complex, DataType::DComplex, DataType::String};
    return kTypes[index()];
}

DataType ArrayData::array_type() const { return *array_type_of(element_type()); }

std::optional<ArrayData> ArrayData::empty_of(DataType element) {
    switch (element) {
        case DataType::Bool: return ArrayData(std::vector<bool>{});
        case DataType::Char:
        case DataType::UChar: return ArrayData(std::vector<uint8_t>{});
        case DataType::Short: return ArrayData(std::vector<int16_t>{});
        case DataType::UShort: return ArrayData(std::vector<uint16_t>{});
        case DataType::Int: return ArrayData(std::vector<int32_t>{});
        case DataType::UInt: return ArrayData(std::vector<uint32_t>{});
        case DataType::Int64: return ArrayData(std::vector<int64_t>{});
        case DataType::Float: return ArrayData(std::vector<float>{});
        case DataType::Double: return ArrayData(std::vector<double>{});
        case DataType::Complex: return ArrayData(std::vector<std::complex<float>>{});
        case DataType::DComplex: return ArrayData(std::vector<std::complex<double>>{});
        case DataType::String: return ArrayData(std::vector<std::string>{});
        default: return std::nullopt;
    }
}

std::vector<RecordValue> ArrayValue::elements() const {
    std::vector<RecordValue> out;
    out.reserve(data.size());
    std::visit(
        [&](const auto& vec) {
            for (const auto& e : vec) {
                using T = std::decay_t<decltype(vec)>::value_type;
                out.emplace_back(std::in_place_type<T>, e);
            }
        },
        static_cast<const ArrayDataVariant&>(data));
    return out;
}

// ---- values and records ----

DataType RecordValue::data_type() const {
    static constexpr DataType kTypes[] = {DataType::Bool,    DataType::UChar,    DataType::Short,  DataType::UShort,
                                          DataType::Int,     DataType::UInt,     DataType::Int64,  DataType::Float,
                                          DataType::Double,  DataType::Complex,  DataType::DComplex, DataType::String,
                                          DataType::Record,  DataType::Table};
    if (kind() == Kind::Array) return std::get<ArrayValue>(*this).data.array_type();
    return kTypes[index()];
}

int64_t RecordDesc::find(std::string_view name) const {
    for (size_t i = 0; i < fields.size(); ++i)
        if (fields[i].name == name) return static_cast<int64_t>(i);
    return -1;
}

bool RecordDesc::operator==(const RecordDesc& other) const { return fields == other.fields; }

bool TableRecord::operator==(const TableRecord& other) const {
    return desc == other.desc && values == other.values && record_type == other.record_type;
}

const RecordValue* TableRecord::get(std::string_view name) const {
    int64_t i = desc.find(name);
    if (i < 0 || static_cast<size_t>(i) >= values.size()) return nullptr;
    return &values[i];
}

RecordValue* TableRecord::get(std::string_view name) {
    return const_cast<RecordValue*>(static_cast<const TableRecord&>(*this).get(name));
}

void TableRecord::set(std::string_view name, RecordValue value) {
    DataType type = value.data_type();
    std::optional<RecordDesc> sub;
    if (auto* rec = std::get_if<TableRecord>(&value)) sub = RecordDesc{rec->desc.fields};
    int64_t i = desc.find(name);
    if (i >= 0) {
        auto& field = desc.fields[i];
        field.data_type = type;
        if (sub) field.sub_desc = std::move(sub);
        if (values.size() <= static_cast<size_t>(i)) values.resize(i + 1);
        values[i] = std::move(value);
        return;
    }
    RecordDescField field;
    field.name = std::string(name);
    field.data_type = type;
    field.sub_desc = std::move(sub);
    // Keep values parallel to the fields even if a caller left them uneven.
    values.resize(desc.fields.size());
    desc.fields.push_back(std::move(field));
    values.push_back(std::move(value));
}

bool TableRecord::remove(std::string_view name) {
    int64_t i = desc.find(name);
    if (i < 0) return false;
    desc.fields.erase(desc.fields.begin() + i);
    if (static_cast<size_t>(i) < values.size()) values.erase(values.begin() + i);
    return true;
}

// ---- paths ----

namespace {

std::string_view trim_trailing_slashes(std::string_view p) {
    while (p.size() > 1 && p.back() == '/') p.remove_suffix(1);
    return p;
}

std::string parent_of(std::string_view dir) {
    dir = trim_trailing_slashes(dir);
    size_t slash = dir.rfind('/');
    if (slash == std::string_view::npos) return ".";
    if (slash == 0) return "/";
    return std::string(dir.substr(0, slash));
}

std::string_view last_component(std::string_view dir) {
    dir = trim_trailing_slashes(dir);
    size_t slash = dir.rfind('/');
    return slash == std::string_view::npos ? dir : dir.substr(slash + 1);
}

std::string join(std::string_view a, std::string_view b) {
    std::string out(a);
    if (!out.empty() && out.back() != '/') out += '/';
    out += b;
    return out;
}

}  // namespace

std::string resolve_subtable(std::string_view stored, std::string_view table_dir) {
    int dots = 0;
    while (stored.starts_with("./")) {
        stored.remove_prefix(2);
        ++dots;
    }
    std::string result;
    if (stored.starts_with("/")) {
        result = std::string(stored);
    } else if (dots == 0) {
        std::string_view first = stored.substr(0, stored.find('/'));
        // "x.ms/ANTENNA" held by x.ms names the table itself, then the subtable.
        if (first == last_component(table_dir))
            result = join(parent_of(table_dir), stored);
        else
            result = join(table_dir, stored);
    } else if (dots == 1) {
        result = join(parent_of(table_dir), stored);
    } else {
        result = join(table_dir, stored);
    }
    return lexical_normalize(result);
}

std::string lexical_normalize(std::string_view path) {
    bool absolute = path.starts_with("/");
    std::vector<std::string_view> kept;
    size_t i = 0;
    while (i <= path.size()) {
        size_t end = path.find('/', i);
        if (end == std::string_view::npos) end = path.size();
        std::string_view comp = path.substr(i, end - i);
        if (comp == "..") {
            if (!kept.empty()) kept.pop_back();
        } else if (!comp.empty() && comp != ".") {
            kept.push_back(comp);
        }
        i = end + 1;
    }
    std::string out = absolute ? "/" : "";
    for (size_t k = 0; k < kept.size(); ++k) {
        if (k) out += '/';
        out += kept[k];
    }
    return out;
}

// ---- NumPy names ----

std::optional<std::string_view> data_type_to_np(std::optional<DataType> type) {
    if (!type) return std::nullopt;
    switch (*type) {
        case DataType::Bool: return "bool";
        case DataType::UChar: return "uint8";
        case DataType::Short: return "int16";
        case DataType::UShort: return "uint16";
        case DataType::Int: return "int32";
        case DataType::UInt: return "uint32";
        case DataType::Int64: return "int64";
        case DataType::Float: return "float32";
        case DataType::Double: return "float64";
        case DataType::Complex: return "complex64";
        case DataType::DComplex: return "complex128";
        default: return std::nullopt;
    }
}

std::optional<std::string_view> np_kind_itemsize(std::string_view kind, int64_t itemsize) {
    if (kind.size() != 1) return std::nullopt;
    switch (kind[0]) {
        case 'b': return "bool";
        case 'i':
        case 'u': {
            bool u = kind[0] == 'u';
            switch (itemsize) {
                case 1: return u ? "uint8" : "int8";
                case 2: return u ? "uint16" : "int16";
                case 4: return u ? "uint32" : "int32";
                case 8: return u ? "uint64" : "int64";
                default: return std::nullopt;
            }
        }
        case 'f':
            if (itemsize == 4) return "float32";
            if (itemsize == 8) return "float64";
            return std::nullopt;
        case 'c':
            if (itemsize == 8) return "complex64";
            if (itemsize == 16) return "complex128";
            return std::nullopt;
        default: return std::nullopt;
    }
}

}  // namespace orvala

#include "value_debug.h"

#include <charconv>
#include <cmath>

#include "quoted.h"

namespace orvala {

namespace {

template <class F>
std::string float_text(F v) {
    if (std::isnan(v)) return "NaN";
    if (std::isinf(v)) return v < 0 ? "-inf" : "inf";
    char buf[64];
    auto res = std::to_chars(buf, buf + sizeof buf, v);
    std::string s(buf, res.ptr);
    if (auto e = s.find("e+"); e != std::string::npos) s.erase(e + 1, 1);
    if (s.find_first_of(".e") == std::string::npos) s += ".0";
    return s;
}

template <class T>
std::string element_text(const T& v) {
    if constexpr (std::is_same_v<T, bool>) {
        return v ? "true" : "false";
    } else if constexpr (std::is_floating_point_v<T>) {
        return float_text(v);
    } else if constexpr (std::is_same_v<T, std::string>) {
        return quoted_form(v);
    } else if constexpr (std::is_same_v<T, std::complex<float>> || std::is_same_v<T, std::complex<double>>) {
        return float_text(v.real()) + ", " + float_text(v.imag());
    } else {
        return std::to_string(v);
    }
}

const char* const kKindNames[] = {
    "Bool", "UChar", "Short", "UShort", "Int", "UInt", "Int64", "Float",
    "Double", "Complex", "DComplex", "String", "Record", "Table", "Array",
};

const char* const kArrayKindNames[] = {
    "Bool", "UChar", "Short", "UShort", "Int", "UInt", "Int64", "Float", "Double", "Complex", "DComplex", "String",
};

std::string record_text(const TableRecord& record) {
    std::string out = "{";
    size_t n = std::min(record.desc.fields.size(), record.values.size());
    for (size_t i = 0; i < n; ++i) {
        if (i > 0) out += ", ";
        out += quoted_form(record.desc.fields[i].name) + ": " + debug_form(record.values[i]);
    }
    return out + "}";
}

std::string array_text(const ArrayValue& array) {
    std::string out = "[";
    for (size_t i = 0; i < array.shape.size(); ++i) {
        if (i > 0) out += ", ";
        out += std::to_string(array.shape[i]);
    }
    out += "] ";
    out += kArrayKindNames[static_cast<size_t>(array.data.kind())];
    out += "([";
    std::visit(
        [&](const auto& elements) {
            bool first = true;
            for (const auto& e : elements) {
                if (!first) out += ", ";
                first = false;
                out += element_text(static_cast<std::decay_t<decltype(e)>>(e));
            }
        },
        static_cast<const ArrayDataVariant&>(array.data));
    return out + "])";
}

}  // namespace

std::string debug_form(const RecordValue& value) {
    std::string payload = std::visit(
        [](const auto& v) -> std::string {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, TableRecord>) {
                return record_text(v);
            } else if constexpr (std::is_same_v<T, TableRef>) {
                return quoted_form(v.reference);
            } else if constexpr (std::is_same_v<T, ArrayValue>) {
                return array_text(v);
            } else {
                return element_text(v);
            }
        },
        static_cast<const RecordValueVariant&>(value));
    return std::string(kKindNames[static_cast<size_t>(value.kind())]) + "(" + payload + ")";
}

std::string debug_form_optional(const RecordValue* value) {
    return value == nullptr ? "None" : "Some(" + debug_form(*value) + ")";
}

}  // namespace orvala

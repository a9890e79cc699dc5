// Writing records and values as JSON text.
#include <charconv>
#include <cmath>
#include <cstdio>

#include "json.h"

namespace orvala {

std::string json_string(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    out += '"';
    for (char ch : text) {
        auto c = static_cast<unsigned char>(ch);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += ch;
        } else if (c < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            out += ch;
        }
    }
    out += '"';
    return out;
}

std::string json_number(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
    // Fixed notation without a precision is the shortest form in that
    // notation that reads back exactly; the longest (denormals) is about 330
    // characters.
    char buf[400];
    auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed);
    return std::string(buf, res.ptr);
}

namespace {

void write_value(std::string& out, const RecordValue& v, std::optional<std::string_view> ctx);

void write_complex(std::string& out, double re, double im) {
    out += '[';
    out += json_number(re);
    out += ", ";
    out += json_number(im);
    out += ']';
}

void write_record(std::string& out, const TableRecord& rec, std::optional<std::string_view> ctx) {
    out += '{';
    size_t n = std::min(rec.desc.fields.size(), rec.values.size());
    for (size_t i = 0; i < n; ++i) {
        if (i) out += ',';
        out += json_string(rec.desc.fields[i].name);
        out += ':';
        write_value(out, rec.values[i], ctx);
    }
    out += '}';
}

template <class T>
void write_element(std::string& out, const T& e) {
    if constexpr (std::is_same_v<T, bool>) {
        out += e ? "true" : "false";
    } else if constexpr (std::is_same_v<T, std::string>) {
        out += json_string(e);
    } else if constexpr (std::is_same_v<T, float> || std::is_same_v<T, double>) {
        out += json_number(e);
    } else if constexpr (std::is_same_v<T, std::complex<float>> || std::is_same_v<T, std::complex<double>>) {
        write_complex(out, e.real(), e.imag());
    } else {
        out += std::to_string(e);
    }
}

void write_array(std::string& out, const ArrayValue& a) {
    out += "{\"shape\":[";
    for (size_t i = 0; i < a.shape.size(); ++i) {
        if (i) out += ',';
        out += std::to_string(a.shape[i]);
    }
    out += "],\"array\":[";
    std::visit(
        [&](const auto& vec) {
            using T = typename std::decay_t<decltype(vec)>::value_type;
            for (size_t i = 0; i < vec.size(); ++i) {
                if (i) out += ',';
                write_element<T>(out, vec[i]);
            }
        },
        static_cast<const ArrayDataVariant&>(a.data));
    out += "]}";
}

void write_value(std::string& out, const RecordValue& v, std::optional<std::string_view> ctx) {
    std::visit(
        [&](const auto& x) {
            using T = std::decay_t<decltype(x)>;
            if constexpr (std::is_same_v<T, TableRecord>) {
                write_record(out, x, ctx);
            } else if constexpr (std::is_same_v<T, ArrayValue>) {
                write_array(out, x);
            } else if constexpr (std::is_same_v<T, TableRef>) {
                out += ctx ? json_string("Table: " + resolve_subtable(x.reference, *ctx)) : json_string(x.reference);
            } else {
                write_element<T>(out, x);
            }
        },
        static_cast<const RecordValueVariant&>(v));
}

}  // namespace

std::string RecordValue::to_json_string_ctx(std::optional<std::string_view> context_dir) const {
    std::string out;
    write_value(out, *this, context_dir);
    return out;
}

std::string TableRecord::to_json_string_ctx(std::optional<std::string_view> context_dir) const {
    std::string out;
    write_record(out, *this, context_dir);
    return out;
}

}  // namespace orvala

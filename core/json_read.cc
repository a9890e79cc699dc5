// Reading the JSON text form into records.
#include <algorithm>
#include <complex>
#include <optional>
#include <charconv>
#include <cmath>
#include <limits>

#include "json.h"
#include "utf8.h"

namespace orvala {

namespace {

RecordError json_error(std::string text) { return RecordError::msg(std::move(text)); }

bool is_space(unsigned char c) {
    return c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r' || c == ' ' || c == 0x85 || c == 0xA0;
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool is_number_char(char c) {
    return (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.' || c == 'e' || c == 'E';
}

// Appends a member as a new field, typed as TableRecord::set types it, even
// when a field of that name exists.
void append_field(TableRecord& rec, std::string name, RecordValue value) {
    RecordDescField f;
    f.name = std::move(name);
    f.data_type = value.data_type();
    if (auto* sub = std::get_if<TableRecord>(&value)) f.sub_desc = RecordDesc{sub->desc.fields};
    rec.desc.fields.push_back(std::move(f));
    rec.values.push_back(std::move(value));
}

}  // namespace

RecordResult<TableRecord> parse_json_record(std::string_view text) {
    JsonParser p(text);
    auto rec = p.parse_object();
    if (!rec) return rec;
    p.skip_whitespace();
    if (!p.at_end()) return std::unexpected(json_error("trailing JSON after object"));
    return rec;
}

void JsonParser::skip_whitespace() {
    while (pos_ < text_.size() && is_space(static_cast<unsigned char>(text_[pos_]))) ++pos_;
}

std::string JsonParser::found() const {
    if (at_end()) return "end";
    // One whole UTF-8 character when the bytes form one, else the byte.
    auto b = static_cast<unsigned char>(text_[pos_]);
    size_t len = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 1;
    if (pos_ + len > text_.size() || !is_valid_utf8(text_.substr(pos_, len))) len = 1;
    return std::string(text_.substr(pos_, len));
}

RecordResult<void> JsonParser::expect(char c) {
    skip_whitespace();
    if (at_end()) return std::unexpected(json_error(std::string("JSON: expected `") + c + "`, found end"));
    if (text_[pos_] != c)
        return std::unexpected(json_error(std::string("JSON: expected `") + c + "`, found `" + found() + "`"));
    ++pos_;
    return {};
}

RecordResult<TableRecord> JsonParser::parse_object() {
    if (auto ok = expect('{'); !ok) return std::unexpected(ok.error());
    if (depth_ >= kMaxRecordDepth)
        return std::unexpected(json_error("JSON: nesting deeper than " + std::to_string(kMaxRecordDepth) + " levels"));
    ++depth_;
    struct Leave {
        int& d;
        ~Leave() { --d; }
    } leave{depth_};

    TableRecord rec;
    skip_whitespace();
    if (!at_end() && text_[pos_] == '}') {
        ++pos_;
        return rec;
    }
    for (;;) {
        auto key = parse_string();
        if (!key) return std::unexpected(key.error());
        if (auto ok = expect(':'); !ok) return std::unexpected(ok.error());
        auto value = parse_value();
        if (!value) return std::unexpected(value.error());
        append_field(rec, std::move(*key), std::move(*value));
        skip_whitespace();
        if (!at_end() && text_[pos_] == ',') {
            ++pos_;
            continue;
        }
        if (!at_end() && text_[pos_] == '}') {
            ++pos_;
            return rec;
        }
        return std::unexpected(json_error("JSON: expected `,` or `}` in object, found " + found()));
    }
}

RecordResult<RecordValue> JsonParser::parse_value() {
    skip_whitespace();
    if (at_end()) return std::unexpected(json_error("JSON: unexpected value start end"));
    char c = text_[pos_];
    switch (c) {
        case '"': {
            auto s = parse_string();
            if (!s) return std::unexpected(s.error());
            return RecordValue(std::move(*s));
        }
        case 't': return parse_keyword("true", true);
        case 'f': return parse_keyword("false", false);
        case 'n': return parse_keyword("null", std::string());
        // Not JSON, but what the writer puts for the special doubles.
        case 'N': return parse_keyword("NaN", std::numeric_limits<double>::quiet_NaN());
        case 'i': return parse_keyword("inf", std::numeric_limits<double>::infinity());
        case '{': {
            auto rec = parse_object();
            if (!rec) return std::unexpected(rec.error());
            return RecordValue(std::move(*rec));
        }
        case '[': return parse_array();
        default:
            if (c == '-' && pos_ + 1 < text_.size() && text_[pos_ + 1] == 'i')
                return parse_keyword("-inf", -std::numeric_limits<double>::infinity());
            if (c == '-' || (c >= '0' && c <= '9')) return parse_number();
            return std::unexpected(json_error("JSON: unexpected value start " + found()));
    }
}

RecordResult<RecordValue> JsonParser::parse_keyword(std::string_view word, RecordValue value) {
    if (text_.substr(pos_, word.size()) != word)
        return std::unexpected(json_error("JSON: expected `" + std::string(word) + "`"));
    pos_ += word.size();
    return value;
}

RecordResult<RecordValue> JsonParser::parse_number() {
    size_t start = pos_;
    while (pos_ < text_.size() && is_number_char(text_[pos_])) ++pos_;
    std::string_view tok = text_.substr(start, pos_ - start);
    if (tok.find_first_of("0123456789") == std::string_view::npos) {
        pos_ = start;
        return std::unexpected(json_error("JSON: bad number"));
    }
    auto parse_double = [&]() -> std::optional<double> {
        double d = 0;
        auto res = std::from_chars(tok.data(), tok.data() + tok.size(), d);
        // Out-of-range magnitudes read as infinity or zero, as a decimal
        // conversion would give them.
        if (res.ec == std::errc::result_out_of_range) {
            bool neg = tok.starts_with("-");
            size_t e = tok.find_first_of("eE");
            bool tiny = e != std::string_view::npos && tok.substr(e + 1).starts_with("-");
            d = tiny ? (neg ? -0.0 : 0.0) : (neg ? -HUGE_VAL : HUGE_VAL);
        } else if (res.ec != std::errc() || res.ptr != tok.data() + tok.size()) {
            return std::nullopt;
        }
        return d;
    };
    if (tok.find_first_of(".eE") == std::string_view::npos) {
        // Integer: optional minus, then digits only.
        std::string_view digits = tok.starts_with("-") ? tok.substr(1) : tok;
        if (digits.empty() || digits.find_first_not_of("0123456789") != std::string_view::npos) {
            pos_ = start;
            return std::unexpected(json_error("JSON: bad int"));
        }
        int64_t v = 0;
        auto res = std::from_chars(tok.data(), tok.data() + tok.size(), v);
        if (res.ec == std::errc::result_out_of_range) {
            // Beyond 64 bits (the writer prints 1e21 as a 1 and 21 zeros).
            return RecordValue(*parse_double());
        }
        if (res.ec != std::errc() || res.ptr != tok.data() + tok.size()) {
            pos_ = start;
            return std::unexpected(json_error("JSON: bad int"));
        }
        if (v >= INT32_MIN && v <= INT32_MAX) return RecordValue(static_cast<int32_t>(v));
        return RecordValue(v);
    }
    auto d = parse_double();
    if (!d) {
        pos_ = start;
        return std::unexpected(json_error("JSON: bad float"));
    }
    return RecordValue(*d);
}

RecordResult<RecordValue> JsonParser::parse_array() {
    if (auto ok = expect('['); !ok) return std::unexpected(ok.error());
    if (depth_ >= kMaxRecordDepth)
        return std::unexpected(json_error("JSON: nesting deeper than " + std::to_string(kMaxRecordDepth) + " levels"));
    ++depth_;
    struct Leave {
        int& d;
        ~Leave() { --d; }
    } leave{depth_};

    std::vector<RecordValue> items;
    skip_whitespace();
    if (!at_end() && text_[pos_] == ']') {
        ++pos_;
        return RecordValue(ArrayValue{{0}, std::vector<std::string>{}});
    }
    for (;;) {
        auto v = parse_value();
        if (!v) return std::unexpected(v.error());
        items.push_back(std::move(*v));
        skip_whitespace();
        if (!at_end() && text_[pos_] == ',') {
            ++pos_;
            continue;
        }
        if (!at_end() && text_[pos_] == ']') {
            ++pos_;
            break;
        }
        return std::unexpected(json_error("JSON: expected `,` or `]` in array, found " + found()));
    }

    enum class Class { Integer, Floating, String, Bool, Other };
    auto class_of = [](const RecordValue& v) {
        switch (v.kind()) {
            case RecordValue::Kind::Int:
            case RecordValue::Kind::Int64: return Class::Integer;
            case RecordValue::Kind::Double: return Class::Floating;
            case RecordValue::Kind::String: return Class::String;
            case RecordValue::Kind::Bool: return Class::Bool;
            default: return Class::Other;
        }
    };
    auto n = static_cast<uint32_t>(items.size());
    // The writer prints whole doubles without a fraction ([1,2.5]) and
    // complex elements as [re, im] pairs; both must read back, so integers
    // mixed with floats make a Double array and an array of number pairs a
    // DComplex array.
    auto as_double = [](const RecordValue& v) {
        switch (v.kind()) {
            case RecordValue::Kind::Int: return static_cast<double>(std::get<int32_t>(v));
            case RecordValue::Kind::Int64: return static_cast<double>(std::get<int64_t>(v));
            default: return std::get<double>(v);
        }
    };
    auto number_pair = [&](const RecordValue& v) -> std::optional<std::complex<double>> {
        const auto* a = std::get_if<ArrayValue>(&v);
        if (a == nullptr || a->data.size() != 2) return std::nullopt;
        return std::visit(
            [](const auto& vec) -> std::optional<std::complex<double>> {
                using E = typename std::decay_t<decltype(vec)>::value_type;
                if constexpr (std::is_same_v<E, int32_t> || std::is_same_v<E, int64_t> || std::is_same_v<E, double>) {
                    return std::complex<double>(static_cast<double>(vec[0]), static_cast<double>(vec[1]));
                } else {
                    return std::nullopt;
                }
            },
            static_cast<const ArrayDataVariant&>(a->data));
    };
    bool numbers = std::all_of(items.begin(), items.end(), [&](const RecordValue& v) {
        Class c = class_of(v);
        return c == Class::Integer || c == Class::Floating;
    });
    bool any_floating = std::any_of(items.begin(), items.end(),
                                    [&](const RecordValue& v) { return class_of(v) == Class::Floating; });
    if (numbers && any_floating) {
        std::vector<double> vec;
        vec.reserve(n);
        for (const auto& v : items) vec.push_back(as_double(v));
        return RecordValue(ArrayValue{{n}, ArrayData(std::move(vec))});
    }
    if (std::all_of(items.begin(), items.end(), [&](const RecordValue& v) { return number_pair(v).has_value(); })) {
        std::vector<std::complex<double>> vec;
        vec.reserve(n);
        for (const auto& v : items) vec.push_back(*number_pair(v));
        return RecordValue(ArrayValue{{n}, ArrayData(std::move(vec))});
    }
    Class cls = class_of(items[0]);
    bool wide = false;
    for (const auto& v : items) {
        if (class_of(v) != cls || cls == Class::Other)
            return std::unexpected(json_error("JSON: mixed-type array in keyword"));
        wide = wide || v.kind() == RecordValue::Kind::Int64;
    }
    ArrayValue out;
    out.shape = {n};
    auto collect = [&]<class T>(std::type_identity<T>) {
        std::vector<T> vec;
        vec.reserve(n);
        for (const auto& v : items) {
            if constexpr (std::is_same_v<T, int64_t>) {
                vec.push_back(v.kind() == RecordValue::Kind::Int ? std::get<int32_t>(v) : std::get<int64_t>(v));
            } else {
                vec.push_back(std::get<T>(v));
            }
        }
        out.data = std::move(vec);
    };
    switch (cls) {
        case Class::Integer:
            if (wide)
                collect(std::type_identity<int64_t>{});
            else
                collect(std::type_identity<int32_t>{});
            break;
        case Class::Floating: collect(std::type_identity<double>{}); break;
        case Class::String: collect(std::type_identity<std::string>{}); break;
        case Class::Bool: collect(std::type_identity<bool>{}); break;
        case Class::Other: break;
    }
    return RecordValue(std::move(out));
}

RecordResult<std::string> JsonParser::parse_string() {
    if (auto ok = expect('"'); !ok) return std::unexpected(ok.error());
    std::string out;
    for (;;) {
        if (at_end()) return std::unexpected(json_error("JSON: unterminated string"));
        char c = text_[pos_++];
        if (c == '"') {
            // Strings become record text, which must be UTF-8.
            if (!is_valid_utf8(out)) return std::unexpected(json_error("JSON: string is not valid UTF-8"));
            return out;
        }
        if (c == '\n' || c == '\r') return std::unexpected(json_error("JSON: newline in string"));
        if (static_cast<unsigned char>(c) < 0x20)
            return std::unexpected(json_error("JSON: unescaped control char in string"));
        if (c != '\\') {
            out += c;
            continue;
        }
        if (at_end()) return std::unexpected(json_error("JSON: bad escape"));
        char e = text_[pos_++];
        switch (e) {
            case '"': out += '"'; break;
            case '\\': out += '\\'; break;
            case '/': out += '/'; break;
            case 'b': out += '\b'; break;
            case 'f': out += '\f'; break;
            case 'n': out += '\n'; break;
            case 'r': out += '\r'; break;
            case 't': out += '\t'; break;
            case 'u': {
                if (text_.size() - pos_ < 4) return std::unexpected(json_error("JSON: bad \\u escape"));
                uint32_t code = 0;
                for (int k = 0; k < 4; ++k) {
                    int d = hex_digit(text_[pos_ + k]);
                    if (d < 0) return std::unexpected(json_error("JSON: bad \\u hex"));
                    code = code * 16 + static_cast<uint32_t>(d);
                }
                pos_ += 4;
                // Surrogates are not characters; pairs are not combined.
                if (code >= 0xD800 && code <= 0xDFFF) return std::unexpected(json_error("JSON: bad \\u"));
                append_utf8(out, code);
                break;
            }
            default: return std::unexpected(json_error("JSON: unknown escape"));
        }
    }
}

}  // namespace orvala

namespace orvala {
namespace {

std::optional<ArrayValue> array_of_pair(const TableRecord& r) {
    if (r.desc.fields.size() != 2 || r.values.size() != 2 || r.desc.fields[0].name != "shape" ||
        r.desc.fields[1].name != "array") {
        return std::nullopt;
    }
    const auto* shape = std::get_if<ArrayValue>(&r.values[0]);
    const auto* elements = std::get_if<ArrayValue>(&r.values[1]);
    if (shape == nullptr || elements == nullptr) return std::nullopt;
    std::vector<uint32_t> extents;
    bool ok = std::visit(
        [&](const auto& vec) {
            using E = typename std::decay_t<decltype(vec)>::value_type;
            if constexpr (std::is_same_v<E, int32_t> || std::is_same_v<E, int64_t>) {
                for (E e : vec) {
                    if (e < 0 || static_cast<uint64_t>(e) > UINT32_MAX) return false;
                    extents.push_back(static_cast<uint32_t>(e));
                }
                return true;
            } else {
                return vec.empty();  // [] reads as an empty String array
            }
        },
        static_cast<const ArrayDataVariant&>(shape->data));
    if (!ok) return std::nullopt;
    uint64_t count = 1;
    for (uint32_t e : extents) {
        count *= e;
        if (count > elements->data.size()) break;
    }
    if (count != elements->data.size()) return std::nullopt;
    return ArrayValue{std::move(extents), elements->data};
}

}  // namespace

void restore_json_arrays(TableRecord& record) {
    for (RecordValue& v : record.values) {
        auto* sub = std::get_if<TableRecord>(&v);
        if (sub == nullptr) continue;
        if (auto array = array_of_pair(*sub)) {
            v = RecordValue(std::move(*array));
        } else {
            restore_json_arrays(*sub);
        }
    }
    // Keep each field's declared type in step with its value.
    for (size_t i = 0; i < record.values.size() && i < record.desc.fields.size(); ++i) {
        record.desc.fields[i].data_type = record.values[i].data_type();
        if (record.values[i].kind() != RecordValue::Kind::Record) record.desc.fields[i].sub_desc.reset();
    }
}

}  // namespace orvala

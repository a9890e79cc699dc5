// The JSON text form of records and values.
//
// Writing (RecordValue::to_json_string_ctx, TableRecord::to_json_string_ctx,
// declared in record.h) puts no white space anywhere except ", " inside a
// complex number [re, im]. Numbers: integers in decimal; Float and Double as
// the shortest decimal that reads back to the same double, never with an
// exponent or a trailing ".0" (1.0 -> 1, 1e21 -> 1 and 21 zeros), and NaN,
// inf, -inf for the special values. Arrays: {"shape":[...],"array":[...]}
// with elements in storage order. Table values become "Table: <absolute
// path>" when a context directory is given, else the stored reference.
//
// Reading (parse_json_record): one object, then only white space. Members
// become fields in order (a repeated key adds another field). Integers (no
// ".", "e", "E") read as Int when they fit 32 bits, else Int64, else Double;
// other numbers and the tokens NaN, inf, -inf read as Double; null reads as
// an empty String; an array reads as a one-dimensional Array of one class
// (Int or Int64, Double, String, Bool; [] is an empty String array). Objects
// and arrays nest at most kMaxRecordDepth deep. Errors are RecordError
// Messages ("JSON: ...").
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "record.h"

namespace orvala {

// The quoted JSON form: " and \ escaped with a backslash, characters below
// U+0020 as \u00XX, everything else as its UTF-8 bytes.
std::string json_string(std::string_view text);

// The shortest round-trip decimal of `value` without exponent; NaN, inf, -inf.
std::string json_number(double value);

RecordResult<TableRecord> parse_json_record(std::string_view text);

// Arrays inside a record are written as {"shape":[...],"array":[...]} and
// read back as such two-field records. Where a record holds values (record
// cells), this turns every such sub-record whose shape fits its elements
// back into the array value it was written from.
void restore_json_arrays(TableRecord& record);

// Recursive-descent reader over the bytes of a text.
class JsonParser {
public:
    explicit JsonParser(std::string_view text) : text_(text) {}

    size_t position() const { return pos_; }
    bool at_end() const { return pos_ >= text_.size(); }
    // Tab, LF, VT, FF, CR, space, and the bytes 0x85 and 0xA0.
    void skip_whitespace();

    // Each skips leading white space first.
    RecordResult<TableRecord> parse_object();
    RecordResult<RecordValue> parse_value();
    RecordResult<std::string> parse_string();

private:
    RecordResult<void> expect(char c);
    RecordResult<RecordValue> parse_array();
    RecordResult<RecordValue> parse_number();
    RecordResult<RecordValue> parse_keyword(std::string_view word, RecordValue value);
    // The character at the position as the messages show it.
    std::string found() const;

    std::string_view text_;
    size_t pos_ = 0;
    int depth_ = 0;
};

}  // namespace orvala

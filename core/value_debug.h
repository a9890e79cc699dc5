// The debug form in which messages show a value: its variant name with the
// payload in parentheses: Bool(true), Int(5), Double(2.5), String("a\"b"),
// Table("././ANTENNA"), Complex(1.0, -2.0), Array([3] Int([1, 2, 3])),
// Record({"a": Int(1)}). Floats use the shortest text that reads back to
// the same value, always with a fraction or an exponent; texts the quoted
// form.
#pragma once

#include <string>

#include "record.h"

namespace orvala {

std::string debug_form(const RecordValue& value);
// Some(<debug form>) for a value, None for none.
std::string debug_form_optional(const RecordValue* value);

}  // namespace orvala

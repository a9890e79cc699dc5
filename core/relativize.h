// Subtable references as keywords store them: relative to the table.
#pragma once

#include <string>

#include "record.h"

namespace orvala {

// Rewrites every Table reference in `value` (records recursively) that is an
// absolute path: below the table directory `dir` it becomes "././" and the
// rest of the path (a subtable); below dir's parent it becomes "./" and the
// rest (a table beside it). Other references, every other value, and
// everything when `dir` is null stay as they are. `dir` is compared as text
// (invalid UTF-8 replaced); resolve_subtable turns the stored forms back
// into paths.
RecordValue relativize_subtables(RecordValue value, const std::string* dir);

}  // namespace orvala

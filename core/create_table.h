// Writing a whole table: the full rewrite of a flush and the writer of new
// tables (query results).
//
// The files are built in memory first (table_image.h), then committed
// crash-safely (file_commit.h): each is written under a temporary name and
// renamed over its final name, "table.dat" last; then every other entry of
// the directory named "table.dat" or beginning with "table.f" (with a UTF-8
// name) is removed, since nothing refers to it any more. "table.lock",
// other files and subdirectories (subtables) stay. When the lock file holds
// a "sync" record with a row count other than 0 and other than the one
// written, that count is updated in place (lock_sync.h), so that the table
// reopens with the row count just written; the lock file is never created,
// resized or removed.
#pragma once

#include <string>
#include <vector>

#include "record.h"
#include "table_image.h"
#include "tabledesc.h"
#include "write_table_error.h"

namespace orvala {

// Commits `image` into `dir`, creating `dir` and its missing parents. A
// pending commit left in `dir` by a crash is completed first. Returns the
// names of the files written, in the order written. Failures are Io with
// the operating system's text; one before the commit point leaves `dir` as
// it was.
CreateResult<std::vector<std::string>> write_table_image(const std::string& dir, TableImage image);

// A new table in `dir` from one value list per column (description order).
// Errors, all before anything is written: MissingValues ("N columns, M value
// lists") when the list count is not the column count; RowCountMismatch for
// the first list whose length is not the first list's; the errors of
// build_table_image; then those of write_table_image.
CreateResult<std::vector<std::string>> create_table(const std::string& dir, const TableDesc& desc,
                                                    const std::vector<std::vector<RecordValue>>& lists);
// The same, taking the lists over (no copy of any value).
CreateResult<std::vector<std::string>> create_table(const std::string& dir, const TableDesc& desc,
                                                    std::vector<std::vector<RecordValue>>&& lists);

}  // namespace orvala

// The steps of WritableTable::flush (not part of its interface).
//
// Every flush is planned whole before anything is written: the preserving
// flush collects the patches and rebuilt files of every data manager it
// touches into one FileCommit, so a failure while planning (a cell that
// cannot be encoded, a patch outside its bucket, a data manager that cannot
// be rebuilt) leaves the disk and the buffered cells as they were.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "file_commit.h"
#include "table.h"
#include "table_dat.h"
#include "writable_table.h"

namespace orvala {

// Opens the stored table once, the first time a rebuild needs its cells.
class StoredTable {
public:
    explicit StoredTable(std::string dir) : dir_(std::move(dir)) {}
    WriteResult<const Table*> get();

private:
    std::string dir_;
    std::shared_ptr<const Table> table_;
};

// The rows 0 .. n-1 of column `col` read from `stored` (first column of the
// same name, data type and kind; rows it does not hold, and every row when
// there is none, take `fallback`) with the edited cells of `wt` laid over.
WriteResult<std::vector<RecordValue>> materialize_column(const WritableTable& wt, size_t col, uint64_t n,
                                                         const Table* stored, const RecordValue& fallback);

// The changes of a preserving flush, and the columns whose buffered cells
// they write (dropped once committed).
struct PreservingPlan {
    FileCommit commit;
    std::vector<bool> written;  // per column
};
// table.dat cannot stay as it is: the full rewrite is needed instead.
struct NeedsRewrite {
    std::string reason;
};
using PreservingOutcome = std::variant<PreservingPlan, NeedsRewrite>;

// Whether the stored table lets a preserving flush keep its table.dat
// (same columns, same row count, something dirty and something not).
bool preserving_flush_applies(const WritableTable& wt, const TableDat& stored);

WriteResult<PreservingOutcome> plan_preserving_flush(const WritableTable& wt, const TableDat& stored);

// One data manager's part of a preserving flush. `columns` are the
// description indexes of its columns, in order. Each adds to `plan` or
// returns NeedsRewrite.
struct DmTarget {
    const WritableTable& wt;
    const TableDat& stored;
    const DataManager& dm;
    std::vector<size_t> columns;
    StoredTable& table;
};
WriteResult<std::optional<NeedsRewrite>> plan_ssm_patch(const DmTarget& t, const StandardStMan& settings,
                                                        PreservingPlan& plan);
WriteResult<std::optional<NeedsRewrite>> plan_ssm_rebuild(const DmTarget& t, PreservingPlan& plan);
WriteResult<std::optional<NeedsRewrite>> plan_ism_rebuild(const DmTarget& t, PreservingPlan& plan);
// patch_tsm_column for every column of the data manager that holds edited
// cells, falling back to the tiled rebuild (one column only) when a cell
// cannot be written in place.
WriteResult<std::optional<NeedsRewrite>> plan_tsm_patch(const DmTarget& t, PreservingPlan& plan);

// "table.fN" and its suffixed names.
std::string dm_file_name(uint32_t seq, std::string_view suffix = {});
// Names in `dir` that begin with `prefix`.
std::vector<std::string> dir_entries_with_prefix(const std::string& dir, std::string_view prefix);

}  // namespace orvala

// Rebuilding one data manager's files in a preserving flush: its columns
// are materialised (stored cells with the edits over them) and written anew
// by the storage manager's writer, under temporary names renamed in place
// by the commit. table.dat stays as it is, so a rebuild is only planned
// when the rebuilt files fit it exactly; otherwise the flush becomes a full
// rewrite.
#include <sys/stat.h>

#include "flush_internal.h"
#include "ism.h"
#include "ssm_writer.h"
#include "storage_write.h"

namespace orvala {

namespace {

// The writers write little-endian data files, which a big-endian table's
// table.dat does not describe.
std::optional<NeedsRewrite> needs_little_endian(const DmTarget& t) {
    if (t.stored.big_endian)
        return NeedsRewrite{"data manager " + std::to_string(t.dm.sequence) + " of a big-endian table needs rebuilding"};
    return std::nullopt;
}

WriteResult<std::vector<std::vector<RecordValue>>> materialize(const DmTarget& t) {
    auto table = t.table.get();
    if (!table) return std::unexpected(table.error());
    std::vector<std::vector<RecordValue>> lists;
    lists.reserve(t.columns.size());
    for (size_t c : t.columns) {
        auto list = materialize_column(t.wt, c, t.wt.nrow(), *table, RecordValue());
        if (!list) return std::unexpected(list.error());
        lists.push_back(std::move(*list));
    }
    return lists;
}

}  // namespace

WriteResult<std::optional<NeedsRewrite>> plan_ssm_rebuild(const DmTarget& t, PreservingPlan& plan) {
    if (auto le = needs_little_endian(t)) return le;
    const auto* settings = std::get_if<StandardStMan>(&t.dm.blob);
    if (!settings) return NeedsRewrite{"StandardStMan " + std::to_string(t.dm.sequence) + " has no settings"};
    auto lists = materialize(t);
    if (!lists) return std::unexpected(lists.error());
    std::vector<SsmWriteColumn> columns;
    for (size_t i = 0; i < t.columns.size(); ++i)
        columns.push_back(SsmWriteColumn{cell_column(t.wt.desc().columns[t.columns[i]]), (*lists)[i]});
    auto data = build_ssm_data(t.wt.desc().name, columns, t.wt.nrow(), settings->name);
    if (!data) return std::unexpected(WriteTableError::storage(data.error().message()));
    // table.dat keeps the stored settings: the new file must match them.
    if (data->column_offsets != settings->column_offsets || data->column_index_map != settings->column_index_map)
        return NeedsRewrite{"the rebuilt StandardStMan " + std::to_string(t.dm.sequence) +
                            " lays out its columns differently from table.dat"};
    plan.commit.add_file(dm_file_name(t.dm.sequence), std::move(data->bucket_file));
    std::string array_name = dm_file_name(t.dm.sequence, "i");
    if (data->array_file) {
        plan.commit.add_file(array_name, std::move(*data->array_file));
    } else if (struct stat st; ::stat((t.wt.dir() + "/" + array_name).c_str(), &st) == 0) {
        plan.commit.add_removal(array_name);  // no array cell refers to it any more
    }
    return std::nullopt;
}

WriteResult<std::optional<NeedsRewrite>> plan_ism_rebuild(const DmTarget& t, PreservingPlan& plan) {
    if (auto le = needs_little_endian(t)) return le;
    auto lists = materialize(t);
    if (!lists) return std::unexpected(lists.error());
    std::vector<uint32_t> positions(t.columns.begin(), t.columns.end());
    auto file = build_ism_data(t.wt.desc(), positions, *lists, t.wt.nrow());
    if (!file) return std::unexpected(WriteTableError::storage(file.error().message()));
    plan.commit.add_file(dm_file_name(t.dm.sequence), std::move(*file));
    return std::nullopt;
}

}  // namespace orvala

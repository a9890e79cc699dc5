// WritableTable::flush: the choice between the preserving flush and the
// full rewrite, and what a successful flush does to the buffered cells.
#include <dirent.h>
#include <sys/stat.h>

#include "create_table.h"
#include "flush_internal.h"
#include "table_image.h"

namespace orvala {

std::string dm_file_name(uint32_t seq, std::string_view suffix) {
    return "table.f" + std::to_string(seq) + std::string(suffix);
}

std::vector<std::string> dir_entries_with_prefix(const std::string& dir, std::string_view prefix) {
    std::vector<std::string> names;
    DIR* d = ::opendir(dir.c_str());
    if (!d) return names;
    while (dirent* e = ::readdir(d)) {
        std::string_view name(e->d_name);
        if (name.starts_with(prefix)) names.emplace_back(name);
    }
    ::closedir(d);
    return names;
}

WriteResult<const Table*> StoredTable::get() {
    if (!table_) {
        auto t = Table::open(dir_);
        if (!t) return std::unexpected(WriteTableError::storage(dir_ + ": " + t.error().message()));
        table_ = std::move(*t);
    }
    return table_.get();
}

bool preserving_flush_applies(const WritableTable& wt, const TableDat& stored) {
    const auto& columns = wt.desc().columns;
    if (stored.desc.columns.size() != columns.size() || stored.row_count != wt.nrow()) return false;
    if (stored.column_set.columns.size() != columns.size()) return false;
    for (size_t c = 0; c < columns.size(); ++c) {
        const ColumnDesc& a = stored.desc.columns[c];
        const ColumnDesc& b = columns[c];
        // The type and kind too: cells are encoded by the column as edited
        // into the layout of the column as stored.
        if (a.name != b.name || a.data_manager_type != b.data_manager_type ||
            a.data_manager_group != b.data_manager_group || a.data_type != b.data_type || a.kind != b.kind)
            return false;
    }
    return true;
}

WriteResult<PreservingOutcome> plan_preserving_flush(const WritableTable& wt, const TableDat& stored) {
    PreservingPlan plan;
    const size_t ncol = wt.desc().columns.size();
    plan.written.assign(ncol, false);
    StoredTable table(wt.dir());

    // Data managers in the order their first column appears.
    std::vector<uint32_t> order;
    for (const auto& info : stored.column_set.columns)
        if (std::find(order.begin(), order.end(), info.dm_sequence) == order.end()) order.push_back(info.dm_sequence);

    for (uint32_t seq : order) {
        std::vector<size_t> columns;
        bool edited = false;
        for (size_t c = 0; c < ncol; ++c) {
            if (stored.column_set.columns[c].dm_sequence != seq) continue;
            columns.push_back(c);
            edited = edited || wt.edits(c).has_edited();
        }
        // Every edited cell is written (a data manager is never skipped
        // while it has one), so success always means the edits are on disk.
        if (!edited) continue;
        const DataManager* dm = stored.column_set.find_data_manager(seq);
        if (!dm) return std::unexpected(WriteTableError::storage("table.dat lost DM sequence " + std::to_string(seq)));
        DmTarget target{wt, stored, *dm, columns, table};

        WriteResult<std::optional<NeedsRewrite>> step;
        if (dm->type_name == "StandardStMan") {
            const auto* settings = std::get_if<StandardStMan>(&dm->blob);
            bool in_place = settings != nullptr;
            for (size_t c : columns) {
                const ColumnDesc& d = wt.desc().columns[c];
                if (wt.edits(c).has_edited() && (d.kind != ColumnKind::Scalar || d.data_type == DataType::String))
                    in_place = false;
            }
            step = in_place ? plan_ssm_patch(target, *settings, plan) : plan_ssm_rebuild(target, plan);
        } else if (dm->type_name == "IncrementalStMan") {
            step = plan_ism_rebuild(target, plan);
        } else if (dm->type_name == "TiledColumnStMan" || dm->type_name == "TiledShapeStMan") {
            step = plan_tsm_patch(target, plan);
        } else {
            return std::unexpected(WriteTableError::storage("cannot preserve-rewrite data-manager type " + dm->type_name));
        }
        if (!step) return std::unexpected(step.error());
        if (*step) return PreservingOutcome(std::move(**step));
        for (size_t c : columns) plan.written[c] = true;
    }
    return PreservingOutcome(std::move(plan));
}

namespace {

// The stored table.dat of `dir`, when there is one that decodes.
std::optional<TableDat> read_stored_dat(const std::string& dir) {
    auto bytes = Buffer::open(dir + "/table.dat");
    if (!bytes) return std::nullopt;
    auto dat = parse_table_dat(bytes->bytes());
    if (!dat) return std::nullopt;
    return std::move(*dat);
}

}  // namespace

WriteResult<std::string> WritableTable::flush() {
    // A commit that a crash left pending comes first: the table on disk is
    // the one it decided.
    struct stat st;
    if (::stat(dir_.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        if (auto done = complete_pending_commit(dir_); !done)
            return std::unexpected(WriteTableError::storage(done.error().message()));
        remove_commit_leftovers(dir_);
    }

    bool any_clean = std::find(dirty_cols_.begin(), dirty_cols_.end(), false) != dirty_cols_.end();
    if (dirty_cols_.size() == desc_.columns.size() && !keywords_changed_ && any_dirty() && any_clean) {
        if (auto stored = read_stored_dat(dir_); stored && preserving_flush_applies(*this, *stored)) {
            auto outcome = plan_preserving_flush(*this, *stored);
            if (!outcome) return std::unexpected(outcome.error());
            if (auto* plan = std::get_if<PreservingPlan>(&*outcome)) {
                if (auto ok = commit_files(dir_, std::move(plan->commit)); !ok)
                    return std::unexpected(WriteTableError::storage(ok.error().message()));
                for (size_t c = 0; c < cells_.size(); ++c)
                    if (plan->written[c]) cells_[c].clear();
                dirty_cols_.assign(dirty_cols_.size(), false);
                return dir_;
            }
            // Otherwise the data managers cannot keep table.dat: rewrite all.
        }
    }
    return flush_rewrite();
}

}  // namespace orvala

// The full rewrite: every column materialised (stored cells, defaults, the
// edits over them) one data manager at a time, the files built in memory,
// then committed whole.
#include <sys/stat.h>

#include "create_table.h"
#include "default_cell.h"
#include "flush_internal.h"
#include "table_image.h"

namespace orvala {

WriteResult<std::vector<RecordValue>> materialize_column(const WritableTable& wt, size_t col, uint64_t n,
                                                         const Table* stored, const RecordValue& fallback) {
    const ColumnDesc& d = wt.desc().columns[col];
    std::vector<RecordValue> values;
    if (stored) {
        const auto& stored_columns = stored->desc().columns;
        for (size_t s = 0; s < stored_columns.size(); ++s) {
            if (stored_columns[s].name != d.name || stored_columns[s].data_type != d.data_type ||
                stored_columns[s].kind != d.kind)
                continue;
            auto cells = stored->getcol(s, 0, std::min(n, stored->nrow()));
            if (!cells) return std::unexpected(WriteTableError::storage(wt.dir() + ": " + cells.error().message()));
            values = std::move(*cells);
            break;
        }
    }
    values.reserve(n);
    values.resize(n, fallback);
    wt.overlay(col, 0, values);
    return values;
}

WriteResult<std::vector<RecordValue>> WritableTable::materialize_col_from_disk(size_t col, uint64_t n) const {
    StoredTable stored(dir_);
    auto table = stored.get();
    if (!table) return std::unexpected(table.error());
    // The caller's stored column has the same position, name and type.
    return materialize_column(*this, col, n, *table, RecordValue());
}

namespace {

// The stored table of `dir`, or null when there is none (no table.dat).
WriteResult<std::shared_ptr<const Table>> open_stored(const std::string& dir) {
    struct stat st;
    if (::stat((dir + "/table.dat").c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return nullptr;
    auto t = Table::open(dir);
    if (!t) return std::unexpected(WriteTableError::storage(dir + ": " + t.error().message()));
    return std::move(*t);
}

// Materialises each column when its data manager's files are built.
class MaterializingSource final : public ColumnValueSource {
public:
    MaterializingSource(const WritableTable& wt, const Table* stored, std::vector<RecordValue> defaults)
        : wt_(wt), stored_(stored), defaults_(std::move(defaults)) {}
    WriteResult<std::vector<RecordValue>> take(size_t col) override {
        return materialize_column(wt_, col, wt_.nrow(), stored_, defaults_[col]);
    }

private:
    const WritableTable& wt_;
    const Table* stored_;
    std::vector<RecordValue> defaults_;
};

// Every column's default, or NoDefault for the first that has none.
WriteResult<std::vector<RecordValue>> column_defaults(const TableDesc& desc) {
    std::vector<RecordValue> defaults;
    defaults.reserve(desc.columns.size());
    for (const auto& column : desc.columns) {
        auto d = default_cell_value(column);
        if (!d) return std::unexpected(WriteTableError::NoDefault{column.name});
        defaults.push_back(std::move(*d));
    }
    return defaults;
}

}  // namespace

WriteResult<std::vector<std::vector<RecordValue>>> WritableTable::materialize_all() const {
    auto defaults = column_defaults(desc_);
    if (!defaults) return std::unexpected(defaults.error());
    auto stored = open_stored(dir_);
    if (!stored) return std::unexpected(stored.error());
    std::vector<std::vector<RecordValue>> lists;
    lists.reserve(desc_.columns.size());
    for (size_t c = 0; c < desc_.columns.size(); ++c) {
        auto list = materialize_column(*this, c, nrow_, stored->get(), (*defaults)[c]);
        if (!list) return std::unexpected(list.error());
        lists.push_back(std::move(*list));
    }
    return lists;
}

WriteResult<std::string> WritableTable::flush_rewrite() {
    auto defaults = column_defaults(desc_);
    if (!defaults) return std::unexpected(defaults.error());
    auto stored = open_stored(dir_);
    if (!stored) return std::unexpected(stored.error());
    WriteResult<TableImage> image;
    {
        MaterializingSource source(*this, stored->get(), std::move(*defaults));
        image = build_table_image(desc_, nrow_, source);
    }
    // The stored table's mappings are not needed past this point.
    stored->reset();
    if (!image) return std::unexpected(image.error());
    auto written = write_table_image(dir_, std::move(*image));
    if (!written) return std::unexpected(WriteTableError(written.error()));
    for (auto& column : cells_) column.clear();
    dirty_cols_.assign(dirty_cols_.size(), false);
    return dir_;
}

}  // namespace orvala

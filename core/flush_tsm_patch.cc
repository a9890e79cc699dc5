// The tiled patch in place: every edited cell of every column of a tiled
// data manager is encoded (in the table's byte order) and written over its
// region of the tile data file of the cube that holds it. Regions that
// overlap or touch are merged into runs, one patch each; Bool runs start
// from the stored bytes, since cells there share bytes. A cell that cannot
// be written in place (no cube holds its row, another shape, not an array)
// makes the data manager be rebuilt, which the tiled writer can do only for
// a data manager of one column; with more columns the flush fails and
// nothing is written.
#include <map>

#include "flush_internal.h"
#include "storage_write.h"
#include "tsm.h"

namespace orvala {

namespace {

struct TileRecord {
    CellLocation loc;
    std::vector<uint8_t> bytes;
    bool bits = false;  // Bool elements, packed from loc.bit_offset on
};

// Why a cell cannot be patched in place, or none.
using Fallback = std::optional<std::string>;

// The tiled rebuild of a data manager with one column.
WriteResult<std::optional<NeedsRewrite>> plan_tsm_rebuild(const DmTarget& t, const std::string& why,
                                                          const std::string& dm_name, PreservingPlan& plan) {
    if (t.columns.size() != 1) {
        const std::string& column = t.wt.desc().columns[t.columns.front()].name;
        return std::unexpected(WriteTableError::storage(
            "tiled data manager " + std::to_string(t.dm.sequence) + " (" + t.dm.type_name + ") stores " +
            std::to_string(t.columns.size()) + " columns and cannot be rewritten (" + why +
            "); nothing was written: write cells of the shape stored, or rewrite the table without column " +
            column + "'s group"));
    }
    if (t.stored.big_endian)
        return NeedsRewrite{"tiled data manager " + std::to_string(t.dm.sequence) + " of a big-endian table needs rebuilding"};
    auto table = t.table.get();
    if (!table) return std::unexpected(table.error());
    const size_t c = t.columns.front();
    auto list = materialize_column(t.wt, c, t.wt.nrow(), *table, RecordValue());
    if (!list) return std::unexpected(list.error());
    std::vector<std::vector<RecordValue>> lists;
    lists.push_back(std::move(*list));
    const uint32_t position = static_cast<uint32_t>(c);
    auto image = build_tsm_data(t.dm.type_name, t.dm.sequence, dm_name, t.wt.desc(), std::span(&position, 1), lists,
                                t.wt.nrow());
    if (!image) return std::unexpected(WriteTableError::storage(image.error().message()));
    std::string tile_name = dm_file_name(t.dm.sequence, "_TSM" + std::to_string(image->file_number));
    plan.commit.add_file(dm_file_name(t.dm.sequence), std::move(image->header));
    plan.commit.add_file(tile_name, std::move(image->tile_data));
    // The tile data files of the old cubes are no longer referred to.
    for (const auto& name : dir_entries_with_prefix(t.wt.dir(), dm_file_name(t.dm.sequence, "_TSM")))
        if (name != tile_name) plan.commit.add_removal(name);
    return std::nullopt;
}

// Merges the records of one tile data file into runs and adds a patch per run.
WriteResult<void> add_runs(const std::string& name, const Buffer& file, std::vector<TileRecord>& records,
                           PreservingPlan& plan) {
    std::sort(records.begin(), records.end(), [](const TileRecord& a, const TileRecord& b) { return a.loc < b.loc; });
    const auto stored = file.bytes();
    for (size_t i = 0; i < records.size();) {
        uint64_t start = records[i].loc.offset;
        uint64_t end = start + records[i].loc.length;
        size_t j = i + 1;
        while (j < records.size() && records[j].loc.offset <= end) {
            end = std::max(end, records[j].loc.offset + records[j].loc.length);
            ++j;
        }
        if (end > stored.size())
            return std::unexpected(WriteTableError::storage(name + ": a cell lies beyond the end of the file"));
        std::vector<uint8_t> run;
        bool bits = std::any_of(records.begin() + static_cast<ptrdiff_t>(i), records.begin() + static_cast<ptrdiff_t>(j),
                                [](const TileRecord& r) { return r.bits; });
        if (bits) {
            run.assign(stored.begin() + static_cast<ptrdiff_t>(start), stored.begin() + static_cast<ptrdiff_t>(end));
        } else {
            run.assign(end - start, 0);
        }
        for (size_t k = i; k < j; ++k) {
            const TileRecord& r = records[k];
            uint64_t at = r.loc.offset - start;
            if (r.bits) {
                // Clear the cell's bits, then lay the new ones in.
                uint64_t first = at * 8 + r.loc.bit_offset;
                for (uint64_t b = first; b < first + r.loc.elements; ++b)
                    run[b >> 3] &= static_cast<uint8_t>(~(1u << (b & 7)));
                or_bytes_at(run, first, r.bytes, r.loc.elements);
            } else {
                std::copy(r.bytes.begin(), r.bytes.end(), run.begin() + static_cast<ptrdiff_t>(at));
            }
        }
        plan.commit.add_patch(name, stored.size(), start, std::move(run));
        i = j;
    }
    return {};
}

}  // namespace

WriteResult<std::optional<NeedsRewrite>> plan_tsm_patch(const DmTarget& t, PreservingPlan& plan) {
    const bool big_endian = t.stored.big_endian;
    auto file = TsmFile::open(t.wt.dir(), t.dm.sequence, big_endian);
    if (!file) return plan_tsm_rebuild(t, file.error().message(), t.dm.type_name, plan);
    const std::string dm_name = file->header().hypercolumn.empty() ? t.dm.type_name : file->header().hypercolumn;
    if (file->header().rows != t.wt.nrow())
        return plan_tsm_rebuild(t, "the tiled header holds " + std::to_string(file->header().rows) + " rows", dm_name,
                                plan);

    // Per tile data file: the cells to write there.
    std::map<int32_t, std::vector<TileRecord>> by_file;
    std::map<uint32_t, std::optional<std::vector<uint32_t>>> cube_shapes;
    for (size_t k = 0; k < t.columns.size(); ++k) {
        const size_t c = t.columns[k];
        const ColumnEdits& edits = t.wt.edits(c);
        if (!edits.has_edited()) continue;
        const DataType type = t.wt.desc().columns[c].data_type;
        Fallback fallback;
        std::optional<WriteTableError> failure;
        edits.for_each_edited([&](const EditedCell& e) {
            if (fallback || failure) return;
            const std::string row = std::to_string(e.row);
            if (e.row >= t.wt.nrow()) {
                fallback = "row " + row + " is beyond the stored rows";
                return;
            }
            RecordValue value = e.get();
            const auto* array = std::get_if<ArrayValue>(&value);
            if (!array) {
                fallback = "the cell of row " + row + " is not an array";
                return;
            }
            auto loc = file->cell_location(e.row, static_cast<uint32_t>(k));
            if (!loc || !*loc || (*loc)->file < 0) {
                fallback = "no stored cell holds row " + row;
                return;
            }
            auto [shape, fresh] = cube_shapes.try_emplace((*loc)->cube);
            if (fresh) {
                auto s = file->cell_shape(e.row);
                if (s) shape->second = std::move(*s);
            }
            if (!shape->second || *shape->second != array->shape) {
                fallback = "the cell of row " + row + " has another shape than the one stored";
                return;
            }
            auto bytes = tsm_encode_cell(*array, type, !big_endian);
            if (!bytes) {
                failure = WriteTableError::storage(bytes.error().message());
                return;
            }
            const uint64_t want = type == DataType::Bool ? ((*loc)->elements + 7) / 8 : (*loc)->length;
            if (bytes->size() != want || array->data.size() != (*loc)->elements) {
                fallback = "the cell of row " + row + " has another size than the one stored";
                return;
            }
            by_file[(*loc)->file].push_back(TileRecord{**loc, std::move(*bytes), type == DataType::Bool});
        });
        if (failure) return std::unexpected(std::move(*failure));
        if (fallback) return plan_tsm_rebuild(t, *fallback, dm_name, plan);
    }

    for (auto& [k, records] : by_file) {
        const Buffer* tiles = file->tile_file(static_cast<uint32_t>(k));
        if (!tiles) return plan_tsm_rebuild(t, "tile data file " + std::to_string(k) + " is missing", dm_name, plan);
        auto ok = add_runs(dm_file_name(t.dm.sequence, "_TSM" + std::to_string(k)), *tiles, records, plan);
        if (!ok) return std::unexpected(ok.error());
    }
    return std::nullopt;
}

}  // namespace orvala

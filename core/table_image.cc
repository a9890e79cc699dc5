#include "table_image.h"

#include <optional>

#include "ism.h"
#include "ssm_writer.h"
#include "storage_write.h"
#include "table_dat.h"
#include "tsm.h"

namespace orvala {

namespace {

TableCreateError writer_error(const StorageWriteError& e) {
    if (e.kind == StorageWriteError::Kind::NotScalar) return TableCreateError(TableCreateError::NotScalar{e.text});
    return TableCreateError::io(e.message());
}

std::string file_name(uint32_t seq, std::string_view suffix = {}) {
    return "table.f" + std::to_string(seq) + std::string(suffix);
}

}  // namespace

bool writable_data_manager_type(const std::string& t) {
    return t == "StandardStMan" || t == "IncrementalStMan" || t == "TiledColumnStMan" || t == "TiledShapeStMan";
}

WriteResult<TableImage> build_table_image(const TableDesc& desc, uint64_t nrow, ColumnValueSource& values) {
    if (desc.columns.empty()) nrow = 0;
    DataManagerPlan plan = plan_data_managers(desc);
    for (const auto& dm : plan.data_managers)
        if (!writable_data_manager_type(dm.type_name))
            return std::unexpected(TableCreateError::io("unsupported data-manager type " + dm.type_name));
    if (nrow > UINT32_MAX)
        return std::unexpected(
            TableCreateError::io("row count " + std::to_string(nrow) + " exceeds the u32 range of table.dat"));

    std::vector<std::pair<std::string, std::vector<uint8_t>>> main_files, array_files, tile_files;
    std::vector<DmBlob> blobs;
    for (const auto& dm : plan.data_managers) {
        std::vector<std::vector<RecordValue>> lists;
        lists.reserve(dm.columns.size());
        for (size_t c : dm.columns) {
            auto list = values.take(c);
            if (!list) return std::unexpected(list.error());
            if (list->size() != nrow)
                return std::unexpected(TableCreateError(
                    TableCreateError::RowCountMismatch{desc.columns[c].name, list->size(), nrow}));
            lists.push_back(std::move(*list));
        }
        DmBlob blob{dm.type_name, dm.sequence, {}};
        if (dm.type_name == "StandardStMan") {
            std::vector<SsmWriteColumn> columns;
            for (size_t i = 0; i < dm.columns.size(); ++i)
                columns.push_back(SsmWriteColumn{cell_column(desc.columns[dm.columns[i]]), lists[i]});
            auto data = build_ssm_data(desc.name, columns, nrow, dm.name);
            if (!data) return std::unexpected(TableCreateError::io(data.error().message()));
            blob.bytes = build_standard_stman_blob(StandardStMan{dm.name, data->column_offsets, data->column_index_map});
            main_files.emplace_back(file_name(dm.sequence), std::move(data->bucket_file));
            if (data->array_file) array_files.emplace_back(file_name(dm.sequence, "i"), std::move(*data->array_file));
        } else {
            std::vector<uint32_t> positions(dm.columns.begin(), dm.columns.end());
            if (dm.type_name == "IncrementalStMan") {
                auto file = build_ism_data(desc, positions, lists, nrow);
                if (!file) return std::unexpected(writer_error(file.error()));
                blob.bytes = build_ism_blob(dm.name);
                main_files.emplace_back(file_name(dm.sequence), std::move(*file));
            } else {
                auto image = build_tsm_data(dm.type_name, dm.sequence, dm.name, desc, positions, lists, nrow);
                if (!image) return std::unexpected(writer_error(image.error()));
                main_files.emplace_back(file_name(dm.sequence), std::move(image->header));
                tile_files.emplace_back(file_name(dm.sequence, "_TSM" + std::to_string(image->file_number)),
                                        std::move(image->tile_data));
            }
        }
        blobs.push_back(std::move(blob));
    }

    TableImage image;
    image.nrow = nrow;
    image.files.reserve(1 + main_files.size() + array_files.size() + tile_files.size());
    image.files.emplace_back("table.dat", build_table_dat(nrow, desc, blobs, plan.column_sequence));
    for (auto* group : {&main_files, &array_files, &tile_files})
        for (auto& f : *group) image.files.push_back(std::move(f));
    return image;
}

}  // namespace orvala

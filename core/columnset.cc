// The column set of table.dat and the data-manager blobs inside it.
#include "columnset.h"

#include "internal_error.h"

namespace orvala {

namespace {

// Least bytes a data manager occupies: its type name's count word, its
// sequence number and its blob's count word.
constexpr uint64_t kMinDataManagerBytes = 4 + 4 + 4;

}  // namespace

bool DataManager::operator==(const DataManager& other) const {
    if (type_name != other.type_name || sequence != other.sequence || blob.index() != other.blob.index()) return false;
    if (auto* a = std::get_if<StandardStMan>(&blob)) {
        const auto& b = std::get<StandardStMan>(other.blob);
        return a->name == b.name && a->column_offsets == b.column_offsets && a->column_index_map == b.column_index_map;
    }
    return std::get<std::vector<uint8_t>>(blob) == std::get<std::vector<uint8_t>>(other.blob);
}

const DataManager* ColumnSet::find_data_manager(uint32_t sequence) const {
    for (const auto& dm : data_managers) {
        if (dm.sequence == sequence) return &dm;
    }
    return nullptr;
}

TableDatResult<std::vector<uint32_t>> read_block_u32(Reader& r) {
    auto head = r.read_object_start(false);
    if (!head) return std::unexpected(head.error());
    if (head->type_name != "Block") {
        return std::unexpected(TableDatError::UnexpectedType{head->type_name, "Block"});
    }
    auto n = r.read_count(4);
    if (!n) return std::unexpected(n.error());
    std::vector<uint32_t> out(*n);
    for (auto& v : out) {
        auto x = r.read_u32();
        if (!x) return std::unexpected(x.error());
        v = *x;
    }
    return out;
}

TableDatResult<StandardStMan> parse_standard_stman(std::span<const uint8_t> blob) {
    Reader r(blob, false);
    auto head = r.read_object_start(true);
    if (!head) return std::unexpected(head.error());
    if (head->type_name != "SSM") return std::unexpected(TableDatError::BadSsmBlobType{head->type_name});
    StandardStMan s;
    auto name = r.read_string();
    if (!name) return std::unexpected(name.error());
    s.name = std::move(*name);
    auto offsets = read_block_u32(r);
    if (!offsets) return std::unexpected(std::move(offsets.error()));
    s.column_offsets = std::move(*offsets);
    auto index_map = read_block_u32(r);
    if (!index_map) return std::unexpected(std::move(index_map.error()));
    s.column_index_map = std::move(*index_map);
    return s;
}

TableDatResult<ColumnSet> parse_column_set(Reader& r, const TableDesc& desc) {
    ColumnSet cs;
    auto first = r.read_i32();
    if (!first) return std::unexpected(first.error());
    if (*first >= 0) {
        cs.version = 1;
        cs.row_count = static_cast<uint32_t>(*first);
    } else {
        // Negate in 64 bits: -INT32_MIN does not fit an i32.
        int64_t version = -static_cast<int64_t>(*first);
        if (version > 3) return std::unexpected(TableDatError::UnsupportedColumnSetVersion{version});
        cs.version = static_cast<int32_t>(version);
        if (version < 3) {
            auto rows = r.read_u32();
            if (!rows) return std::unexpected(rows.error());
            cs.row_count = *rows;
        } else {
            auto rows = r.read_i64();
            if (!rows) return std::unexpected(rows.error());
            if (*rows < 0) return std::unexpected(TableDatError::NegativeRowCount{*rows});
            cs.row_count = static_cast<uint64_t>(*rows);
            auto option = r.read_i32();
            if (!option) return std::unexpected(option.error());
            auto block = r.read_i32();
            if (!block) return std::unexpected(block.error());
            cs.storage = StorageSettings{*option, *block};
        }
    }

    auto counter = r.read_u32();
    if (!counter) return std::unexpected(counter.error());
    cs.sequence_counter = *counter;
    auto n = r.read_count(kMinDataManagerBytes);
    if (!n) return std::unexpected(n.error());
    cs.data_managers.resize(*n);
    for (auto& dm : cs.data_managers) {
        auto type = r.read_string();
        if (!type) return std::unexpected(type.error());
        dm.type_name = std::move(*type);
        auto seq = r.read_u32();
        if (!seq) return std::unexpected(seq.error());
        dm.sequence = *seq;
    }

    // The description's column count was bounded when it was read.
    cs.columns.reserve(desc.columns.size());
    for (const auto& column : desc.columns) {
        ColumnInfo info;
        auto version = r.read_u32();
        if (!version) return std::unexpected(version.error());
        if (*version != 2) return std::unexpected(TableDatError::UnsupportedPlainColumnVersion{*version});
        auto name = r.read_string();
        if (!name) return std::unexpected(name.error());
        info.name = std::move(*name);
        if (auto derived = r.read_u32(); !derived) return std::unexpected(derived.error());
        auto seq = r.read_u32();
        if (!seq) return std::unexpected(seq.error());
        info.dm_sequence = *seq;
        if (column.kind == ColumnKind::Array) {
            auto has_shape = r.read_bool();
            if (!has_shape) return std::unexpected(has_shape.error());
            if (*has_shape) {
                auto shape = r.read_iposition();
                if (!shape) return std::unexpected(shape.error());
                info.shape = std::move(*shape);
            }
        }
        cs.columns.push_back(std::move(info));
    }

    for (auto& dm : cs.data_managers) {
        auto size = r.read_u32();
        if (!size) return std::unexpected(size.error());
        auto bytes = r.read_bytes(*size);
        if (!bytes) return std::unexpected(bytes.error());
        if (dm.type_name == "StandardStMan") {
            auto settings = parse_standard_stman(*bytes);
            if (!settings) return std::unexpected(std::move(settings.error()));
            dm.blob = std::move(*settings);
        } else {
            dm.blob = std::vector<uint8_t>(bytes->begin(), bytes->end());
        }
    }
    return cs;
}

std::vector<uint8_t> build_standard_stman_blob(const StandardStMan& s) {
    Writer w(false, 64 + s.name.size() + 4 * (s.column_offsets.size() + s.column_index_map.size()));
    w.put_magic();
    w.put_object_start("SSM", 2);
    w.put_string(s.name);
    for (const auto* block : {&s.column_offsets, &s.column_index_map}) {
        if (block->size() > UINT32_MAX) throw InternalError("SSM settings block exceeds the u32 count range");
        w.put_object_start("Block", 1);
        w.put_u32(static_cast<uint32_t>(block->size()));
        for (uint32_t v : *block) w.put_u32(v);
        w.put_object_end();
    }
    w.put_object_end();
    return w.take();
}

std::vector<uint8_t> build_ism_blob(std::string_view data_manager_name) {
    Writer w(false, 32 + data_manager_name.size());
    w.put_magic();
    w.put_object_start("ISM", 3);
    w.put_string(data_manager_name);
    w.put_object_end();
    return w.take();
}

}  // namespace orvala

// Reading and writing table.dat.
#include "table_dat.h"

#include "internal_error.h"
#include "quoted.h"

namespace orvala {

namespace {

template <class... F>
struct Overload : F... {
    using F::operator()...;
};

}  // namespace

std::string TableDatError::message() const {
    return std::visit(
        Overload{
            [](const AipsIo& e) { return e.error.message(); },
            [](const Desc& e) { return e.error.message(); },
            [](const BadRootType& e) {
                return "table.dat root object has type " + quoted_form(e.found) + ", expected \"Table\"";
            },
            [](const UnsupportedTableVersion& e) {
                return "unsupported table.dat version " + std::to_string(e.version) + " (the format supports up to 3)";
            },
            [](const BadEndianness& e) {
                return "invalid endianness flag " + std::to_string(e.value) + " in table.dat (expected 0 or 1)";
            },
            [](const UnexpectedType& e) {
                return "unexpected object type " + quoted_form(e.found) + ", expected " + quoted_form(e.expected);
            },
            [](const UnsupportedColumnSetVersion& e) {
                return "unsupported column set version " + std::to_string(e.version) + " in table.dat (expected 1 to 3)";
            },
            [](const NegativeRowCount& e) {
                return "negative row count " + std::to_string(e.count) + " in the table.dat column set";
            },
            [](const UnsupportedPlainColumnVersion& e) {
                return "unsupported PlainColumn class version " + std::to_string(e.version);
            },
            [](const BadSsmBlobType& e) {
                return "data-manager blob has type " + quoted_form(e.found) + ", expected \"SSM\" for " +
                       quoted_form("StandardStMan");
            },
            [](const Io& e) { return e.text; },
            [](const Storage& e) { return "storage error: " + e.text; },
        },
        v);
}

TableDatResult<TableDat> parse_table_dat(std::span<const uint8_t> bytes) {
    Reader r(bytes, false);
    auto head = r.read_object_start(true);
    if (!head) return std::unexpected(head.error());
    if (head->type_name != "Table") return std::unexpected(TableDatError::BadRootType{head->type_name});

    TableDat dat;
    if (head->version == 2) {
        auto rows = r.read_u32();
        if (!rows) return std::unexpected(rows.error());
        dat.row_count = *rows;
    } else if (head->version == 3) {
        auto rows = r.read_u64();
        if (!rows) return std::unexpected(rows.error());
        dat.row_count = *rows;
    } else {
        return std::unexpected(TableDatError::UnsupportedTableVersion{head->version});
    }

    auto endian = r.read_u32();
    if (!endian) return std::unexpected(endian.error());
    if (*endian > 1) return std::unexpected(TableDatError::BadEndianness{*endian});
    dat.big_endian = *endian == 0;

    auto type = r.read_string();
    if (!type) return std::unexpected(type.error());
    dat.table_type = std::move(*type);

    auto desc = parse_table_desc(r);
    if (!desc) return std::unexpected(std::move(desc.error()));
    dat.desc = std::move(*desc);

    auto columns = parse_column_set(r, dat.desc);
    if (!columns) return std::unexpected(std::move(columns.error()));
    dat.column_set = std::move(*columns);
    return dat;
}

std::vector<uint8_t> build_table_dat(uint64_t row_count, const TableDesc& desc, std::span<const DmBlob> data_managers,
                                     std::span<const uint32_t> column_sequences) {
    // The version-2 column set that this writer produces has a u32 row count.
    if (row_count > UINT32_MAX) throw InternalError("row count exceeds the u32 range of a v2 ColumnSet");
    if (column_sequences.size() != desc.columns.size()) {
        throw InternalError("build_table_dat: " + std::to_string(column_sequences.size()) +
                            " data-manager numbers for " + std::to_string(desc.columns.size()) + " columns");
    }
    if (data_managers.size() > UINT32_MAX) throw InternalError("build_table_dat: too many data managers");

    size_t capacity = 1024 + 256 * desc.columns.size();
    for (const auto& dm : data_managers) capacity += 16 + dm.type_name.size() + dm.bytes.size();
    Writer w(false, capacity);

    w.put_magic();
    w.put_object_start("Table", 2);
    w.put_u32(static_cast<uint32_t>(row_count));
    w.put_u32(1);  // data files are written little-endian
    w.put_string("PlainTable");
    write_table_desc(w, desc);

    w.put_i32(-2);
    w.put_u32(static_cast<uint32_t>(row_count));
    w.put_u32(static_cast<uint32_t>(data_managers.size()));  // sequence counter
    w.put_u32(static_cast<uint32_t>(data_managers.size()));
    for (const auto& dm : data_managers) {
        w.put_string(dm.type_name);
        w.put_u32(dm.sequence);
    }
    static const std::vector<int64_t> kNoShape;
    for (size_t i = 0; i < desc.columns.size(); ++i) {
        const ColumnDesc& c = desc.columns[i];
        w.put_u32(2);
        w.put_string(c.name);
        w.put_u32(1);
        w.put_u32(column_sequences[i]);
        if (c.kind == ColumnKind::Array) {
            w.put_bool(true);
            w.put_iposition(c.shape ? *c.shape : kNoShape);
        }
    }
    for (const auto& dm : data_managers) {
        if (dm.bytes.size() > UINT32_MAX) throw InternalError("build_table_dat: data-manager blob too large");
        w.put_u32(static_cast<uint32_t>(dm.bytes.size()));
        w.put_bytes(dm.bytes);
    }
    w.put_object_end();
    return w.take();
}

}  // namespace orvala

// The IncrementalStMan writer: little-endian, 32768-byte buckets, a fixed
// number of rows per bucket chosen so that a bucket always fits even when
// every value differs from the one before it.
#include <cstring>

#include "byteorder.h"
#include "internal_error.h"
#include "ism.h"

namespace orvala {

namespace {

constexpr uint32_t kBucketSize = 32768;
constexpr uint64_t kHeaderBytes = 512;

std::vector<uint8_t> ism_header(uint32_t buckets) {
    Writer w(true, kHeaderBytes);
    w.put_magic();
    w.put_object_start("IncrementalStMan", 5);
    w.put_bool(false);  // little-endian
    w.put_u32(kBucketSize);
    w.put_u32(buckets);
    w.put_u32(0);   // persistent cache size
    w.put_u32(0);   // unique number
    w.put_u32(0);   // free buckets
    w.put_i32(-1);  // first free bucket
    w.put_object_end();
    std::vector<uint8_t> out = w.take();
    out.resize(kHeaderBytes, 0);
    return out;
}

std::vector<uint8_t> ism_index(uint64_t rows, uint64_t per_bucket, uint32_t buckets) {
    Writer w(true, 64 + 8 * uint64_t{buckets});
    w.put_magic();
    w.put_object_start("ISMIndex", 1);
    w.put_u32(buckets);
    w.put_object_start("Block", 1);
    w.put_u32(buckets + 1);
    for (uint64_t j = 0; j <= buckets; ++j) w.put_u32(static_cast<uint32_t>(std::min(rows, j * per_bucket)));
    w.put_object_end();
    w.put_object_start("Block", 1);
    w.put_u32(buckets);
    for (uint32_t j = 0; j < buckets; ++j) w.put_u32(j);
    w.put_object_end();
    w.put_object_end();
    return w.take();
}

}  // namespace

std::expected<std::vector<uint8_t>, StorageWriteError> build_ism_data(
    const TableDesc& desc, std::span<const uint32_t> positions,
    std::span<const std::vector<RecordValue>> values, uint64_t rows) {
    if (values.size() != positions.size())
        throw InternalError("build_ism_data: " + std::to_string(values.size()) + " value lists for " +
                            std::to_string(positions.size()) + " columns");
    std::vector<const ColumnDesc*> columns;
    for (uint32_t p : positions) {
        if (p >= desc.columns.size()) throw InternalError("build_ism_data: no column " + std::to_string(p));
        columns.push_back(&desc.columns[p]);
    }
    const uint64_t v = columns.size();
    std::vector<uint32_t> sizes(v);
    uint64_t row_bytes = 0;
    for (uint64_t c = 0; c < v; ++c) {
        const ColumnDesc& col = *columns[c];
        if (col.kind == ColumnKind::Array) return std::unexpected(StorageWriteError::not_scalar(col.name));
        if (col.data_type == DataType::String)
            return std::unexpected(
                StorageWriteError::msg("IncrementalStMan string column " + col.name + " is not writable yet"));
        auto size = ism_cell_size(col.data_type);
        if (!size)
            return std::unexpected(StorageWriteError::msg("encode " + desc.name + "." + col.name +
                                                          ": values of type " + data_type_name(col.data_type) +
                                                          " cannot be stored by an IncrementalStMan"));
        if (values[c].size() != rows)
            throw InternalError("build_ism_data: column " + col.name + " has " + std::to_string(values[c].size()) +
                                " values for " + std::to_string(rows) + " rows");
        sizes[c] = *size;
        row_bytes += *size;
    }
    if (rows > UINT32_MAX)
        return std::unexpected(StorageWriteError::msg("IncrementalStMan cannot store " + std::to_string(rows) +
                                                      " rows (at most 4294967295)"));
    // One bucket must hold its leading word, a count per column and, for a
    // row whose every value is new, per column an entry of 8 bytes and the
    // value.
    if (4 + 12 * v + row_bytes > kBucketSize)
        return std::unexpected(StorageWriteError::msg(
            "IncrementalStMan row of " + std::to_string(v) + " columns (" + std::to_string(row_bytes) +
            " bytes of values) does not fit a bucket of " + std::to_string(kBucketSize) + " bytes"));

    // Rows per bucket: (32764 - 4v) div (t + 8v), at least 1.
    uint64_t per_bucket = 1;
    if (v > 0) {
        int64_t room = 32764 - 4 * static_cast<int64_t>(v);
        if (room > 0) per_bucket = std::max<uint64_t>(1, static_cast<uint64_t>(room) / (row_bytes + 8 * v));
    } else {
        per_bucket = std::max<uint64_t>(1, rows);
    }
    const uint32_t buckets = static_cast<uint32_t>((rows + per_bucket - 1) / per_bucket);

    // Every column's cells, encoded once over all rows.
    std::vector<std::vector<uint8_t>> cells(v);
    for (uint64_t c = 0; c < v; ++c) {
        Writer w(true, rows * sizes[c]);
        for (const RecordValue& value : values[c]) write_scalar_value(w, columns[c]->data_type, value);
        cells[c] = w.take();
        if (cells[c].size() != rows * sizes[c])
            throw InternalError("build_ism_data: encoded " + std::to_string(cells[c].size()) + " bytes for column " +
                                columns[c]->name);
    }

    std::vector<uint8_t> header = ism_header(buckets);
    std::vector<uint8_t> index = ism_index(rows, per_bucket, buckets);
    std::vector<uint8_t> out(kHeaderBytes + uint64_t{buckets} * kBucketSize + index.size(), 0);
    std::memcpy(out.data(), header.data(), kHeaderBytes);
    std::memcpy(out.data() + kHeaderBytes + uint64_t{buckets} * kBucketSize, index.data(), index.size());

    // Per column, the entries of the current bucket (reused between buckets).
    std::vector<std::vector<uint32_t>> entry_rows(v), entry_offsets(v);
    for (uint32_t j = 0; j < buckets; ++j) {
        uint8_t* b = out.data() + kHeaderBytes + uint64_t{j} * kBucketSize;
        const uint64_t first = uint64_t{j} * per_bucket;
        const uint64_t last = std::min(rows, first + per_bucket);
        uint64_t data_len = 0;
        for (uint64_t c = 0; c < v; ++c) {
            entry_rows[c].clear();
            entry_offsets[c].clear();
            const uint32_t s = sizes[c];
            for (uint64_t row = first; row < last; ++row) {
                const uint8_t* cell = cells[c].data() + row * s;
                // A value is stored where it differs from the row before; the
                // first row of a bucket always gets one.
                if (row != first && std::memcmp(cell, cell - s, s) == 0) continue;
                entry_rows[c].push_back(static_cast<uint32_t>(row - first));
                entry_offsets[c].push_back(static_cast<uint32_t>(data_len));
                if (4 + data_len + s > kBucketSize) throw InternalError("build_ism_data: bucket overflow");
                std::memcpy(b + 4 + data_len, cell, s);
                data_len += s;
            }
        }
        uint64_t at = 4 + data_len;
        store_u32(b, static_cast<uint32_t>(at), true);
        for (uint64_t c = 0; c < v; ++c) {
            const uint64_t k = entry_rows[c].size();
            if (at + 4 + 8 * k > kBucketSize) throw InternalError("build_ism_data: bucket index overflow");
            store_u32(b + at, static_cast<uint32_t>(k), true);
            at += 4;
            for (uint32_t r : entry_rows[c]) store_u32(b + at, r, true), at += 4;
            for (uint32_t o : entry_offsets[c]) store_u32(b + at, o, true), at += 4;
        }
    }
    return out;
}

}  // namespace orvala

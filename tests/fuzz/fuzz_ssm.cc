// StandardStManFile over arbitrary bucket-file and array-file bytes.
//
// Input: byte 0 flags (bit 0: big-endian table, bit 1: an array file is
// present); bytes 1-2 the array file's length (u16 LE, taken from the end);
// bytes 3-18 eight column offsets (u16 LE) for the columns below; the rest
// is the bucket file followed by the array file.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "ssm.h"

namespace {

using namespace orvala;

const CellColumn kColumns[] = {
    {"i", DataType::Int, CellKind::Scalar, 0},     {"b", DataType::Bool, CellKind::Scalar, 0},
    {"s", DataType::String, CellKind::Scalar, 0},  {"f", DataType::String, CellKind::Scalar, 6},
    {"a", DataType::Int, CellKind::Array, 0},      {"sa", DataType::String, CellKind::Array, 0},
    {"r", DataType::Record, CellKind::Record, 0},  {"d", DataType::DComplex, CellKind::Scalar, 0},
};
constexpr size_t kPrefix = 3 + 2 * 8;

size_t sink = 0;

void touch(const SsmError& e) { sink += e.message().size(); }

void read_rows(const StandardStManFile& f, const StandardStMan& s, std::vector<uint64_t> rows) {
    for (size_t c = 0; c < 8; ++c) {
        for (uint64_t row : rows) {
            auto v = f.read_cell(s, c, row, kColumns[c]);
            if (!v) touch(v.error());
        }
    }
}

void walk_runs(const StandardStManFile& f, const StandardStMan& s, size_t c, uint64_t first, uint64_t count) {
    auto layout = f.column_layout(s, c, kColumns[c]);
    if (!layout) return touch(layout.error());
    auto cursor = f.runs(*layout, first, count);
    if (!cursor) return touch(cursor.error());
    SsmRun run;
    for (;;) {
        auto more = cursor->next(run);
        if (!more) return touch(more.error());
        if (!*more) return;
        for (uint8_t b : run.bytes) sink += b;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < kPrefix) return 0;
    bool big_endian = data[0] & 1;
    bool with_array = data[0] & 2;
    size_t array_len = data[1] | (size_t{data[2]} << 8);
    StandardStMan settings;
    settings.name = "fuzz";
    for (size_t c = 0; c < 8; ++c) {
        settings.column_offsets.push_back(data[3 + 2 * c] | (uint32_t{data[4 + 2 * c]} << 8));
        settings.column_index_map.push_back(0);
    }
    const uint8_t* body = data + kPrefix;
    size_t body_len = size - kPrefix;
    if (!with_array || array_len > body_len) array_len = 0;
    std::vector<uint8_t> bucket_file(body, body + body_len - array_len);
    std::optional<Buffer> array_file;
    if (with_array) array_file = Buffer::from_bytes(std::vector<uint8_t>(body + body_len - array_len, body + body_len));

    // The raw bytes as string-array content too.
    if (auto c = decode_string_array_content(bucket_file); !c) touch(c.error());

    auto f = StandardStManFile::from_buffers(Buffer::from_bytes(std::move(bucket_file)), std::move(array_file),
                                             big_endian);
    if (!f) {
        touch(f.error());
        return 0;
    }
    std::vector<uint64_t> rows = {0, 1, 2, 31, 32, 33};
    for (const auto& ix : f->indices()) {
        size_t n = ix.last_rows.size();
        for (size_t k = 0; k < n && k < 4; ++k) rows.push_back(ix.last_rows[k]);
        if (n) rows.push_back(ix.last_rows[n - 1]), rows.push_back(ix.last_rows[n - 1] + 1);
    }
    read_rows(*f, settings, rows);
    walk_runs(*f, settings, 0, 0, 100);
    walk_runs(*f, settings, 1, 3, 100);
    walk_runs(*f, settings, 7, 1, 64);
    // Array references taken from the input itself.
    SsmArrayRegion region;
    for (size_t i = 0; i + 8 <= size && i < 64; i += 8) {
        int64_t ref = 0;
        for (int k = 0; k < 8; ++k) ref |= int64_t{data[i + k]} << (8 * k);
        if (auto ok = f->array_region_at(ref, DataType::Double, "a", region); ok) {
            if (auto v = decode_array_region(region, DataType::Double, big_endian); !v) touch(v.error());
        } else {
            touch(ok.error());
        }
    }
    return 0;
}

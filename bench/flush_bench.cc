// Flush benchmark: the cost of writing tables, by phase, each phase in its
// own process so that its peak memory is its own.
//
//   flush_bench create DIR ROWS   new table: TIME Double, ANTENNA Int
//                                 (StandardStMan), DATA Complex [64, 4]
//                                 (TiledShapeStMan); 2 KiB of DATA per row
//   flush_bench cell DIR          one-cell edits, each flushed alone: TIME
//                                 (bucket patch), DATA (tile patch)
//   flush_bench rewrite DIR       full rewrite of the whole table
//
// Each prints wall time, peak resident memory (ru_maxrss) and the table's
// size on disk, and the reference: a plain copy of that many bytes in memory.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "table.h"
#include "writable_table.h"

using namespace orvala;

namespace {

double now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

double peak_mib() {
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_maxrss) / 1024.0;
}

uint64_t disk_bytes(const std::string& dir) {
    uint64_t n = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir))
        if (e.is_regular_file()) n += e.file_size();
    return n;
}

ColumnDesc column(const char* name, DataType type, const char* dm, const char* group, bool array = false) {
    ColumnDesc c;
    c.name = name;
    c.data_type = type;
    c.data_manager_type = dm;
    c.data_manager_group = group;
    c.kind = array ? ColumnKind::Array : ColumnKind::Scalar;
    if (array) {
        c.shape = std::vector<int64_t>{4, 64};
        c.ndim = 2;
    } else {
        c.default_value = zero_value(type);
    }
    return c;
}

void report(const char* what, double seconds, const std::string& dir) {
    uint64_t size = disk_bytes(dir);
    std::printf("%-24s %10.4f s  peak %8.1f MiB  table %8.1f MiB  peak/table %.2f\n", what, seconds, peak_mib(),
                size / 1048576.0, peak_mib() * 1048576.0 / static_cast<double>(size));
}

int fail(const std::string& m) {
    std::fprintf(stderr, "%s\n", m.c_str());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return fail("usage: flush_bench create DIR ROWS | cell DIR | rewrite DIR");
    std::string mode = argv[1], dir = argv[2];
    if (mode == "create") {
        uint64_t rows = argc > 3 ? std::stoull(argv[3]) : 500000;
        std::filesystem::remove_all(dir);
        TableDesc desc;
        desc.name = "bench";
        desc.columns = {column("TIME", DataType::Double, "StandardStMan", "S"),
                        column("ANTENNA", DataType::Int, "StandardStMan", "S"),
                        column("DATA", DataType::Complex, "TiledShapeStMan", "D", true)};
        auto wt = WritableTable::create(dir, desc);
        wt.add_rows(rows);
        std::vector<double> time(rows);
        std::vector<int32_t> ant(rows);
        std::vector<std::complex<float>> data(rows * 256);
        for (uint64_t r = 0; r < rows; ++r) {
            time[r] = 4.9e9 + static_cast<double>(r);
            ant[r] = static_cast<int32_t>(r % 256);
        }
        for (size_t i = 0; i < data.size(); ++i) data[i] = {static_cast<float>(i % 1000), 1.0f};
        double t0 = now();
        if (!wt.putcol_dense(0, 0, rows, std::move(time), {}) || !wt.putcol_dense(1, 0, rows, std::move(ant), {}) ||
            !wt.putcol_dense(2, 0, rows, std::move(data), {64, 4}))
            return fail("put failed");
        double t1 = now();
        auto r = wt.flush();
        if (!r) return fail(r.error().message());
        std::printf("buffered puts            %10.4f s\n", t1 - t0);
        report("create (new table)", now() - t1, dir);
        return 0;
    }
    auto table = Table::open(dir);
    if (!table) return fail(table.error().message());
    uint64_t rows = (*table)->nrow();
    if (mode == "cell") {
        for (int col : {0, 2}) {
            auto wt = WritableTable::create(dir, (*table)->desc());
            wt.add_rows(rows);
            RecordValue v = col == 0 ? RecordValue(1.0)
                                     : RecordValue(ArrayValue{{64, 4}, std::vector<std::complex<float>>(256, {2, 3})});
            if (!wt.putcell(col, rows / 2, v)) return fail("put failed");
            double t0 = now();
            auto r = wt.flush();
            if (!r) return fail(r.error().message());
            report(col == 0 ? "one TIME cell" : "one DATA cell", now() - t0, dir);
        }
        return 0;
    }
    if (mode == "rewrite") {
        auto wt = WritableTable::create(dir, (*table)->desc());
        wt.add_rows(rows);
        wt.putkeyword("REWRITTEN", RecordValue(int32_t{1}));
        table->reset();
        double t0 = now();
        auto r = wt.flush();
        if (!r) return fail(r.error().message());
        report("full rewrite", now() - t0, dir);
        // The reference: one plain copy of the table's bytes in memory.
        uint64_t size = disk_bytes(dir);
        std::vector<char> a(size, 1), b(size);
        double c0 = now();
        std::memcpy(b.data(), a.data(), size);
        std::printf("memcpy of the table size %10.4f s\n", now() - c0);
        return 0;
    }
    return fail("unknown mode " + mode);
}

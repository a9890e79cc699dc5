// Damaged tables: the first input byte picks one file of a small set of
// tables (subtables of the real Measurement Set in tests/data, and a table
// written by this system's writers), the rest replaces that file's content.
// The table is then opened and every column read through every path (cells,
// runs of rows, slices, raw); nothing may crash, overrun or disagree.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "ism.h"
#include "raw_sink.h"
#include "ssm_writer.h"
#include "table.h"
#include "tsm.h"

namespace {

namespace fs = std::filesystem;
using namespace orvala;

struct Target {
    std::string table;  // directory under the work directory
    std::string file;
};

const std::vector<Target>& targets() {
    static const std::vector<Target> t = {
        {"POINTING", "table.dat"}, {"POINTING", "table.lock"},       {"POINTING", "table.f0"},
        {"POINTING", "table.f0i"}, {"SOURCE", "table.f0"},           {"SOURCE", "table.dat"},
        {"HISTORY", "table.f0"},   {"SPECTRAL_WINDOW", "table.f0i"}, {"MAIN", "table.f1"},
        {"MAIN", "table.f1_TSM1"}, {"MAIN", "table.f7"},             {"MAIN", "table.f5"},
        {"MAIN", "table.dat"},     {"MAIN", "table.f0"},             {"OWN", "table.dat"},
        {"OWN", "table.f0"},       {"OWN", "table.f0i"},             {"OWN", "table.f1"},
        {"OWN", "table.f2"},       {"OWN", "table.f2_TSM1"},
    };
    return t;
}

void put_file(const std::string& path, std::span<const uint8_t> bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::vector<uint8_t> get_file(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(f)), {});
}

// A table of 40 rows with the column kinds this system writes.
void write_own_table(const std::string& dir) {
    const uint64_t rows = 40;
    TableDesc desc;
    auto column = [&](std::string name, DataType t, ColumnKind kind, std::string dm, std::vector<int64_t> shape = {}) {
        ColumnDesc c;
        c.name = std::move(name);
        c.data_type = t;
        c.kind = kind;
        c.data_manager_type = c.data_manager_group = std::move(dm);
        if (!shape.empty()) c.shape = std::move(shape), c.ndim = static_cast<int32_t>(c.shape->size()), c.option = 4;
        if (kind == ColumnKind::Scalar) c.default_value = zero_value(t);
        desc.columns.push_back(std::move(c));
    };
    column("D", DataType::Double, ColumnKind::Scalar, "StandardStMan");
    column("S", DataType::String, ColumnKind::Scalar, "StandardStMan");
    column("R", DataType::Record, ColumnKind::Record, "StandardStMan");
    column("A", DataType::Int, ColumnKind::Array, "StandardStMan", {3, 2});
    column("B", DataType::Bool, ColumnKind::Scalar, "StandardStMan");
    column("I", DataType::Int, ColumnKind::Scalar, "IncrementalStMan");
    column("T", DataType::Complex, ColumnKind::Array, "TiledShapeStMan", {4});
    std::vector<std::vector<RecordValue>> v(desc.columns.size());
    for (uint64_t r = 0; r < rows; ++r) {
        const int32_t k = static_cast<int32_t>(r);
        v[0].emplace_back(k * 0.5);
        v[1].emplace_back(std::string(r % 12, 'x'));
        TableRecord rec;
        rec.set("k", k);
        v[2].emplace_back(rec);
        v[3].emplace_back(ArrayValue{{2, 3}, std::vector<int32_t>{k, 1, 2, 3, 4, 5}});
        v[4].emplace_back(r % 3 == 0);
        v[5].emplace_back(k / 9);
        v[6].emplace_back(ArrayValue{{4}, std::vector<std::complex<float>>(4, {1.0f * k, -1.0f})});
    }
    std::vector<SsmWriteColumn> ssm;
    for (size_t i = 0; i < 5; ++i) {
        const ColumnDesc& c = desc.columns[i];
        ssm.push_back({CellColumn{c.name, c.data_type,
                                  c.kind == ColumnKind::Array    ? CellKind::Array
                                  : c.kind == ColumnKind::Record ? CellKind::Record
                                                                 : CellKind::Scalar,
                                  0},
                       v[i]});
    }
    auto s = build_ssm_data("own", ssm, rows, "SSM");
    put_file(dir + "/table.f0", s->bucket_file);
    put_file(dir + "/table.f0i", *s->array_file);
    const uint32_t ism_pos[] = {5}, tsm_pos[] = {6};
    put_file(dir + "/table.f1", *build_ism_data(desc, ism_pos, std::span(&v[5], 1), rows));
    auto t = build_tsm_data("TiledShapeStMan", 2, "TSM", desc, tsm_pos, std::span(&v[6], 1), rows);
    put_file(dir + "/table.f2", t->header);
    put_file(dir + "/table.f2_TSM" + std::to_string(t->file_number), t->tile_data);
    std::vector<DmBlob> blobs{
        {"StandardStMan", 0, build_standard_stman_blob({"SSM", s->column_offsets, s->column_index_map})},
        {"IncrementalStMan", 1, build_ism_blob("ISM")},
        {"TiledShapeStMan", 2, {}}};
    const uint32_t seqs[] = {0, 0, 0, 0, 0, 1, 2};
    put_file(dir + "/table.dat", build_table_dat(rows, desc, blobs, seqs));
}

// The work directory with the tables, made once per process.
const std::string& work_dir() {
    static const std::string dir = [] {
        const std::string ms = fs::path(__FILE__).parent_path().parent_path() / "data" / "lwa-downselected.ms";
        std::string d = "/tmp/orvala-fuzz-table-read-" + std::to_string(::getpid());
        fs::remove_all(d);
        fs::create_directories(d + "/MAIN");
        for (const char* sub : {"POINTING", "SOURCE", "HISTORY", "SPECTRAL_WINDOW"})
            fs::copy(ms + "/" + sub, d + "/" + sub, fs::copy_options::recursive);
        for (const auto& e : fs::directory_iterator(ms))
            if (e.is_regular_file()) fs::copy(e.path(), d + "/MAIN/" + e.path().filename().string());
        fs::create_directories(d + "/OWN");
        write_own_table(d + "/OWN");
        static const std::string* const remove_at_exit = new std::string(d);
        std::atexit([] { fs::remove_all(*remove_at_exit); });
        return d;
    }();
    return dir;
}

// The native bytes of a value's raw form (Bool one byte).
void append_native(std::vector<uint8_t>& out, const RecordValue& v) {
    std::visit(
        [&](const auto& x) {
            using T = std::decay_t<decltype(x)>;
            if constexpr (std::is_same_v<T, bool>) {
                out.push_back(x ? 1 : 0);
            } else if constexpr (std::is_arithmetic_v<T> || std::is_same_v<T, std::complex<float>> ||
                                 std::is_same_v<T, std::complex<double>>) {
                const auto* p = reinterpret_cast<const uint8_t*>(&x);
                out.insert(out.end(), p, p + sizeof x);
            } else if constexpr (std::is_same_v<T, ArrayValue>) {
                for (const RecordValue& e : x.elements()) append_native(out, e);
            }
        },
        static_cast<const RecordValueVariant&>(v));
}

// Reads a few rows of every column through every path.
void read_everything(const Table& t) {
    (void)t.colnames();
    (void)t.name();
    const uint64_t rows = std::min<uint64_t>(t.nrow(), 8);
    for (size_t c = 0; c < t.ncolumns(); ++c) {
        auto cells = t.getcol(c, 0, rows);
        if (!cells) (void)cells.error().message();
        if (t.nrow() > rows) {
            auto last = t.read_cell(c, t.nrow() - 1);
            if (!last) (void)last.error().message();
        }
        auto src = t.column_source(c);
        for (uint64_t r = 0; r < rows && src; ++r) {
            auto one = t.read_cell_from(*src, t.desc().columns[c], r);
            // The cell and column paths agree (compared as text, so NaN equals NaN).
            if (cells && one && one->to_json_string_ctx() != (*cells)[r].to_json_string_ctx()) __builtin_trap();
            if (one && std::holds_alternative<ArrayValue>(*one)) {
                const auto& shape = std::get<ArrayValue>(*one).shape;
                std::vector<int64_t> b(shape.size(), 0), e;
                for (uint32_t x : shape) e.push_back(static_cast<int64_t>(x) - 1);
                auto s = t.getcellslice(c, r, b, e);
                if (!s) (void)s.error().message();
            }
        }
        if (!t.raw_column_supported(c)) continue;
        const ColumnDesc& d = t.desc().columns[c];
        uint64_t cell = Table::raw_element_bytes(d.data_type);
        for (uint64_t x : t.raw_cell_shape(c)) cell *= x;
        if (cell == 0 || cell * rows > (uint64_t{1} << 24)) continue;
        std::vector<uint8_t> buf(cell * rows + 16, 0xa5);
        TableReadResult<void> ok;
        if (d.data_type == DataType::Bool && d.kind == ColumnKind::Array) {
            ok = t.getcol_raw_bits(c, 0, rows, buf.data(), cell * rows);
        } else {
            BufferSink sink(buf.data(), cell * rows, cell, t.raw_swap_unit(c));
            ok = t.getcol_raw(c, 0, rows, sink);
        }
        if (!ok) (void)ok.error().message();
        if (ok && cells) {
            // The raw path gives the value path's bytes.
            std::vector<uint8_t> want;
            for (const RecordValue& v : *cells) append_native(want, v);
            if (t.raw_swap_unit(c) == 0 && std::memcmp(want.data(), buf.data(), std::min(want.size(), cell * rows)))
                __builtin_trap();
        }
        for (size_t k = cell * rows; k < buf.size(); ++k)
            if (buf[k] != 0xa5) __builtin_trap();  // never past the buffer
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const Target& target = targets()[data[0] % targets().size()];
    const std::string dir = work_dir() + "/" + target.table;
    const std::string path = dir + "/" + target.file;
    static std::vector<std::vector<uint8_t>> originals(targets().size());
    auto& original = originals[data[0] % targets().size()];
    if (original.empty()) original = get_file(path);
    put_file(path, std::span(data + 1, size - 1));
    {
        auto t = Table::open(dir);
        if (t) read_everything(**t);
        else (void)t.error().message();
    }
    put_file(path, original);
    return 0;
}

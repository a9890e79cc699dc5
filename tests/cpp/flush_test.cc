// The two flushes at the byte level: what the preserving flush may touch,
// when the full rewrite is chosen instead, and the tables that need the
// fallbacks (big-endian data, tiled data managers of several columns).
#include <gtest/gtest.h>

#include "file_commit.h"
#include "flush_fixtures.h"
#include "ssm.h"
#include "test_bytes.h"

namespace orvala {
namespace {

using test::floats;
using test::ints;

// The byte offsets at which two images differ (sizes must agree).
std::vector<size_t> changed_bytes(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
    EXPECT_EQ(a.size(), b.size());
    std::vector<size_t> out;
    for (size_t i = 0; i < std::min(a.size(), b.size()); ++i)
        if (a[i] != b[i]) out.push_back(i);
    return out;
}

// Files whose bytes differ between two snapshots (or that one lacks).
std::vector<std::string> changed_files(const test::Snapshot& a, const test::Snapshot& b) {
    std::vector<std::string> out;
    for (const auto& [name, bytes] : a)
        if (!b.contains(name) || b.at(name) != bytes) out.push_back(name);
    for (const auto& [name, bytes] : b)
        if (!a.contains(name)) out.push_back(name);
    return out;
}

// Flushes and tells whether table.dat was written (a full rewrite).
bool flush_rewrote(WritableTable& wt) {
    bool rewrote = false;
    auto ops = test::record_ops([&] {
        auto r = wt.flush();
        ASSERT_TRUE(r) << r.error().message();
    });
    for (const auto& [op, name] : ops) rewrote = rewrote || (op == FileOp::Rename && name == "table.dat");
    return rewrote;
}

// Where row r of column k of the mixed table's first data manager starts,
// in bits from the file's start.
uint64_t mixed_cell_bit(const std::string& dir, size_t k, uint64_t row, uint32_t bits) {
    auto t = test::open_table(dir);
    const auto& settings = std::get<StandardStMan>(t->column_set().data_managers[0].blob);
    auto file = StandardStManFile::open(dir, 0, false);
    EXPECT_TRUE(file);
    uint64_t bucket = row / 32;  // the writer's 32 rows per bucket, in order
    return (512 + bucket * file->header().bucket_size + settings.column_offsets[k]) * 8 + (row % 32) * bits;
}

TEST(PreservingFlush, OneDoubleCellChangesOnlyItsBytes) {
    std::string dir = test::make_mixed_table("p_double");
    auto before = test::snapshot(dir);
    auto wt = test::writable(dir);
    ASSERT_TRUE(wt.putcell(0, 40, RecordValue(99.25)));
    EXPECT_FALSE(flush_rewrote(wt));
    auto after = test::snapshot(dir);
    EXPECT_EQ(changed_files(before, after), std::vector<std::string>{"table.f0"});
    uint64_t at = mixed_cell_bit(dir, 0, 40, 64) / 8;
    std::vector<size_t> want;
    for (size_t i = 0; i < 8; ++i) if (before["table.f0"][at + i] != after["table.f0"][at + i]) want.push_back(at + i);
    EXPECT_EQ(changed_bytes(before["table.f0"], after["table.f0"]), want);
    EXPECT_EQ(std::vector<uint8_t>(after["table.f0"].begin() + at, after["table.f0"].begin() + at + 8),
              test::hex("00 00 00 00 00 d0 58 40"));  // 99.25, little-endian
    EXPECT_EQ(test::cell(dir, "A", 40), RecordValue(99.25));
    EXPECT_FALSE(wt.any_dirty());
    EXPECT_TRUE(wt.edits(0).empty());
}

TEST(PreservingFlush, BoolCellsChangeOnlyTheirBits) {
    std::string dir = test::make_mixed_table("p_bool");
    auto before = test::snapshot(dir);
    auto wt = test::writable(dir);
    // Stored: row 0 false, row 1 true.
    ASSERT_TRUE(wt.putcell(2, 0, RecordValue(true)));
    ASSERT_TRUE(wt.putcell(2, 1, RecordValue(false)));
    EXPECT_FALSE(flush_rewrote(wt));
    auto after = test::snapshot(dir);
    EXPECT_EQ(changed_files(before, after), std::vector<std::string>{"table.f0"});
    uint64_t bit = mixed_cell_bit(dir, 2, 0, 1);
    ASSERT_EQ(bit % 8, 0u);
    EXPECT_EQ(changed_bytes(before["table.f0"], after["table.f0"]), std::vector<size_t>{bit / 8});
    EXPECT_EQ(before["table.f0"][bit / 8] ^ after["table.f0"][bit / 8], 0b11);
    EXPECT_EQ(test::cell(dir, "C", 0), RecordValue(true));
    EXPECT_EQ(test::cell(dir, "C", 1), RecordValue(false));
}

// Data managers that cannot take an edit in place are rebuilt whole, under
// a new name renamed over the old; table.dat and the others keep their bytes.
TEST(PreservingFlush, RebuildsOnlyTheEditedDataManager) {
    struct Case {
        size_t col;
        RecordValue value;
        std::vector<std::string> changed;
    } cases[] = {
        {3, RecordValue(std::string("a string longer than eight bytes")), {"table.f1"}},
        {4, RecordValue(int32_t{777}), {"table.f2"}},
        {5, RecordValue(floats({3}, {-1, -2, -3})), {"table.f3_TSM0"}},
    };
    for (const auto& c : cases) {
        std::string dir = test::make_mixed_table("p_rebuild");
        auto t0 = test::open_table(dir);
        auto cells = test::all_cells(*t0);
        auto before = test::snapshot(dir);
        auto wt = test::writable(dir);
        ASSERT_TRUE(wt.putcell(c.col, 55, c.value));
        EXPECT_FALSE(flush_rewrote(wt));
        EXPECT_EQ(changed_files(before, test::snapshot(dir)), c.changed);
        cells[c.col][55] = c.value;
        EXPECT_EQ(test::all_cells(*test::open_table(dir)), cells);
    }
}

TEST(PreservingFlush, TiledCellChangesOnlyItsBytes) {
    std::string dir = test::make_mixed_table("p_tiled");
    auto before = test::snapshot(dir);
    auto wt = test::writable(dir);
    ASSERT_TRUE(wt.putcell(5, 7, RecordValue(floats({3}, {0.5, 1.5, 2.5}))));
    EXPECT_FALSE(flush_rewrote(wt));
    auto after = test::snapshot(dir);
    auto diff = changed_bytes(before["table.f3_TSM0"], after["table.f3_TSM0"]);
    ASSERT_FALSE(diff.empty());
    EXPECT_GE(diff.front(), 7u * 12);
    EXPECT_LT(diff.back(), 8u * 12);
    EXPECT_EQ(test::cell(dir, "E", 7), RecordValue(floats({3}, {0.5, 1.5, 2.5})));
}

TEST(Flush, ChoosesTheFullRewrite) {
    struct Case {
        const char* what;
        std::function<void(WritableTable&)> edit;
        bool full;
    } cases[] = {
        {"one cell", [](WritableTable& wt) { ASSERT_TRUE(wt.putcell(1, 3, RecordValue(int32_t{5}))); }, false},
        {"added row", [](WritableTable& wt) { wt.add_rows(1); ASSERT_TRUE(wt.putcell(1, 100, RecordValue(int32_t{5}))); }, true},
        {"keyword", [](WritableTable& wt) {
             wt.putkeyword("K", RecordValue(int32_t{1}));
             ASSERT_TRUE(wt.putcell(1, 3, RecordValue(int32_t{5})));
         }, true},
        {"nothing dirty", [](WritableTable&) {}, true},
        {"every column dirty", [](WritableTable& wt) {
             for (size_t c = 0; c < 6; ++c) ASSERT_TRUE(wt.putcell(c, 3, test::mixed_value(c, 4)));
         }, true},
        {"renamed column", [](WritableTable& wt) {
             ASSERT_TRUE(wt.renamecol("B", "BB"));
             ASSERT_TRUE(wt.putcell(1, 3, RecordValue(int32_t{5})));
         }, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::string dir = test::make_mixed_table("strategy");
        auto wt = test::writable(dir);
        c.edit(wt);
        EXPECT_EQ(flush_rewrote(wt), c.full);
        EXPECT_FALSE(wt.any_dirty());
        for (size_t col = 0; col < wt.desc().columns.size(); ++col) EXPECT_FALSE(wt.edits(col).has_edited());
        EXPECT_TRUE(wt.keywords_changed() == (std::string(c.what) == "keyword"));
    }
}

TEST(FullRewrite, AddedRowTakesDefaultsAndKeywordsAreWritten) {
    std::string dir = test::make_mixed_table("rewrite");
    auto wt = test::writable(dir);
    wt.add_rows(1);
    wt.putkeyword("SUB", RecordValue(TableRef{wt.dir() + "/SUB"}));
    ASSERT_TRUE(wt.putcell(0, 100, RecordValue(1.25)));
    ASSERT_TRUE(wt.flush());
    auto t = test::open_table(dir);
    ASSERT_EQ(t->nrow(), 101u);
    EXPECT_EQ(*t->desc().keywords.get("SUB"), RecordValue(TableRef{"././SUB"}));
    EXPECT_EQ(test::cell(dir, "A", 100), RecordValue(1.25));
    EXPECT_EQ(test::cell(dir, "B", 100), RecordValue(int32_t{0}));
    EXPECT_EQ(test::cell(dir, "S", 100), RecordValue(std::string()));
    EXPECT_EQ(test::cell(dir, "E", 100), RecordValue(floats({3}, {0, 0, 0})));
    EXPECT_EQ(test::cell(dir, "S", 99), RecordValue(std::string("s99")));
}

TEST(FullRewrite, FailuresBeforeWritingLeaveTheDiskAlone) {
    struct Case {
        const char* what;
        ColumnDesc added;
        const char* message;
    } cases[] = {
        {"unknown data manager", test::column("M", DataType::Int, "MyStMan", ""), "unsupported data-manager type MyStMan"},
        {"no default", test::column("T", DataType::Table, "StandardStMan", ""),
         "column T has no default value (fill every cell of array columns)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::string dir = test::make_mixed_table("nowrite");
        auto before = test::snapshot(dir);
        auto wt = test::writable(dir);
        wt.addcol(c.added);
        ASSERT_TRUE(wt.putcell(0, 1, RecordValue(2.0)));
        auto r = wt.flush();
        ASSERT_FALSE(r);
        EXPECT_EQ(r.error().message(), c.message);
        EXPECT_EQ(test::snapshot(dir), before);
        EXPECT_TRUE(wt.column_dirty(0));
        EXPECT_EQ(wt.edited_cell(0, 1), RecordValue(2.0));
    }
}

// A cell region that would run past its bucket (damaged settings) is an
// error; nothing is written and the edit stays buffered.
TEST(PreservingFlush, CellOutsideItsBucketIsAnError) {
    std::string dir = test::make_mixed_table("outside");
    auto t = test::open_table(dir);
    TableDat dat = t->dat();
    auto file = StandardStManFile::open(dir, 0, false);
    ASSERT_TRUE(file);
    auto& settings = std::get<StandardStMan>(dat.column_set.data_managers[0].blob);
    settings.column_offsets[0] = file->header().bucket_size - 4;
    std::vector<DmBlob> blobs;
    for (const auto& dm : dat.column_set.data_managers) {
        std::vector<uint8_t> bytes;
        if (auto* s = std::get_if<StandardStMan>(&dm.blob)) bytes = build_standard_stman_blob(*s);
        else bytes = std::get<std::vector<uint8_t>>(dm.blob);
        blobs.push_back(DmBlob{dm.type_name, dm.sequence, bytes});
    }
    std::vector<uint32_t> seqs;
    for (const auto& c : dat.column_set.columns) seqs.push_back(c.dm_sequence);
    test::write_file(dir + "/table.dat", build_table_dat(dat.row_count, dat.desc, blobs, seqs));
    auto before = test::snapshot(dir);
    auto wt = test::writable(dir);
    ASSERT_TRUE(wt.putcell(0, 0, RecordValue(1.0)));
    auto r = wt.flush();
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message(),
              "storage error: SSM cell of row 0 of column A lies outside its bucket of " +
                  std::to_string(file->header().bucket_size) + " bytes");
    EXPECT_EQ(test::snapshot(dir), before);
    EXPECT_EQ(wt.edited_cell(0, 0), RecordValue(1.0));
}

// Big-endian data files: patches are encoded big-endian; a data manager that
// needs rebuilding makes the whole table be rewritten (the writers write
// little-endian files, which the old table.dat would not describe).
TEST(BigEndianTable, PatchesInItsOrderAndRewritesForRebuilds) {
    std::string dir = test::make_big_endian_table("be");
    auto t = test::open_table(dir);
    ASSERT_TRUE(t->big_endian());
    auto cells = test::all_cells(*t);
    EXPECT_EQ(cells[0][4], RecordValue(int32_t{14}));
    auto before = test::snapshot(dir);

    auto wt = test::writable(dir);
    ASSERT_TRUE(wt.putcell(0, 4, RecordValue(int32_t{0x01020304})));  // bucket 0, second cell
    ASSERT_TRUE(wt.putcell(1, 1, RecordValue(-2.0)));                 // bucket 1: c0 00 .. over 3f d0 ..
    EXPECT_FALSE(flush_rewrote(wt));
    auto after = test::snapshot(dir);
    EXPECT_EQ(changed_files(before, after), std::vector<std::string>{"table.f0"});
    EXPECT_EQ(changed_bytes(before["table.f0"], after["table.f0"]),
              (std::vector<size_t>{512 + 4, 512 + 5, 512 + 6, 512 + 7, 512 + 256 + 20, 512 + 256 + 21}));
    EXPECT_EQ(std::vector<uint8_t>(after["table.f0"].begin() + 516, after["table.f0"].begin() + 520),
              test::hex("01 02 03 04"));
    cells[0][4] = int32_t{0x01020304};
    cells[1][1] = -2.0;
    EXPECT_EQ(test::all_cells(*test::open_table(dir)), cells);

    ASSERT_TRUE(wt.putcell(2, 3, RecordValue(std::string("renamed"))));
    EXPECT_TRUE(flush_rewrote(wt));
    auto t2 = test::open_table(dir);
    EXPECT_FALSE(t2->big_endian());
    cells[2][3] = std::string("renamed");
    EXPECT_EQ(test::all_cells(*t2), cells);
}

// A tiled data manager of two columns in two cubes, each cube in its own
// tile data file: every edited cell goes into the file of its cube, in the
// table's byte order, for the second column as for the first.
TEST(TiledPatch, EveryColumnIntoTheFileOfItsCube) {
    for (bool big_endian : {false, true}) {
        SCOPED_TRACE(big_endian ? "big-endian" : "little-endian");
        std::string dir = test::make_two_cube_table("cubes", 2, big_endian);
        auto t = test::open_table(dir);
        auto cells = test::all_cells(*t);
        ASSERT_EQ(cells[1][3], RecordValue(floats({3}, {3, 3.25, 3.5})));
        auto before = test::snapshot(dir);
        auto wt = test::writable(dir);
        ASSERT_TRUE(wt.putcell(0, 0, RecordValue(ints({2}, {7, 8}))));
        ASSERT_TRUE(wt.putcell(1, 3, RecordValue(floats({3}, {-1, -2, -3}))));
        EXPECT_FALSE(flush_rewrote(wt));
        auto after = test::snapshot(dir);
        EXPECT_EQ(changed_files(before, after), (std::vector<std::string>{"table.f0_TSM1", "table.f0_TSM2"}));
        // File 1: X of row 0 is its first 8 bytes. File 2: Y's part starts
        // after X's 36 bytes; row 3 is the cube's second cell.
        auto d1 = changed_bytes(before["table.f0_TSM1"], after["table.f0_TSM1"]);
        auto d2 = changed_bytes(before["table.f0_TSM2"], after["table.f0_TSM2"]);
        ASSERT_FALSE(d1.empty());
        ASSERT_FALSE(d2.empty());
        EXPECT_LT(d1.back(), 8u);
        EXPECT_GE(d2.front(), 36u + 12);
        EXPECT_LT(d2.back(), 36u + 24);
        uint8_t seven[4];
        store_u32(seven, 7, !big_endian);
        EXPECT_TRUE(std::equal(seven, seven + 4, after["table.f0_TSM1"].begin()));
        cells[0][0] = ints({2}, {7, 8});
        cells[1][3] = floats({3}, {-1, -2, -3});
        EXPECT_EQ(test::all_cells(*test::open_table(dir)), cells);
    }
}

// A cell of another shape cannot go in place, and a tiled data manager of
// two columns cannot be rebuilt: the flush fails, writes nothing, and keeps
// the edits.
TEST(TiledPatch, SecondColumnThatCannotBeWrittenFailsCleanly) {
    std::string dir = test::make_two_cube_table("cubes_fail", 2, false);
    auto before = test::snapshot(dir);
    auto wt = test::writable(dir);
    ASSERT_TRUE(wt.putcell(0, 0, RecordValue(ints({2}, {7, 8}))));
    ASSERT_TRUE(wt.putcell(1, 3, RecordValue(floats({2}, {-1, -2}))));
    auto r = wt.flush();
    ASSERT_FALSE(r);
    EXPECT_NE(r.error().message().find("stores 2 columns and cannot be rewritten (the cell of row 3 has another "
                                       "shape than the one stored)"),
              std::string::npos)
        << r.error().message();
    EXPECT_EQ(test::snapshot(dir), before);
    EXPECT_TRUE(wt.column_dirty(1));
    EXPECT_EQ(wt.edited_cell(1, 3), RecordValue(floats({2}, {-1, -2})));
    EXPECT_EQ(wt.edited_cell(0, 0), RecordValue(ints({2}, {7, 8})));
}

// With one column, a cell of another shape rebuilds the tiled data manager
// (little-endian: table.dat and the other data manager keep their bytes) or
// rewrites the table (big-endian).
TEST(TiledPatch, ShapeChangeRebuildsOneColumnManager) {
    for (bool big_endian : {false, true}) {
        SCOPED_TRACE(big_endian ? "big-endian" : "little-endian");
        std::string dir = test::make_two_cube_table("cubes_rebuild", 1, big_endian);
        auto before = test::snapshot(dir);
        auto wt = test::writable(dir);
        ASSERT_TRUE(wt.putcell(0, 0, RecordValue(ints({3}, {1, 2, 3}))));
        ASSERT_TRUE(wt.putcell(0, 1, RecordValue(ints({3}, {4, 5, 6}))));
        EXPECT_EQ(flush_rewrote(wt), big_endian);
        auto after = test::snapshot(dir);
        EXPECT_EQ(before["table.dat"] == after["table.dat"], !big_endian);
        EXPECT_EQ(before["table.f1"] == after["table.f1"], !big_endian);
        // The old cubes' tile data files are gone with them.
        EXPECT_FALSE(after.contains("table.f0_TSM2"));
        EXPECT_FALSE(test::open_table(dir)->big_endian());
        EXPECT_EQ(test::cell(dir, "X", 1), RecordValue(ints({3}, {4, 5, 6})));
        EXPECT_EQ(test::cell(dir, "X", 4), RecordValue(ints({3}, {40, 41, 42})));
        EXPECT_EQ(test::cell(dir, "Z", 4), RecordValue(int32_t{104}));
    }
}

// A Table opened before a flush keeps working: its mapped files are either
// patched within their bytes or replaced by a rename (the old bytes stay
// with it).
TEST(Flush, TablesOpenedBeforeKeepReading) {
    std::string dir = test::make_mixed_table("old_reader");
    auto old = test::open_table(dir);
    auto cells = test::all_cells(*old);
    auto wt = test::writable(dir);
    ASSERT_TRUE(wt.putcell(0, 40, RecordValue(1e6)));                         // patched in place
    ASSERT_TRUE(wt.putcell(3, 2, RecordValue(std::string("renamed file"))));  // rebuilt
    ASSERT_TRUE(wt.flush());
    auto seen = test::all_cells(*old);
    EXPECT_EQ(seen[0][40], RecordValue(1e6));  // the patch shows through the mapping
    EXPECT_EQ(seen[3], cells[3]);               // the replaced file is still the old one
    wt.add_rows(50);
    ASSERT_TRUE(wt.putcol_dense(4, 0, 150, std::vector<int32_t>(150, 3), {}));
    ASSERT_TRUE(wt.flush());  // full rewrite: every file replaced, some shorter
    seen = test::all_cells(*old);
    EXPECT_EQ(seen[3], cells[3]);
    EXPECT_EQ(seen[4], cells[4]);
    EXPECT_EQ(test::open_table(dir)->nrow(), 150u);
}

TEST(Flush, DenseRunsAreWrittenLikeCells) {
    std::string dir = test::make_mixed_table("dense");
    auto wt = test::writable(dir);
    std::vector<double> a(100);
    for (size_t i = 0; i < a.size(); ++i) a[i] = -static_cast<double>(i);
    ASSERT_TRUE(wt.putcol_dense(0, 0, 100, a, {}));
    ASSERT_TRUE(wt.putcell(0, 50, RecordValue(0.125)));
    std::vector<float> e(30 * 3, 9.0f);
    ASSERT_TRUE(wt.putcol_dense(5, 10, 30, e, {3}));
    EXPECT_FALSE(flush_rewrote(wt));
    a[50] = 0.125;
    for (size_t r = 0; r < 100; ++r) EXPECT_EQ(test::cell(dir, "A", r), RecordValue(a[r])) << r;
    EXPECT_EQ(test::cell(dir, "E", 39), RecordValue(floats({3}, {9, 9, 9})));
    EXPECT_EQ(test::cell(dir, "E", 40), RecordValue(floats({3}, {40, 80, 120})));
}

}  // namespace
}  // namespace orvala

// A copy of a real Measurement Set (written by another system) edited in a
// few cells of its main table and of a subtable, flushed by the preserving
// flush and by the full rewrite: it reads back with exactly the edits and
// everything else unchanged.
#include <gtest/gtest.h>

#include <filesystem>

#include "flush_fixtures.h"

namespace orvala {
namespace {

std::string copy_ms(const std::string& name) {
    std::string dir = test::scratch_dir(name);
    std::filesystem::remove_all(dir);
    std::filesystem::copy(std::string(ORVALA_TEST_DATA) + "/lwa-downselected.ms", dir,
                          std::filesystem::copy_options::recursive);
    return dir;
}

struct Edit {
    const char* column;
    uint64_t row;
    RecordValue value;
};

// Applies the edits, flushes, and checks every cell of the table.
void edit_and_check(const std::string& dir, std::vector<Edit> edits, bool keyword, bool expect_same_dat) {
    auto t0 = test::open_table(dir);
    auto cells = test::all_cells(*t0);
    auto dat_before = test::read_file(dir + "/table.dat");
    auto wt = test::writable(dir);
    for (auto& e : edits) {
        auto c = t0->column_index(e.column);
        ASSERT_TRUE(c) << e.column;
        ASSERT_TRUE(wt.putcell(*c, e.row, e.value));
        cells[*c][e.row] = e.value;
    }
    if (keyword) wt.putkeyword("EDITED", RecordValue(int32_t{1}));
    auto r = wt.flush();
    ASSERT_TRUE(r) << r.error().message();
    EXPECT_EQ(test::read_file(dir + "/table.dat") == dat_before, expect_same_dat);
    auto t1 = test::open_table(dir);
    ASSERT_TRUE(t1);
    EXPECT_EQ(t1->nrow(), t0->nrow());
    EXPECT_EQ(t1->colnames(), t0->colnames());
    auto after = test::all_cells(*t1);
    ASSERT_EQ(after.size(), cells.size());
    for (size_t c = 0; c < cells.size(); ++c) EXPECT_EQ(after[c], cells[c]) << t1->desc().columns[c].name;
    // Keywords (subtable references among them) and column keywords stay.
    TableRecord keywords = t0->desc().keywords;
    if (keyword) keywords.set("EDITED", int32_t{1});
    EXPECT_EQ(t1->desc().keywords, keywords);
    for (size_t c = 0; c < cells.size(); ++c)
        EXPECT_EQ(t1->desc().columns[c].keywords, t0->desc().columns[c].keywords);
}

// A cell of a tiled column with every element changed, its shape kept.
RecordValue bumped(const std::string& dir, const char* column, uint64_t row) {
    auto v = std::get<ArrayValue>(test::cell(dir, column, row));
    std::visit(
        [](auto& data) {
            for (auto&& x : data) {
                using E = std::decay_t<decltype(x)>;
                if constexpr (std::is_same_v<E, std::complex<float>>) x += std::complex<float>(1, -1);
                else if constexpr (std::is_arithmetic_v<E>) x = static_cast<E>(x + 1);
            }
        },
        static_cast<ArrayDataVariant&>(v.data));
    return v;
}

TEST(MeasurementSet, MainTablePreservingFlush) {
    std::string dir = copy_ms("ms_main");
    edit_and_check(dir,
                   {{"ANTENNA1", 10, int32_t{99}},
                    {"FLAG_ROW", 3, true},
                    {"FLAG_ROW", 4, true},
                    {"DATA", 7, bumped(dir, "DATA", 7)},
                    {"UVW", 8, ArrayValue{{3}, std::vector<double>{1, 2, 3}}},
                    {"TIME", 20, 5e9}},
                   false, true);
}

TEST(MeasurementSet, MainTableFullRewrite) {
    std::string dir = copy_ms("ms_main_full");
    edit_and_check(dir,
                   {{"ANTENNA2", 11, int32_t{77}},
                    {"DATA", 0, bumped(dir, "DATA", 0)},
                    {"EXPOSURE", 5, 1.5}},
                   true, false);
}

TEST(MeasurementSet, SubtableEdits) {
    std::string dir = copy_ms("ms_sub") + "/SPECTRAL_WINDOW";
    // Fixed-width scalars: patched in place.
    edit_and_check(dir, {{"REF_FREQUENCY", 0, 7.5e7}, {"NUM_CHAN", 0, int32_t{3}}, {"FLAG_ROW", 0, true}}, false,
                   true);
    // A string: its StandardStMan would be laid out differently by this
    // system's writer than the stored one, so the table is rewritten whole.
    edit_and_check(dir, {{"NAME", 0, std::string("a renamed window")}}, false, false);
    // Now laid out by this system: the string's data manager is rebuilt alone.
    edit_and_check(dir, {{"NAME", 0, std::string("renamed again")}}, false, true);
    // Full rewrite by a keyword.
    edit_and_check(dir, {{"CHAN_FREQ", 0, bumped(dir, "CHAN_FREQ", 0)}}, true, false);
}

// This subtable's table.dat records 0 rows while its lock file records 256:
// the first flush rewrites it whole, with the 256 rows.
TEST(MeasurementSet, SubtableWhoseTableDatLagsItsLockFile) {
    std::string dir = copy_ms("ms_antenna") + "/ANTENNA";
    edit_and_check(dir, {{"DISH_DIAMETER", 5, 12.5}, {"NAME", 255, std::string("LAST")}}, false, false);
    auto dat = parse_table_dat(test::read_file(dir + "/table.dat"));
    ASSERT_TRUE(dat);
    EXPECT_EQ(dat->row_count, 256u);
    edit_and_check(dir, {{"DISH_DIAMETER", 6, 13.5}}, false, true);
}

}  // namespace
}  // namespace orvala

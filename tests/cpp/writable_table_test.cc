#include "writable_table.h"

#include <gtest/gtest.h>

#include "default_cell.h"
#include "relativize.h"

namespace orvala {
namespace {

ColumnDesc scalar_col(std::string name, DataType type) {
    ColumnDesc c;
    c.name = std::move(name);
    c.data_type = type;
    c.data_manager_type = "StandardStMan";
    c.data_manager_group = "StandardStMan";
    c.kind = ColumnKind::Scalar;
    c.default_value = zero_value(type);
    return c;
}

ColumnDesc array_col(std::string name, DataType element, std::optional<std::vector<int64_t>> shape) {
    ColumnDesc c = scalar_col(std::move(name), element);
    c.kind = ColumnKind::Array;
    c.shape = std::move(shape);
    c.ndim = c.shape ? static_cast<int32_t>(c.shape->size()) : -1;
    return c;
}

WritableTable three_columns(uint64_t nrow) {
    TableDesc d;
    d.columns = {scalar_col("A", DataType::Int), scalar_col("B", DataType::Double),
                 array_col("C", DataType::Float, std::vector<int64_t>{2})};
    auto wt = WritableTable::create("/data/t.ms", d);
    wt.add_rows(nrow);
    return wt;
}

std::vector<double> doubles(std::initializer_list<double> v) { return v; }

TEST(WritableTable, CreateIsEmpty) {
    auto wt = WritableTable::create("/data/./x/../t.ms", TableDesc{});
    EXPECT_EQ(wt.dir(), "/data/t.ms");
    EXPECT_EQ(wt.nrow(), 0u);
    EXPECT_FALSE(wt.keywords_changed());
    EXPECT_FALSE(wt.any_dirty());
}

TEST(WritableTable, PutcellChecksRowThenAcceptsAfterAddRows) {
    auto wt = three_columns(2);
    auto bad = wt.putcell(1, 2, RecordValue(1.5));
    ASSERT_FALSE(bad);
    EXPECT_EQ(bad.error().message(), "row 2 is out of range (table has 2 rows)");
    EXPECT_FALSE(wt.any_dirty());
    EXPECT_FALSE(wt.edits(1).has_edited());
    wt.add_rows(1);
    ASSERT_TRUE(wt.putcell(1, 2, RecordValue(1.5)));
    EXPECT_TRUE(wt.column_dirty(1));
    EXPECT_FALSE(wt.column_dirty(0));
    // A second put to the same cell wins.
    ASSERT_TRUE(wt.putcell(1, 2, RecordValue(2.5)));
    EXPECT_EQ(wt.edited_cell(1, 2), RecordValue(2.5));

    auto nocol = wt.putcell(3, 0, RecordValue(1.0));
    ASSERT_FALSE(nocol);
    EXPECT_EQ(nocol.error().message(), "column  does not exist");
}

TEST(WritableTable, PutcolStopsAtFirstFailureKeepingEarlierCells) {
    auto wt = three_columns(3);
    auto r = wt.putcol(0, 1, {RecordValue(int32_t{7}), RecordValue(int32_t{8}), RecordValue(int32_t{9})});
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message(), "row 3 is out of range (table has 3 rows)");
    EXPECT_EQ(wt.edited_cell(0, 1), RecordValue(int32_t{7}));
    EXPECT_EQ(wt.edited_cell(0, 2), RecordValue(int32_t{8}));
}

TEST(WritableTable, RemovecolShiftsCellsWithTheirColumns) {
    auto wt = three_columns(4);
    ASSERT_TRUE(wt.putcell(0, 0, RecordValue(int32_t{1})));
    ASSERT_TRUE(wt.putcell(1, 1, RecordValue(2.0)));
    ASSERT_TRUE(wt.putcell(2, 2, RecordValue(ArrayValue{{2}, std::vector<float>{1, 2}})));
    wt.removecol(0);
    wt.removecol(7);  // ignored
    ASSERT_EQ(wt.desc().columns.size(), 2u);
    EXPECT_EQ(wt.desc().columns[0].name, "B");
    EXPECT_EQ(wt.edited_cell(0, 1), RecordValue(2.0));
    EXPECT_TRUE(wt.column_dirty(0));
    EXPECT_EQ(wt.edited_cell(1, 2), RecordValue(ArrayValue{{2}, std::vector<float>{1, 2}}));
}

TEST(WritableTable, RenamecolKeepsCellsAndRefusesUnknownName) {
    auto wt = three_columns(1);
    ASSERT_TRUE(wt.putcell(1, 0, RecordValue(3.0)));
    ASSERT_TRUE(wt.renamecol("B", "BB"));
    EXPECT_EQ(wt.desc().columns[1].name, "BB");
    EXPECT_EQ(wt.edited_cell(1, 0), RecordValue(3.0));
    auto bad = wt.renamecol("NOPE", "X");
    ASSERT_FALSE(bad);
    EXPECT_EQ(bad.error().message(), "column NOPE does not exist");
}

TEST(WritableTable, DropRowsRenumbersSparseAndDenseCells) {
    auto wt = three_columns(10);
    for (uint64_t r : {1, 3, 4, 6, 9}) ASSERT_TRUE(wt.putcell(0, r, RecordValue(static_cast<int32_t>(r))));
    // Rows 0..9 of B as one dense run holding 0, 10, ..., 90.
    ASSERT_TRUE(wt.putcol_dense(1, 0, 10, doubles({0, 10, 20, 30, 40, 50, 60, 70, 80, 90}), {}));
    wt.drop_rows({5, 2, 2, 99});
    EXPECT_EQ(wt.nrow(), 8u);
    // Sparse: 1 stays, 3 -> 2, 4 -> 3, 6 -> 4, 9 -> 7.
    std::vector<std::pair<uint64_t, RecordValue>> a;
    wt.edits(0).for_each_edited([&](const EditedCell& e) { a.emplace_back(e.row, e.get()); });
    std::vector<std::pair<uint64_t, RecordValue>> want_a = {
        {1, int32_t{1}}, {2, int32_t{3}}, {3, int32_t{4}}, {4, int32_t{6}}, {7, int32_t{9}}};
    EXPECT_EQ(a, want_a);
    std::vector<RecordValue> b(8);
    wt.overlay(1, 0, b);
    std::vector<RecordValue> want_b = {0.0, 10.0, 30.0, 40.0, 60.0, 70.0, 80.0, 90.0};
    EXPECT_EQ(b, want_b);
}

TEST(WritableTable, DenseRunsAndSparseCellsLaterWriteWins) {
    auto wt = three_columns(10);
    ASSERT_TRUE(wt.putcell(1, 2, RecordValue(-1.0)));                      // erased by the run below
    ASSERT_TRUE(wt.putcol_dense(1, 0, 6, doubles({0, 1, 2, 3, 4, 5}), {}));  // rows 0..5
    ASSERT_TRUE(wt.putcell(1, 3, RecordValue(-3.0)));                      // overrides the run's row 3
    ASSERT_TRUE(wt.putcol_dense(1, 4, 4, doubles({40, 50, 60, 70}), {}));    // cuts the first run
    ASSERT_TRUE(wt.putcol_dense(1, 1, 1, doubles({11}), {}));               // written into the first run
    ASSERT_TRUE(wt.put_cached(1, 9, RecordValue(99.0)));                    // cached: not an edit
    std::vector<RecordValue> got(10, RecordValue(std::string("stored")));
    wt.overlay(1, 0, got);
    std::vector<RecordValue> want = {0.0, 11.0, 2.0, -3.0, 40.0, 50.0, 60.0, 70.0, std::string("stored"),
                                     std::string("stored")};
    EXPECT_EQ(got, want);
    EXPECT_EQ(wt.edits(1).runs().size(), 2u);
    EXPECT_EQ(wt.cached_cell(1, 9), RecordValue(99.0));
    EXPECT_EQ(wt.edited_cell(1, 9), std::nullopt);
    EXPECT_EQ(wt.cached_cell(1, 3), std::nullopt);

    // Raw overlay: doubles fit; the bytes of rows 2..5.
    std::vector<double> raw(4, -7.0);
    ASSERT_TRUE(wt.overlay_raw(1, 2, 4, reinterpret_cast<uint8_t*>(raw.data()), 8));
    EXPECT_EQ(raw, doubles({2, -3, 40, 50}));
    // A sparse Int in a Double column cannot be laid as bytes: nothing written.
    ASSERT_TRUE(wt.putcell(1, 8, RecordValue(int32_t{5})));
    std::vector<double> raw2(3, -7.0);
    EXPECT_FALSE(wt.overlay_raw(1, 7, 3, reinterpret_cast<uint8_t*>(raw2.data()), 8));
    EXPECT_EQ(raw2, doubles({-7, -7, -7}));
}

TEST(WritableTable, DenseArrayRunCells) {
    auto wt = three_columns(3);
    ASSERT_TRUE(wt.putcol_dense(2, 0, 3, std::vector<float>{1, 2, 3, 4, 5, 6}, {2}));
    EXPECT_EQ(wt.edited_cell(2, 1), RecordValue(ArrayValue{{2}, std::vector<float>{3, 4}}));
    std::vector<float> raw(6, 0);
    ASSERT_TRUE(wt.overlay_raw(2, 0, 3, reinterpret_cast<uint8_t*>(raw.data()), 8));
    EXPECT_EQ(raw, (std::vector<float>{1, 2, 3, 4, 5, 6}));
    // Beyond nrow: the cells that fit are buffered, then the error.
    auto r = wt.putcol_dense(2, 2, 2, std::vector<float>{7, 8, 9, 10}, {2});
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message(), "row 3 is out of range (table has 3 rows)");
    EXPECT_EQ(wt.edited_cell(2, 2), RecordValue(ArrayValue{{2}, std::vector<float>{7, 8}}));
}

TEST(WritableTable, DenseRunMemoryIsTheDataSize) {
    auto wt = three_columns(1'000'000);
    const uint64_t n = 1'000'000;
    ASSERT_TRUE(wt.putcol_dense(1, 0, n, std::vector<double>(n, 1.5), {}));
    const auto& runs = wt.edits(1).runs();
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(std::get<std::vector<double>>(runs[0].elements).capacity(), 1'000'000u);
    EXPECT_TRUE(wt.edits(1).sparse().empty());
}

TEST(WritableTable, KeywordsAreRelativisedAndMarkChange) {
    auto wt = three_columns(0);
    wt.putkeyword("ANTENNA", RecordValue(TableRef{"/data/t.ms/ANTENNA"}));
    EXPECT_TRUE(wt.keywords_changed());
    EXPECT_EQ(*wt.desc().keywords.get("ANTENNA"), RecordValue(TableRef{"././ANTENNA"}));
    ASSERT_TRUE(wt.putcolkeyword(1, "UNIT", RecordValue(std::string("s"))));
    ASSERT_TRUE(wt.removecolkeyword(1, "UNIT"));
    EXPECT_EQ(wt.desc().columns[1].keywords.size(), 0u);
    auto bad = wt.removecolkeyword(3, "UNIT");
    ASSERT_FALSE(bad);
    EXPECT_EQ(bad.error().message(), "column  does not exist");
}

TEST(WritableTable, AddcolReadsDefaultsEverywhere) {
    auto wt = three_columns(2);
    wt.addcol(scalar_col("D", DataType::Short));
    EXPECT_EQ(wt.desc().columns.size(), 4u);
    EXPECT_FALSE(wt.column_dirty(3));
    EXPECT_TRUE(wt.edits(3).empty());
    EXPECT_EQ(default_cell_value(wt.desc().columns[3]), RecordValue(int16_t{0}));
    ASSERT_TRUE(wt.putcell(3, 1, RecordValue(int16_t{4})));
}

TEST(DefaultCellValue, ByColumnKind) {
    ColumnDesc scalar = scalar_col("S", DataType::Int);
    scalar.default_value = int32_t{7};
    EXPECT_EQ(default_cell_value(scalar), RecordValue(int32_t{7}));
    // Stored shape (3, 2), first axis fastest: C-order shape [2, 3].
    EXPECT_EQ(default_cell_value(array_col("D", DataType::Double, std::vector<int64_t>{3, 2})),
              RecordValue(ArrayValue{{2, 3}, std::vector<double>(6, 0.0)}));
    EXPECT_EQ(default_cell_value(array_col("I", DataType::Int, std::nullopt)),
              RecordValue(ArrayValue{{}, std::vector<int32_t>{0}}));
    EXPECT_EQ(default_cell_value(array_col("N", DataType::Bool, std::vector<int64_t>{-4, 2})),
              RecordValue(ArrayValue{{2, 0}, std::vector<bool>{}}));
    ColumnDesc record = scalar_col("R", DataType::Record);
    record.kind = ColumnKind::Record;
    EXPECT_EQ(default_cell_value(record), RecordValue(TableRecord{}));
    // No usable default: a Table scalar, a cell too large to allocate.
    EXPECT_EQ(default_cell_value(scalar_col("T", DataType::Table)), std::nullopt);
    EXPECT_EQ(default_cell_value(array_col("H", DataType::Double, std::vector<int64_t>{1 << 20, 1 << 20})),
              std::nullopt);
    EXPECT_EQ(zero_elements(DataType::Record, 3), ArrayData(std::vector<double>{}));
    EXPECT_EQ(zero_elements(DataType::Char, 2), ArrayData(std::vector<uint8_t>{0, 0}));
}

TEST(Relativize, SubtableAndSiblingReferences) {
    std::string dir = "/data/x.ms";
    auto rel = [&](std::string ref) {
        return std::get<TableRef>(relativize_subtables(RecordValue(TableRef{std::move(ref)}), &dir)).reference;
    };
    EXPECT_EQ(rel("/data/x.ms/ANTENNA"), "././ANTENNA");
    EXPECT_EQ(rel("/data/y.ms"), "./y.ms");
    EXPECT_EQ(rel("/other/z"), "/other/z");
    EXPECT_EQ(rel("ANTENNA"), "ANTENNA");
    EXPECT_EQ(rel("/data/x.msX"), "./x.msX");  // a sibling, not inside
    EXPECT_EQ(std::get<TableRef>(relativize_subtables(RecordValue(TableRef{"/data/y"}), nullptr)).reference, "/data/y");

    TableRecord inner;
    inner.set("t", TableRef{"/data/x.ms/FEED"});
    TableRecord outer;
    outer.set("r", RecordValue(inner));
    outer.set("n", int32_t{3});
    auto out = std::get<TableRecord>(relativize_subtables(RecordValue(outer), &dir));
    EXPECT_EQ(*std::get<TableRecord>(*out.get("r")).get("t"), RecordValue(TableRef{"././FEED"}));
    EXPECT_EQ(*out.get("n"), RecordValue(int32_t{3}));
}

}  // namespace
}  // namespace orvala

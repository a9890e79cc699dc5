#include "create_table.h"

#include <gtest/gtest.h>

#include "dm_plan.h"
#include "flush_fixtures.h"
#include "test_bytes.h"

namespace orvala {
namespace {

using test::column;

TEST(DataManagerPlan, GroupsByKeyAndType) {
    TableDesc d;
    d.columns = {column("A", DataType::Int, "StandardStMan", "G"),
                 column("B", DataType::Int, "IncrementalStMan", "G"),
                 column("C", DataType::Int, "IncrementalStMan", "G"),
                 column("D", DataType::Int, "StandardStMan", ""),
                 column("E", DataType::Int, "StandardStMan", "StandardStMan"),
                 column("F", DataType::Int, "StandardStMan", "G")};
    auto plan = plan_data_managers(d);
    ASSERT_EQ(plan.data_managers.size(), 3u);
    EXPECT_EQ(plan.data_managers[0].name, "G");
    EXPECT_EQ(plan.data_managers[0].type_name, "StandardStMan");
    EXPECT_EQ(plan.data_managers[0].columns, (std::vector<size_t>{0, 5}));
    EXPECT_EQ(plan.data_managers[1].name, "G_1");
    EXPECT_EQ(plan.data_managers[1].columns, (std::vector<size_t>{1, 2}));
    EXPECT_EQ(plan.data_managers[2].name, "StandardStMan");
    EXPECT_EQ(plan.data_managers[2].columns, (std::vector<size_t>{3, 4}));
    EXPECT_EQ(plan.column_sequence, (std::vector<uint32_t>{0, 1, 1, 2, 2, 0}));
}

TEST(CreateTable, WritesFilesInOrderAndReadsBack) {
    std::string dir = test::scratch_dir("create");
    TableDesc d = test::mixed_desc();
    std::vector<std::vector<RecordValue>> lists(6);
    for (size_t c = 0; c < 6; ++c)
        for (uint64_t r = 0; r < 3; ++r) lists[c].push_back(test::mixed_value(c, r));
    auto files = create_table(dir, d, lists);
    ASSERT_TRUE(files) << files.error().message();
    EXPECT_EQ(*files, (std::vector<std::string>{"table.dat", "table.f0", "table.f1", "table.f2", "table.f3",
                                                "table.f3_TSM0"}));
    auto t = test::open_table(dir);
    ASSERT_EQ(t->nrow(), 3u);
    EXPECT_EQ(test::all_cells(*t), lists);
    // The plan's names and sequence numbers are in table.dat.
    ASSERT_EQ(t->column_set().data_managers.size(), 4u);
    EXPECT_EQ(std::get<StandardStMan>(t->column_set().data_managers[1].blob).name, "T");
    EXPECT_EQ(t->column_set().columns[4].dm_sequence, 2u);
    EXPECT_EQ(test::snapshot(dir).size(), 6u);  // nothing else left behind
}

TEST(CreateTable, RefusesBadListsBeforeWriting) {
    std::string dir = test::scratch_dir("badlists");
    TableDesc d;
    d.columns = {column("A", DataType::Int, "StandardStMan", ""), column("B", DataType::Int, "StandardStMan", "")};
    auto one = create_table(dir, d, std::vector<std::vector<RecordValue>>(1));
    ASSERT_FALSE(one);
    EXPECT_EQ(one.error().message(), "no rows supplied for column 2 columns, 1 value lists");
    std::vector<std::vector<RecordValue>> lists = {std::vector<RecordValue>(3, int32_t{1}),
                                                   std::vector<RecordValue>(2, int32_t{1})};
    auto uneven = create_table(dir, d, lists);
    ASSERT_FALSE(uneven);
    EXPECT_EQ(uneven.error().message(), "value count 2 does not match row count 3 for column B");
    d.columns[1].data_manager_type = "MyStMan";
    lists[1].push_back(int32_t{1});
    auto unknown = create_table(dir, d, lists);
    ASSERT_FALSE(unknown);
    EXPECT_EQ(unknown.error().message(), "unsupported data-manager type MyStMan");
    EXPECT_TRUE(test::snapshot(dir).empty());
}

TEST(CreateTable, NoColumnsMeansNoRows) {
    std::string dir = test::scratch_dir("nocols");
    auto wt = WritableTable::create(dir, TableDesc{});
    wt.add_rows(5);
    ASSERT_TRUE(wt.flush());
    EXPECT_EQ(test::open_table(dir)->nrow(), 0u);
}

// Rewrites remove what no longer belongs to the table and nothing else.
TEST(CreateTable, RewriteRemovesStaleTableFilesOnly) {
    std::string dir = test::make_mixed_table("stale");
    test::write_file(dir + "/table.f7", test::bytes_of("stale"));
    test::write_file(dir + "/table.f3_TSM9", test::bytes_of("stale"));
    test::write_file(dir + "/table.lock", test::bytes_of("lock"));
    test::write_file(dir + "/notes", test::bytes_of("notes"));
    std::filesystem::create_directories(dir + "/SUB");
    test::write_file(dir + "/SUB/table.f0", test::bytes_of("sub"));
    auto wt = test::writable(dir);
    wt.removecol(3);  // data managers renumber: T is gone
    ASSERT_TRUE(wt.flush());
    auto files = test::snapshot(dir);
    for (const char* gone : {"table.f7", "table.f3_TSM9", "table.f3_TSM0", "table.f3"})
        EXPECT_FALSE(files.contains(gone)) << gone;
    for (const char* kept : {"table.lock", "notes", "table.f2_TSM0"}) EXPECT_TRUE(files.contains(kept)) << kept;
    EXPECT_TRUE(std::filesystem::exists(dir + "/SUB/table.f0"));
    auto t = test::open_table(dir);
    EXPECT_EQ(t->colnames(), (std::vector<std::string>{"A", "B", "C", "D", "E"}));
    EXPECT_EQ(test::cell(dir, "E", 9), RecordValue(test::floats({3}, {9, 18, 27})));
}

// A lock file's "sync" row count would override table.dat's on reopening;
// a rewrite that changes the row count updates it in place.
TEST(CreateTable, LockSyncRecordFollowsTheRowCount) {
    struct Case {
        const char* what;
        std::string lock_hex;
        uint64_t expect_rows;
        bool changed;
    } cases[] = {
        {"version 2", "00 00 00 04 73 79 6e 63 00 00 00 02 00 00 00 00 00 00 00 64 ee", 101, true},
        {"version 1", "00 00 00 04 73 79 6e 63 00 00 00 01 00 00 00 64", 101, true},
        {"zero count", "00 00 00 04 73 79 6e 63 00 00 00 02 00 00 00 00 00 00 00 00", 101, false},
        {"no record", "01 02 03", 101, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::string dir = test::make_mixed_table("lock");
        auto lock = test::hex(c.lock_hex);
        test::write_file(dir + "/table.lock", lock);
        auto wt = test::writable(dir);
        ASSERT_EQ(wt.nrow(), test::kMixedRows);
        wt.add_rows(1);
        ASSERT_TRUE(wt.flush());
        EXPECT_EQ(test::open_table(dir)->nrow(), c.expect_rows);
        auto after = test::read_file(dir + "/table.lock");
        ASSERT_EQ(after.size(), lock.size());  // never resized
        EXPECT_EQ(after != lock, c.changed);
    }
}

}  // namespace
}  // namespace orvala

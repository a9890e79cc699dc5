// Opening tables: paths, the lock-file row count, failures, and which reader
// serves which column.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "internal_error.h"
#include "table.h"
#include "table_fixture.h"
#include "test_bytes.h"

namespace orvala {
namespace {

using test::hex;
using test::TempDir;

std::string cwd() {
    char buf[4096];
    return getcwd(buf, sizeof buf) ? buf : "";
}

TEST(AbsoluteDir, NormalisesAbsoluteAndRelativePaths) {
    EXPECT_EQ(absolute_dir("/data/./x/../t.ms"), "/data/t.ms");
    EXPECT_EQ(absolute_dir("/data/t.ms/"), "/data/t.ms");
    EXPECT_EQ(absolute_dir("t.ms"), cwd() + "/t.ms");
    EXPECT_EQ(absolute_dir("a/../b/./c"), cwd() + "/b/c");
    EXPECT_EQ(absolute_dir(""), lexical_normalize(cwd()));
}

TEST(LockFile, SyncRecordRowCounts) {
    const std::string v2_12 = "00000004 73796e63 00000002 000000000000000c";
    const std::string v1_256 = "00000004 73796e63 00000001 00000100";
    struct Case {
        const char* what;
        std::string bytes;
        std::optional<uint64_t> rows;
    };
    const Case cases[] = {
        {"version 2", "bebebebe 00000091" + v2_12 + "0000", 12},
        {"version 1", "0000" + v1_256, 256},
        {"the last record wins", v2_12 + v1_256, 256},
        {"a zero count is a count", "00000004 73796e63 00000001 00000000", 0},
        {"unknown version skipped", v1_256 + "00000004 73796e63 00000003 00000009", 256},
        {"no length before the name", "00000005 73796e63 00000001 00000007", std::nullopt},
        {"name at the very start", "73796e63 00000001 00000007", std::nullopt},
        {"shorter than 4 bytes", "000000", std::nullopt},
        {"empty", "", std::nullopt},
        // Records cut short by the end of the file are never read past it.
        {"cut in the version", v1_256 + "00000004 73796e63 0000", 256},
        {"cut in a v2 count", v1_256 + "00000004 73796e63 00000002 00000000 0000", 256},
        {"cut in a v1 count", "00000004 73796e63 00000001 000001", std::nullopt},
        {"cut after the name", "00000004 73796e63", std::nullopt},
    };
    for (const Case& c : cases) {
        auto bytes = hex(c.bytes);
        EXPECT_EQ(lock_sync_nrrow_bytes(bytes), c.rows) << c.what;
    }
}

// A one-column table of 10 rows (table.dat) with the given lock file.
class LockedTable : public ::testing::Test {
protected:
    void SetUp() override {
        std::vector<RecordValue> v;
        for (int i = 0; i < 12; ++i) v.emplace_back(int32_t{i});
        test::write_table(dir.path(), {{"StandardStMan", 0}}, {{test::scalar_column("A", DataType::Int), 0, v}}, 12,
                          10);
    }
    uint64_t rows_with_lock(std::optional<std::string> lock) {
        std::remove((dir / "table.lock").c_str());
        if (lock) test::write_file(dir / "table.lock", hex(*lock));
        auto t = Table::open(dir.path());
        EXPECT_TRUE(t) << t.error().message();
        return t ? (*t)->nrow() : 0;
    }
    TempDir dir;
};

TEST_F(LockedTable, RowCountFromTheLockFile) {
    EXPECT_EQ(rows_with_lock(std::nullopt), 10u);
    EXPECT_EQ(rows_with_lock("00000004 73796e63 00000002 000000000000000c"), 12u);
    EXPECT_EQ(rows_with_lock("00000004 73796e63 00000002 0000000000000000"), 10u);  // 0 keeps table.dat's
    EXPECT_EQ(rows_with_lock("0000"), 10u);
    EXPECT_EQ(lock_sync_nrrow(dir.path()), std::nullopt);
    EXPECT_EQ(lock_sync_nrrow(dir / "nowhere"), std::nullopt);
}

TEST(TableOpen, AccessorsAndRelativePaths) {
    TempDir dir;
    const std::string sub = dir / "t.ms";
    ASSERT_EQ(mkdir(sub.c_str(), 0755), 0);
    test::write_table(sub, {{"StandardStMan", 0}, {"IncrementalStMan", 1}},
                      {{test::scalar_column("A", DataType::Int), 0, {int32_t{1}, int32_t{2}}},
                       {test::scalar_column("B", DataType::Double, "IncrementalStMan"), 1, {1.5, 1.5}},
                       {test::scalar_column("C", DataType::String), 0, {std::string("x"), std::string("y")}}},
                      2);
    const std::string old = cwd();
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    auto t = Table::open("./x/../t.ms");
    ASSERT_EQ(chdir(old.c_str()), 0);
    ASSERT_TRUE(t) << t.error().message();
    const Table& table = **t;
    EXPECT_EQ(table.dir(), sub);
    EXPECT_EQ(table.name(), sub);
    EXPECT_EQ(table.nrow(), 2u);
    EXPECT_EQ(table.colnames(), (std::vector<std::string>{"A", "B", "C"}));
    EXPECT_EQ(table.column_index("C"), 2u);
    EXPECT_EQ(table.column_index("D"), std::nullopt);
    EXPECT_FALSE(table.big_endian());
    EXPECT_EQ(table.desc().columns.size(), 3u);
    EXPECT_EQ(table.column_set().data_managers.size(), 2u);

    // Columns are numbered within their data manager in table order.
    auto a = table.column_source(0), b = table.column_source(1), c = table.column_source(2);
    ASSERT_TRUE(a && b && c);
    EXPECT_EQ(std::get<ColumnSource::Standard>(a->v).index, 0u);
    EXPECT_EQ(std::get<ColumnSource::Incremental>(b->v).index, 0u);
    EXPECT_EQ(std::get<ColumnSource::Standard>(c->v).index, 1u);
    EXPECT_EQ(std::get<ColumnSource::Standard>(a->v).file, std::get<ColumnSource::Standard>(c->v).file);
    EXPECT_THROW((void)table.column_source(3), InternalError);
}

TEST(TableOpen, NameOfANonUtf8Directory) {
    TempDir dir;
    const std::string sub = dir / "bad\xff";
    ASSERT_EQ(mkdir(sub.c_str(), 0755), 0);
    test::write_table(sub, {{"StandardStMan", 0}}, {{test::scalar_column("A", DataType::Int), 0, {int32_t{1}}}}, 1);
    auto t = Table::open(sub);
    ASSERT_TRUE(t) << t.error().message();
    EXPECT_EQ((*t)->dir(), sub);
    EXPECT_EQ((*t)->name(), "");
}

TEST(TableOpen, Failures) {
    TempDir dir;
    // Not a table at all.
    auto none = Table::open(dir.path());
    ASSERT_FALSE(none);
    EXPECT_EQ(none.error().message(), "No such file or directory (os error 2)");

    // A data manager of an unknown type cannot be opened, even unused.
    TableDesc desc;
    desc.columns.push_back(test::scalar_column("A", DataType::Int, "MyStMan"));
    std::vector<DmBlob> blobs{{"MyStMan", 0, {}}};
    std::vector<uint32_t> seqs{0};
    test::write_file(dir / "table.dat", build_table_dat(1, desc, blobs, seqs));
    auto unknown = Table::open(dir.path());
    ASSERT_FALSE(unknown);
    EXPECT_EQ(unknown.error().message(), "storage error: unsupported data-manager type MyStMan");

    // A corrupt table.dat gives its decoding error.
    test::write_file(dir / "table.dat", hex("bebebebe 00000008"));
    auto corrupt = Table::open(dir.path());
    ASSERT_FALSE(corrupt);
    EXPECT_FALSE(std::holds_alternative<TableDatError::Io>(corrupt.error().v));
}

TEST(TableOpen, EveryDataFileIsNeeded) {
    TempDir dir;
    test::write_table(dir.path(), {{"StandardStMan", 0}, {"StandardStMan", 1}, {"TiledColumnStMan", 2}},
                      {{test::scalar_column("A", DataType::Int), 0, {int32_t{1}}},
                       {test::scalar_column("B", DataType::Int), 1, {int32_t{2}}},
                       {test::array_column("C", DataType::Float, {2}, "TiledColumnStMan"), 2,
                        {ArrayValue{{2}, std::vector<float>{1, 2}}}}},
                      1);
    ASSERT_TRUE(Table::open(dir.path()));
    auto fails_without = [&](const std::string& file) {
        const std::string path = dir / file, kept = path + ".kept";
        EXPECT_EQ(std::rename(path.c_str(), kept.c_str()), 0);
        auto t = Table::open(dir.path());
        EXPECT_EQ(std::rename(kept.c_str(), path.c_str()), 0);
        return t ? std::string("opened") : t.error().message();
    };
    EXPECT_EQ(fails_without("table.f1"),
              "storage error: " + (dir / "table.f1") + ": No such file or directory (os error 2)");
    EXPECT_EQ(fails_without("table.f2_TSM0"),
              "storage error: tile data file " + (dir / "table.f2_TSM0") + " does not exist");
}

TEST(ColumnSource, ManagerTypeFromTheDescriptionWhenTheColumnSetHasNone) {
    TempDir dir;
    TableDesc desc;
    desc.columns.push_back(test::scalar_column("A", DataType::Int));
    desc.columns.push_back(test::scalar_column("B", DataType::Int, "IncrementalStMan"));
    desc.columns.push_back(test::scalar_column("C", DataType::Int, "MyStMan"));
    desc.columns.push_back(test::array_column("D", DataType::Int, {2}, "TiledShapeStMan"));
    std::vector<RecordValue> one{int32_t{4}};
    SsmWriteColumn wc{CellColumn{"A", DataType::Int, CellKind::Scalar, 0}, one};
    auto data = build_ssm_data("t", std::span(&wc, 1), 1, "SSM");
    ASSERT_TRUE(data);
    test::write_file(dir / "table.f0", data->bucket_file);
    std::vector<DmBlob> blobs{
        {"StandardStMan", 0, build_standard_stman_blob({"SSM", data->column_offsets, data->column_index_map})}};
    std::vector<uint32_t> seqs{0, 7, 8, 9};  // no data manager has 7, 8 or 9
    test::write_file(dir / "table.dat", build_table_dat(1, desc, blobs, seqs));
    auto t = Table::open(dir.path());
    ASSERT_TRUE(t) << t.error().message();
    const Table& table = **t;
    EXPECT_EQ(table.data_manager_type(1), "IncrementalStMan");
    EXPECT_EQ(table.column_source(1).error().message(),
              "column B is not backed by a readable data manager (IncrementalStMan)");
    EXPECT_EQ(table.column_source(2).error().message(), "column C is not backed by a readable data manager (MyStMan)");
    EXPECT_EQ(table.column_source(3).error().message(),
              "column D is not backed by a readable data manager (tiled storage manager)");
    // Every read of such a column says so; the raw path refuses it.
    EXPECT_EQ(table.getcol(2, 0, 1).error().message(), "column C is not backed by a readable data manager (MyStMan)");
    ASSERT_TRUE(table.read_cell(0, 0));
    EXPECT_EQ(*table.read_cell(0, 0), RecordValue(int32_t{4}));
}

}  // namespace
}  // namespace orvala

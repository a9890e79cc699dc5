// Reading cells, runs of rows, slices and raw columns from tables written by
// this system's own writers.
#include <gtest/gtest.h>

#include <cstring>

#include "raw_sink.h"
#include "table.h"
#include "table_fixture.h"
#include "test_bytes.h"

namespace orvala {
namespace {

using test::TempDir;

constexpr uint64_t kRows = 40;  // more than one StandardStMan bucket (32 rows)

const DataType kRawTypes[] = {DataType::Bool,  DataType::UChar,   DataType::Short,    DataType::UShort,
                              DataType::Int,   DataType::UInt,    DataType::Int64,    DataType::Float,
                              DataType::Double, DataType::Complex, DataType::DComplex};

// A value of `type` that varies with k.
RecordValue scalar(DataType type, int64_t k) {
    switch (type) {
        case DataType::Bool: return k % 3 == 0;
        case DataType::UChar: return static_cast<uint8_t>(k * 7);
        case DataType::Short: return static_cast<int16_t>(-k * 100);
        case DataType::UShort: return static_cast<uint16_t>(k * 1000);
        case DataType::Int: return static_cast<int32_t>(k * k - 500);
        case DataType::UInt: return static_cast<uint32_t>(k * 100000);
        case DataType::Int64: return static_cast<int64_t>(k * 1000000000000LL);
        case DataType::Float: return static_cast<float>(k) * 0.25f;
        case DataType::Double: return static_cast<double>(k) * 1.5 - 3;
        case DataType::Complex: return std::complex<float>(static_cast<float>(k), -static_cast<float>(k) / 2);
        case DataType::DComplex: return std::complex<double>(static_cast<double>(k) / 3, 7.0 * static_cast<double>(k));
        case DataType::String:
            return k % 2 ? "short" + std::to_string(k) : "a rather longer string, number " + std::to_string(k);
        default: throw std::logic_error("scalar: no such test type");
    }
}

// An array cell of C-order shape `shape` whose elements are scalar(type, base + i).
ArrayValue array(DataType type, std::vector<uint32_t> shape, int64_t base) {
    uint64_t n = 1;
    for (uint32_t e : shape) n *= e;
    ArrayData data = *ArrayData::empty_of(type);
    std::visit(
        [&](auto& v) {
            using E = typename std::decay_t<decltype(v)>::value_type;
            for (uint64_t i = 0; i < n; ++i) v.push_back(std::get<E>(scalar(type, base + static_cast<int64_t>(i))));
        },
        static_cast<ArrayDataVariant&>(data));
    return ArrayValue{std::move(shape), std::move(data)};
}

// The native-order bytes of the raw form of a value (Bool as one byte).
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
            } else {
                throw std::logic_error("append_native: no raw form");
            }
        },
        static_cast<const RecordValueVariant&>(v));
}

std::string tname(DataType t) { return data_type_name(t); }

// One table holding every kind of column under every manager that serves it.
class ReadTable : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new TempDir();
        std::vector<test::FixtureManager> managers{{"StandardStMan", 0}, {"IncrementalStMan", 1}};
        auto& cols = *(columns_ = new std::vector<test::FixtureColumn>());
        auto add = [&](ColumnDesc d, uint32_t seq, auto value) {
            test::FixtureColumn c{std::move(d), seq, {}};
            for (uint64_t r = 0; r < kRows; ++r) c.values.push_back(value(static_cast<int64_t>(r)));
            cols.push_back(std::move(c));
        };
        uint32_t next_seq = 2;
        for (DataType t : kRawTypes) {
            add(test::scalar_column("S_" + tname(t), t), 0, [t](int64_t r) { return scalar(t, r); });
            // Runs of equal values, so the IncrementalStMan stores few of them.
            add(test::scalar_column("I_" + tname(t), t, "IncrementalStMan"), 1,
                [t](int64_t r) { return scalar(t, r / 7); });
            add(test::array_column("A_" + tname(t), t, {4, 3}), 0,
                [t](int64_t r) { return RecordValue(array(t, {3, 4}, r)); });
            const std::string kind = next_seq % 2 ? "TiledShapeStMan" : "TiledColumnStMan";
            managers.push_back({kind, next_seq});
            add(test::array_column("T_" + tname(t), t, {2, 3}, kind), next_seq++,
                [t](int64_t r) { return RecordValue(array(t, {3, 2}, 10 * r)); });
        }
        add(test::scalar_column("STR", DataType::String), 0, [](int64_t r) { return scalar(DataType::String, r); });
        ColumnDesc fixed = test::scalar_column("FIXSTR", DataType::String);
        fixed.maxlen = 4;
        add(fixed, 0, [](int64_t r) { return RecordValue("ab" + std::to_string(r * 100)); });
        add(test::array_column("VARARR", DataType::Int, {}), 0,
            [](int64_t r) { return RecordValue(array(DataType::Int, {static_cast<uint32_t>(r % 3 + 1), 2}, r)); });
        add(test::array_column("STRARR", DataType::String, {2}), 0,
            [](int64_t r) { return RecordValue(array(DataType::String, {2}, r)); });
        add(test::scalar_column("REC", DataType::Record), 0, [](int64_t r) {
            TableRecord rec;
            rec.set("n", int32_t(r));
            rec.set("name", std::string("row ") + std::to_string(r));
            return RecordValue(std::move(rec));
        });
        managers_ = new std::vector<test::FixtureManager>(managers);
        test::write_table(dir_->path(), managers, cols, kRows);
        auto t = Table::open(dir_->path());
        if (!t) throw std::runtime_error(t.error().message());
        table_ = new std::shared_ptr<const Table>(*t);
    }
    static void TearDownTestSuite() {
        delete table_;
        delete columns_;
        delete managers_;
        delete dir_;
    }

    const Table& table() { return **table_; }
    size_t col(const std::string& name) {
        auto c = table().column_index(name);
        if (!c) throw std::logic_error("no column " + name);
        return *c;
    }
    const std::vector<RecordValue>& written(const std::string& name) {
        for (const auto& c : *columns_)
            if (c.desc.name == name) return c.values;
        throw std::logic_error("no column " + name);
    }
    // What a written value reads back as.
    static RecordValue expected(const test::FixtureColumn& c, const RecordValue& v) {
        if (c.desc.name == "FIXSTR") return std::get<std::string>(v).substr(0, 4);
        return v;
    }

    static TempDir* dir_;
    static std::vector<test::FixtureColumn>* columns_;
    static std::vector<test::FixtureManager>* managers_;
    static std::shared_ptr<const Table>* table_;
};
TempDir* ReadTable::dir_ = nullptr;
std::vector<test::FixtureColumn>* ReadTable::columns_ = nullptr;
std::vector<test::FixtureManager>* ReadTable::managers_ = nullptr;
std::shared_ptr<const Table>* ReadTable::table_ = nullptr;

TEST_F(ReadTable, EveryColumnReadsBackWhatWasWritten) {
    ASSERT_EQ(table().nrow(), kRows);
    for (const auto& c : *columns_) {
        SCOPED_TRACE(c.desc.name);
        const size_t i = col(c.desc.name);
        auto cells = table().getcol(i, 0, kRows);
        ASSERT_TRUE(cells) << cells.error().message();
        ASSERT_EQ(cells->size(), kRows);
        auto src = table().column_source(i);
        ASSERT_TRUE(src);
        for (uint64_t r = 0; r < kRows; ++r) {
            EXPECT_EQ((*cells)[r], expected(c, c.values[r])) << "row " << r;
            auto one = table().read_cell_from(*src, c.desc, r);
            ASSERT_TRUE(one) << one.error().message();
            EXPECT_EQ(*one, (*cells)[r]) << "row " << r;
        }
    }
}

TEST_F(ReadTable, ArrayCellsCarryTheirShapeInCOrder) {
    // Stored shape (4, 3), 4 varying fastest: cells read as [3, 4].
    auto cell = table().read_cell(col("A_Double"), 0);
    ASSERT_TRUE(cell);
    EXPECT_EQ(std::get<ArrayValue>(*cell).shape, (std::vector<uint32_t>{3, 4}));
    auto var = table().getcol(col("VARARR"), 0, 3);
    ASSERT_TRUE(var);
    EXPECT_EQ(std::get<ArrayValue>((*var)[2]).shape, (std::vector<uint32_t>{3, 2}));
    auto rec = table().read_cell(col("REC"), 7);
    ASSERT_TRUE(rec);
    const auto& r = std::get<TableRecord>(*rec);
    EXPECT_EQ(*r.get("n"), RecordValue(int32_t{7}));
    EXPECT_EQ(*r.get("name"), RecordValue(std::string("row 7")));
}

TEST_F(ReadTable, RunsOfRowsAndRowsOutOfRange) {
    for (const auto& c : *columns_) {
        SCOPED_TRACE(c.desc.name);
        const size_t i = col(c.desc.name);
        auto part = table().getcol(i, 5, 30);
        ASSERT_TRUE(part) << part.error().message();
        ASSERT_EQ(part->size(), 30u);
        for (uint64_t r = 0; r < 30; ++r) EXPECT_EQ((*part)[r], expected(c, c.values[5 + r])) << "row " << 5 + r;
        auto none = table().getcol(i, kRows, 0);
        ASSERT_TRUE(none);
        EXPECT_TRUE(none->empty());

        const std::string past = "row 40 is out of range for column " + c.desc.name;
        EXPECT_EQ(table().getcol(i, 0, kRows + 1).error().message(), past);
        EXPECT_EQ(table().getcol(i, 39, 2).error().message(), past);
        EXPECT_EQ(table().getcol(i, 41, 0).error().message(), "row 41 is out of range for column " + c.desc.name);
        EXPECT_EQ(table().getcol(i, 1, UINT64_MAX).error().message(), past);
        EXPECT_EQ(table().read_cell(i, kRows).error().message(), past);
        EXPECT_EQ(table().getcellslice(i, UINT64_MAX, {}, {}).error().message(),
                  "row 18446744073709551615 is out of range for column " + c.desc.name);
    }
}

TEST_F(ReadTable, Slices) {
    const size_t a = col("A_Double");
    const std::vector<int64_t> b{0, 1}, e{1, 2};
    auto s = table().getcellslice(a, 2, b, e);
    ASSERT_TRUE(s) << s.error().message();
    // Cell of row 2: element (i, j) of the [3, 4] cell is scalar(2 + 4 i + j).
    EXPECT_EQ(*s, RecordValue(ArrayValue{{2, 2}, std::vector<double>{1.5, 3.0, 7.5, 9.0}}));

    const std::vector<int64_t> one_b{0}, one_e{1};
    EXPECT_EQ(table().getcellslice(a, 2, one_b, one_e).error().message(),
              "slice [0]..[1] does not fit the cell shape [3, 4]");
    const std::vector<int64_t> whole_b{0, 0}, whole_e{2, 3}, past_e{2, 4}, back_b{1, 2}, back_e{1, 1},
        neg_b{-1, 0};
    auto whole = table().getcellslice(a, 2, whole_b, whole_e);
    ASSERT_TRUE(whole);
    EXPECT_EQ(*whole, *table().read_cell(a, 2));
    EXPECT_EQ(table().getcellslice(a, 2, whole_b, past_e).error().message(),
              "slice [0, 0]..[2, 4] does not fit the cell shape [3, 4]");
    EXPECT_FALSE(table().getcellslice(a, 2, back_b, back_e));
    EXPECT_FALSE(table().getcellslice(a, 2, neg_b, whole_e));

    // Strings and bits keep their element type; a scalar cell comes whole.
    const std::vector<int64_t> s1{1}, s2{1};
    auto str = table().getcellslice(col("STRARR"), 3, s1, s2);
    ASSERT_TRUE(str);
    EXPECT_EQ(*str, RecordValue(ArrayValue{{1}, std::vector<std::string>{"a rather longer string, number 4"}}));
    const std::vector<int64_t> t1{1, 0}, t2{2, 1};
    auto bits = table().getcellslice(col("T_Bool"), 0, t1, t2);
    ASSERT_TRUE(bits);
    EXPECT_EQ(*bits, RecordValue(ArrayValue{{2, 2}, std::vector<bool>{false, true, false, false}}));
    auto scalar_cell = table().getcellslice(col("S_Int"), 3, b, e);
    ASSERT_TRUE(scalar_cell);
    EXPECT_EQ(*scalar_cell, RecordValue(int32_t{-491}));
}

TEST(SliceArrayValue, ThreeAxesAndEdgeShapes) {
    // [2, 3, 4] of 0..23 in row-major order.
    std::vector<int32_t> v(24);
    for (int i = 0; i < 24; ++i) v[i] = i;
    ArrayValue a{{2, 3, 4}, v};
    const std::vector<int64_t> b{1, 1, 2}, e{1, 2, 3};
    auto s = slice_array_value(a, b, e);
    ASSERT_TRUE(s);
    EXPECT_EQ(*s, (ArrayValue{{1, 2, 2}, std::vector<int32_t>{18, 19, 22, 23}}));
    ArrayValue empty{{0}, std::vector<int32_t>{}};
    const std::vector<int64_t> z{0};
    EXPECT_EQ(slice_array_value(empty, z, z).error().message(), "slice [0]..[0] does not fit the cell shape [0]");
    // A shape that disagrees with the element count is refused, not read past.
    ArrayValue lying{{4}, std::vector<int32_t>{1, 2}};
    const std::vector<int64_t> three{3};
    EXPECT_FALSE(slice_array_value(lying, three, three));
}

// The raw path gives, cell for cell, the bytes of the value path.
TEST_F(ReadTable, RawPathAgreesWithValuePath) {
    int checked = 0;
    for (const auto& c : *columns_) {
        SCOPED_TRACE(c.desc.name);
        const size_t i = col(c.desc.name);
        if (!table().raw_column_supported(i)) continue;
        const bool bits = c.desc.data_type == DataType::Bool && c.desc.name[0] == 'T';
        uint64_t cell_elements = 1;
        for (uint64_t e : table().raw_cell_shape(i)) cell_elements *= e;
        const size_t cell_bytes = cell_elements * Table::raw_element_bytes(c.desc.data_type);
        for (auto [first, count] : {std::pair<uint64_t, uint64_t>{0, kRows}, {3, 33}, {kRows, 0}}) {
            std::vector<uint8_t> buf(cell_bytes * count + 8, 0xee);
            if (bits) {
                auto ok = table().getcol_raw_bits(i, first, count, buf.data(), cell_bytes * count);
                ASSERT_TRUE(ok) << ok.error().message();
            } else {
                BufferSink sink(buf.data(), cell_bytes * count, cell_bytes, table().raw_swap_unit(i));
                auto ok = table().getcol_raw(i, first, count, sink);
                ASSERT_TRUE(ok) << ok.error().message();
                EXPECT_EQ(sink.written(), cell_bytes * count);
            }
            std::vector<uint8_t> want;
            auto cells = table().getcol(i, first, count);
            ASSERT_TRUE(cells);
            for (const RecordValue& v : *cells) append_native(want, v);
            want.insert(want.end(), 8, 0xee);  // untouched past the end
            EXPECT_EQ(buf, want) << "rows " << first << " + " << count;
        }
        ++checked;
    }
    EXPECT_EQ(checked, 42);  // every type under every manager that serves it raw
}

TEST_F(ReadTable, ColumnsTheRawPathRefuses) {
    const std::string prefix = ": cannot be served by the raw (borrowed-buffer) read path: ";
    struct Case {
        const char* column;
        const char* reason;
    };
    const Case cases[] = {
        {"STR", "element type String has no fixed-width raw form"},
        {"STRARR", "element type String has no fixed-width raw form"},
        {"REC", "element type Record has no fixed-width raw form"},
        {"VARARR", "array column without a usable fixed shape"},
        {"S_Bool", "bit-packed StandardStMan Bool"},
        {"A_Bool", "bit-packed StandardStMan Bool"},
        {"T_Bool", "bit-packed tiled Bool (use getcol_raw_bits)"},
    };
    std::vector<uint8_t> buf(1024);
    for (const Case& c : cases) {
        const size_t i = col(c.column);
        EXPECT_EQ(table().raw_column_supported(i), std::string(c.column) == "T_Bool") << c.column;
        BufferSink sink(buf.data(), buf.size(), 1, 0);
        auto r = table().getcol_raw(i, 0, 1, sink);
        ASSERT_FALSE(r) << c.column;
        EXPECT_EQ(r.error().message(), "column " + std::string(c.column) + prefix + c.reason);
    }
    EXPECT_EQ(table().getcol_raw_bits(col("T_Int"), 0, 1, buf.data(), buf.size()).error().message(),
              "column T_Int" + prefix + "not a tiled Bool array column with a fixed shape");
    EXPECT_EQ(table().getcol_raw_bits(col("T_Bool"), 0, 10, buf.data(), 59).error().message(),
              "column T_Bool" + prefix + "10 cells of 6 bytes do not fit the 59 bytes of the buffer");
    BufferSink sink(buf.data(), buf.size(), 8, 0);
    EXPECT_EQ(table().getcol_raw(col("S_Int"), 0, kRows + 1, sink).error().message(),
              "row 40 is out of range for column S_Int");
}

// A sink of the wrong cell size or too little room is an error, never an
// overrun, whichever manager feeds it.
TEST_F(ReadTable, RawSinkMismatchesAreErrors) {
    for (const char* name : {"S_Double", "I_Double", "A_Double", "T_Double"}) {
        SCOPED_TRACE(name);
        const size_t i = col(name);
        const size_t cell = name[0] == 'A' ? 96 : name[0] == 'T' ? 48 : 8;
        std::vector<uint8_t> buf(cell * kRows + 16, 0xee);
        BufferSink wrong(buf.data(), cell * kRows, cell + 4, 0);
        auto r = table().getcol_raw(i, 0, kRows, wrong);
        ASSERT_FALSE(r);
        EXPECT_NE(r.error().message().find("column " + std::string(name) + ": cannot be served"), std::string::npos)
            << r.error().message();
        BufferSink small(buf.data(), cell * 10, cell, 0);
        auto s = table().getcol_raw(i, 0, kRows, small);
        ASSERT_FALSE(s);
        EXPECT_LE(small.written(), cell * 10);
        for (size_t k = cell * 10; k < buf.size(); ++k) ASSERT_EQ(buf[k], 0xee) << "byte " << k;
    }
}

TEST(TiledRows, RowsThatNoTileStoresReadAsZeros) {
    TempDir dir;
    std::vector<RecordValue> v;
    for (int r = 0; r < 10; ++r) v.push_back(array(DataType::Float, {3, 2}, r + 1));
    std::vector<RecordValue> ints;
    for (int r = 0; r < 10; ++r) ints.push_back(int32_t{r});
    test::write_table(dir.path(), {{"TiledShapeStMan", 0}, {"StandardStMan", 1}},
                      {{test::array_column("T", DataType::Float, {2, 3}, "TiledShapeStMan"), 0, v},
                       {test::scalar_column("S", DataType::Int), 1, ints}},
                      10);
    test::write_file(dir / "table.lock", test::hex("00000004 73796e63 00000001 0000000c"));
    auto t = Table::open(dir.path());
    ASSERT_TRUE(t) << t.error().message();
    const Table& table = **t;
    ASSERT_EQ(table.nrow(), 12u);
    auto cells = table.getcol(0, 8, 4);
    ASSERT_TRUE(cells) << cells.error().message();
    EXPECT_EQ((*cells)[1], RecordValue(array(DataType::Float, {3, 2}, 10)));
    const RecordValue zero(ArrayValue{{3, 2}, std::vector<float>(6, 0.0f)});
    EXPECT_EQ((*cells)[2], zero);
    EXPECT_EQ((*cells)[3], zero);
    EXPECT_EQ(*table.read_cell(0, 11), zero);
    std::vector<float> raw(24, -1.0f);
    BufferSink sink(raw.data(), sizeof(float) * 24, 24, 0);
    ASSERT_TRUE(table.getcol_raw(0, 8, 4, sink));
    EXPECT_EQ(raw[6 + 5], 10.0f * 0.25f + 5 * 0.25f);
    EXPECT_EQ(std::vector<float>(raw.begin() + 12, raw.end()), std::vector<float>(12, 0.0f));
    // Never past the table's rows, however many the tiles could hold.
    EXPECT_EQ(table.getcol(0, 0, 13).error().message(), "row 12 is out of range for column T");
    // A manager that does not hold a row the table has reports it as out of range.
    EXPECT_EQ(table.getcol(1, 0, 12).error().message(), "row 10 is out of range for column S");
}

TEST(BufferSinkTest, CopiesAndSwapsRuns) {
    std::vector<uint8_t> out(24, 0xee);
    BufferSink sink(out.data(), 16, 4, 4);
    auto run = test::hex("00000001 00000002");
    ASSERT_TRUE(sink.put_run(run, 2));
    auto cell = test::hex("0a0b0c0d");
    ASSERT_TRUE(sink.put_repeated(cell, 2));
    EXPECT_EQ(sink.written(), 16u);
    EXPECT_EQ(out, test::hex("01000000 02000000 0d0c0b0a 0d0c0b0a eeeeeeee eeeeeeee"));
    // Full: one more cell is refused, nothing written.
    EXPECT_EQ(sink.put_repeated(cell, 1).error().message(),
              "column : cannot be served by the raw (borrowed-buffer) read path: 1 cells of 4 bytes do not fit the 0 "
              "bytes left in the buffer");
    EXPECT_EQ(out[16], 0xee);
}

TEST(BufferSinkTest, ChecksEveryRun) {
    std::vector<uint8_t> out(32, 0xee);
    auto reason = [](const TableReadResult<void>& r) {
        return r ? std::string("ok") : std::get<TableReadError::RawUnsupported>(r.error().v).reason;
    };
    BufferSink sink(out.data(), 24, 8, 0);
    auto twelve = test::hex("0102030405060708090a0b0c");
    EXPECT_EQ(reason(sink.put_run(twelve, 2)), "stored cell has 6 bytes, expected 8");
    EXPECT_EQ(reason(sink.put_run(twelve, 5)), "a run of 5 cells holds 12 bytes");
    EXPECT_EQ(reason(sink.put_run(twelve, 0)), "a run of no cells holds 12 bytes");
    EXPECT_EQ(reason(sink.put_repeated(std::span(twelve).first(4), 3)), "stored cell has 4 bytes, expected 8");
    std::vector<uint8_t> four_cells(32, 1);
    EXPECT_EQ(reason(sink.put_run(four_cells, 4)), "4 cells of 8 bytes do not fit the 24 bytes left in the buffer");
    EXPECT_EQ(reason(sink.put_repeated(std::span(four_cells).first(8), UINT64_MAX)),
              "18446744073709551615 cells of 8 bytes do not fit the 24 bytes left in the buffer");
    EXPECT_EQ(sink.written(), 0u);
    EXPECT_EQ(out, std::vector<uint8_t>(32, 0xee));
    EXPECT_EQ(reason(sink.put_run({}, 0)), "ok");
}

TEST(BufferSinkTest, WindowThenCommitSwapsInPlace) {
    std::vector<uint8_t> out(16, 0);
    BufferSink sink(out.data(), 16, 8, 8);
    EXPECT_TRUE(sink.window(3).empty());  // no room for three cells
    auto w = sink.window(2);
    ASSERT_EQ(w.size(), 16u);
    auto bytes = test::hex("0102030405060708 1112131415161718");
    std::memcpy(w.data(), bytes.data(), 16);
    ASSERT_TRUE(sink.commit(2));
    EXPECT_EQ(out, test::hex("0807060504030201 1817161514131211"));
    EXPECT_FALSE(sink.commit(1));
}

TEST(BufferSinkTest, SwapUnits) {
    const bool be_machine = std::endian::native == std::endian::big;
    struct Case {
        DataType type;
        size_t unit;
    };
    const Case cases[] = {{DataType::Bool, 0},  {DataType::UChar, 0},  {DataType::Short, 2},    {DataType::UShort, 2},
                          {DataType::Int, 4},   {DataType::UInt, 4},   {DataType::Float, 4},    {DataType::Complex, 4},
                          {DataType::Int64, 8}, {DataType::Double, 8}, {DataType::DComplex, 8}};
    for (const Case& c : cases) {
        EXPECT_EQ(raw_swap_unit(c.type, !be_machine), c.unit) << data_type_name(c.type);
        EXPECT_EQ(raw_swap_unit(c.type, be_machine), 0u) << data_type_name(c.type);
    }
    auto in = test::hex("01020304 05060708");
    std::vector<uint8_t> out(8);
    copy_swapped(out.data(), in.data(), 8, 2);
    EXPECT_EQ(out, test::hex("02010403 06050807"));
    copy_swapped(out.data(), in.data(), 8, 0);
    EXPECT_EQ(out, in);
}

TEST(TsmDefaultBytes, SizesOfANeverStoredCell) {
    TempDir dir;
    test::write_table(dir.path(), {{"StandardStMan", 0}}, {{test::scalar_column("A", DataType::Int), 0, {int32_t{1}}}},
                      1);
    auto t = Table::open(dir.path());
    ASSERT_TRUE(t);
    struct Case {
        DataType type;
        std::vector<int64_t> shape;
        size_t bytes;
    };
    const Case cases[] = {{DataType::Bool, {10}, 2},     {DataType::Bool, {8}, 1},     {DataType::Double, {4, 3}, 96},
                          {DataType::DComplex, {2}, 32}, {DataType::Int, {}, 0},       {DataType::Short, {-1, 3}, 0},
                          {DataType::UChar, {0, 5}, 0},  {DataType::Float, {-2, -2}, 16}};
    for (const Case& c : cases) {
        auto bytes = (*t)->tsm_default_bytes(test::array_column("X", c.type, c.shape, "TiledShapeStMan"));
        ASSERT_TRUE(bytes) << data_type_name(c.type);
        EXPECT_EQ(*bytes, std::vector<uint8_t>(c.bytes, 0)) << data_type_name(c.type);
    }
    EXPECT_EQ((*t)->tsm_default_bytes(test::array_column("X", DataType::String, {2})).error().message(),
              "unsupported tiled element type String");
    EXPECT_FALSE((*t)->tsm_default_bytes(test::array_column("X", DataType::Double, {1 << 30, 1 << 30})));
}

}  // namespace
}  // namespace orvala

// A real Measurement Set written by another program (tests/data/README.md):
// every table opens and every cell of every column reads, with the values
// such a data set holds.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <set>

#include "raw_sink.h"
#include "table.h"

namespace orvala {
namespace {

const std::string kMs = std::string(ORVALA_TEST_DATA) + "/lwa-downselected.ms";

std::shared_ptr<const Table> open_ms(const std::string& sub) {
    auto t = Table::open(sub.empty() ? kMs : kMs + "/" + sub);
    if (!t) throw std::runtime_error(t.error().message());
    return *t;
}

std::vector<RecordValue> column(const Table& t, const std::string& name) {
    auto c = t.column_index(name);
    if (!c) throw std::runtime_error("no column " + name);
    auto cells = t.getcol(*c, 0, t.nrow());
    if (!cells) throw std::runtime_error(cells.error().message());
    return std::move(*cells);
}

template <class T>
const std::vector<T>& elements(const RecordValue& v) {
    return std::get<std::vector<T>>(std::get<ArrayValue>(v).data);
}
const std::vector<uint32_t>& shape(const RecordValue& v) { return std::get<ArrayValue>(v).shape; }

// The native bytes of a value's raw form.
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

TEST(LwaMs, EveryTableOpensAndEveryCellReads) {
    // Most subtables keep their row count only in table.lock.
    const std::pair<const char*, uint64_t> tables[] = {
        {"", 210},       {"ANTENNA", 256}, {"DATA_DESCRIPTION", 1}, {"FEED", 256},         {"FIELD", 1},
        {"FLAG_CMD", 0}, {"HISTORY", 1},   {"OBSERVATION", 1},      {"POINTING", 256},     {"POLARIZATION", 1},
        {"PROCESSOR", 0}, {"SOURCE", 1},   {"SPECTRAL_WINDOW", 1},  {"STATE", 0},
    };
    int columns = 0, raw_columns = 0;
    for (auto [name, rows] : tables) {
        SCOPED_TRACE(name);
        auto t = open_ms(name);
        EXPECT_EQ(t->nrow(), rows);
        for (size_t c = 0; c < t->ncolumns(); ++c) {
            const ColumnDesc& d = t->desc().columns[c];
            SCOPED_TRACE(d.name);
            auto cells = t->getcol(c, 0, t->nrow());
            ASSERT_TRUE(cells) << cells.error().message();
            ASSERT_EQ(cells->size(), rows);
            for (uint64_t r = 0; r < rows; ++r) {
                auto one = t->read_cell(c, r);
                ASSERT_TRUE(one) << one.error().message();
                ASSERT_EQ(*one, (*cells)[r]) << "row " << r;
            }
            ++columns;
            if (!t->raw_column_supported(c)) continue;
            uint64_t n = 1;
            for (uint64_t e : t->raw_cell_shape(c)) n *= e;
            const size_t cell = n * Table::raw_element_bytes(d.data_type);
            std::vector<uint8_t> raw(cell * rows), want;
            if (d.data_type == DataType::Bool && d.kind == ColumnKind::Array) {
                ASSERT_TRUE(t->getcol_raw_bits(c, 0, rows, raw.data(), raw.size()));
            } else {
                BufferSink sink(raw.data(), raw.size(), cell, t->raw_swap_unit(c));
                auto ok = t->getcol_raw(c, 0, rows, sink);
                ASSERT_TRUE(ok) << ok.error().message();
            }
            for (const RecordValue& v : *cells) append_native(want, v);
            EXPECT_EQ(raw, want);
            ++raw_columns;
        }
    }
    EXPECT_EQ(columns, 139);
    EXPECT_EQ(raw_columns, 70);
}

TEST(LwaMs, MainTableHoldsOneIntegrationOfTwentyAntennas) {
    auto t = open_ms("");
    auto data = column(*t, "DATA"), flag = column(*t, "FLAG"), uvw = column(*t, "UVW");
    auto a1 = column(*t, "ANTENNA1"), a2 = column(*t, "ANTENNA2"), time = column(*t, "TIME");
    for (uint64_t r = 0; r < t->nrow(); ++r) {
        SCOPED_TRACE(r);
        // 109 channels of 4 correlations, tiled by channel and correlation.
        ASSERT_EQ(shape(data[r]), (std::vector<uint32_t>{109, 4}));
        ASSERT_EQ(elements<std::complex<float>>(data[r]).size(), 436u);
        ASSERT_EQ(shape(flag[r]), (std::vector<uint32_t>{109, 4}));
        ASSERT_EQ(shape(uvw[r]), (std::vector<uint32_t>{3}));
        const int32_t i = std::get<int32_t>(a1[r]), j = std::get<int32_t>(a2[r]);
        EXPECT_TRUE(0 <= i && i <= j && j < 20);
        EXPECT_NEAR(std::get<double>(time[r]), 5028807244.9, 0.01);
        const auto& b = elements<double>(uvw[r]);
        const double length = std::sqrt(b[0] * b[0] + b[1] * b[1] + b[2] * b[2]);
        if (i == j) {
            // An autocorrelation: no baseline, and a real, positive XX power.
            EXPECT_EQ(length, 0.0);
            const auto xx = elements<std::complex<float>>(data[r])[0];
            EXPECT_GT(xx.real(), 0.0f);
            EXPECT_LT(std::abs(xx.imag()), 1e-3f * xx.real());
        } else {
            EXPECT_TRUE(length > 1.0 && length < 2000.0) << length;
        }
    }
    // 20 antennas give 210 baselines with their autocorrelations, each once.
    std::set<std::pair<int32_t, int32_t>> pairs;
    for (uint64_t r = 0; r < t->nrow(); ++r) pairs.emplace(std::get<int32_t>(a1[r]), std::get<int32_t>(a2[r]));
    EXPECT_EQ(pairs.size(), 210u);
}

TEST(LwaMs, SubtablesHoldRealNamesAndGeometry) {
    auto ant = open_ms("ANTENNA");
    auto names = column(*ant, "NAME"), pos = column(*ant, "POSITION");
    for (uint64_t r = 0; r < ant->nrow(); ++r) {
        char want[16];
        std::snprintf(want, sizeof want, "ANT%03d", static_cast<int>(r + 1));
        EXPECT_EQ(std::get<std::string>(names[r]), want);
        // Positions on the Earth's surface, stored in the data bucket itself.
        const auto& p = elements<double>(pos[r]);
        ASSERT_EQ(p.size(), 3u);
        EXPECT_NEAR(std::sqrt(p[0] * p[0] + p[1] * p[1] + p[2] * p[2]), 6.37e6, 0.02e6);
    }

    auto spw = open_ms("SPECTRAL_WINDOW");
    const auto chan_freq = column(*spw, "CHAN_FREQ");
    const auto& freq = elements<double>(chan_freq[0]);
    ASSERT_EQ(freq.size(), 109u);
    for (size_t k = 0; k < freq.size(); ++k) EXPECT_EQ(freq[k], 27384000.0 + 24000.0 * static_cast<double>(k));
    EXPECT_EQ(column(*spw, "NAME")[0], RecordValue(std::string("SPW0")));

    auto pol = open_ms("POLARIZATION");
    EXPECT_EQ(column(*pol, "CORR_TYPE")[0], RecordValue(ArrayValue{{4}, std::vector<int32_t>{9, 12, 10, 11}}));
    EXPECT_EQ(shape(column(*pol, "CORR_PRODUCT")[0]), (std::vector<uint32_t>{4, 2}));

    // IncrementalStMan strings and arrays (the arrays in its array file).
    auto pointing = open_ms("POINTING");
    auto pname = column(*pointing, "NAME"), dir = column(*pointing, "DIRECTION"), id = column(*pointing, "ANTENNA_ID");
    for (uint64_t r = 0; r < pointing->nrow(); ++r) {
        EXPECT_EQ(std::get<std::string>(pname[r]), "ZENITH");
        EXPECT_EQ(dir[r], RecordValue(ArrayValue{{2, 1}, std::vector<double>{0.0, M_PI / 2}}));
        EXPECT_EQ(std::get<int32_t>(id[r]), static_cast<int32_t>(r));
    }

    auto field = open_ms("FIELD"), source = open_ms("SOURCE");
    EXPECT_EQ(column(*field, "NAME")[0], RecordValue(std::string("Zenith5028807244.90")));
    EXPECT_EQ(elements<double>(column(*field, "PHASE_DIR")[0]), elements<double>(column(*source, "DIRECTION")[0]));
    // Cells never given a value: an empty record, empty arrays.
    EXPECT_EQ(column(*source, "SOURCE_MODEL")[0], RecordValue(TableRecord{}));
    EXPECT_EQ(column(*source, "REST_FREQUENCY")[0], RecordValue(ArrayValue{{0}, std::vector<double>{}}));
    EXPECT_EQ(column(*source, "TRANSITION")[0], RecordValue(ArrayValue{{0}, std::vector<std::string>{}}));

    auto obs = open_ms("OBSERVATION");
    EXPECT_EQ(column(*obs, "TELESCOPE_NAME")[0], RecordValue(std::string("OVRO_MMA")));
    auto history = open_ms("HISTORY");
    EXPECT_EQ(column(*history, "APPLICATION")[0], RecordValue(std::string("pyuvdata")));
}

}  // namespace
}  // namespace orvala

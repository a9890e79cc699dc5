// Small tables on disk for the table reader's tests, written by this
// system's own writers (table.dat, StandardStMan, IncrementalStMan, tiled).
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "ism.h"
#include "ssm_writer.h"
#include "table_dat.h"
#include "tsm.h"

namespace orvala::test {

// A fresh directory under the temporary directory, removed with the object.
class TempDir {
public:
    TempDir() {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/orvala-table-test-XXXXXX";
        std::vector<char> buf(pattern.begin(), pattern.end());
        buf.push_back('\0');
        if (!mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed");
        path_ = buf.data();
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

inline void write_file(const std::string& path, std::span<const uint8_t> bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!f) throw std::runtime_error("cannot write " + path);
}

inline ColumnDesc scalar_column(std::string name, DataType type, std::string manager = "StandardStMan") {
    ColumnDesc c;
    c.name = std::move(name);
    c.data_manager_type = manager;
    c.data_manager_group = manager;
    c.data_type = type;
    c.kind = type == DataType::Record ? ColumnKind::Record : ColumnKind::Scalar;
    c.default_value = zero_value(type);
    return c;
}

// `shape` in storage order (first axis fastest); empty: no fixed shape.
inline ColumnDesc array_column(std::string name, DataType element, std::vector<int64_t> shape,
                               std::string manager = "StandardStMan") {
    ColumnDesc c;
    c.name = std::move(name);
    c.data_manager_type = manager;
    c.data_manager_group = manager;
    c.data_type = element;
    c.kind = ColumnKind::Array;
    c.ndim = shape.empty() ? -1 : static_cast<int32_t>(shape.size());
    if (!shape.empty()) {
        c.shape = std::move(shape);
        c.option = 4;  // fixed shape
    }
    return c;
}

// One column of a fixture table: its description, the data manager (by
// sequence number) that stores it and its value in every row.
struct FixtureColumn {
    ColumnDesc desc;
    uint32_t seq = 0;
    std::vector<RecordValue> values;
};

struct FixtureManager {
    std::string type;  // "StandardStMan", "IncrementalStMan", "TiledColumnStMan", "TiledShapeStMan"
    uint32_t seq = 0;
};

// Writes table.dat (saying `dat_rows` rows, default `rows`) and the data
// files of every manager into `dir`.
inline void write_table(const std::string& dir, const std::vector<FixtureManager>& managers,
                        const std::vector<FixtureColumn>& columns, uint64_t rows,
                        std::optional<uint64_t> dat_rows = std::nullopt) {
    TableDesc desc;
    desc.name = "fixture";
    std::vector<uint32_t> seqs;
    for (const auto& c : columns) {
        desc.columns.push_back(c.desc);
        seqs.push_back(c.seq);
    }
    std::vector<DmBlob> blobs;
    const std::string f = dir + "/table.f";
    for (const auto& m : managers) {
        std::vector<const FixtureColumn*> mine;
        for (const auto& c : columns)
            if (c.seq == m.seq) mine.push_back(&c);
        if (m.type == "StandardStMan") {
            std::vector<SsmWriteColumn> wc;
            for (const auto* c : mine) {
                CellColumn cc{c->desc.name, c->desc.data_type,
                              c->desc.kind == ColumnKind::Array    ? CellKind::Array
                              : c->desc.kind == ColumnKind::Record ? CellKind::Record
                                                                   : CellKind::Scalar,
                              c->desc.maxlen};
                wc.push_back(SsmWriteColumn{cc, c->values});
            }
            auto data = build_ssm_data("fixture", wc, rows, "SSM" + std::to_string(m.seq));
            if (!data) throw std::runtime_error(data.error().message());
            write_file(f + std::to_string(m.seq), data->bucket_file);
            if (data->array_file) write_file(f + std::to_string(m.seq) + "i", *data->array_file);
            blobs.push_back(DmBlob{m.type, m.seq,
                                   build_standard_stman_blob(StandardStMan{data->name, data->column_offsets,
                                                                           data->column_index_map})});
            continue;
        }
        std::vector<uint32_t> positions;
        std::vector<std::vector<RecordValue>> values;
        for (size_t i = 0; i < columns.size(); ++i)
            if (columns[i].seq == m.seq) {
                positions.push_back(static_cast<uint32_t>(i));
                values.push_back(columns[i].values);
            }
        if (m.type == "IncrementalStMan") {
            auto data = build_ism_data(desc, positions, values, rows);
            if (!data) throw std::runtime_error(data.error().message());
            write_file(f + std::to_string(m.seq), *data);
            blobs.push_back(DmBlob{m.type, m.seq, build_ism_blob("ISM" + std::to_string(m.seq))});
        } else {
            auto image = build_tsm_data(m.type, m.seq, "TSM" + std::to_string(m.seq), desc, positions, values, rows);
            if (!image) throw std::runtime_error(image.error().message());
            write_file(f + std::to_string(m.seq), image->header);
            write_file(f + std::to_string(m.seq) + "_TSM" + std::to_string(image->file_number), image->tile_data);
            blobs.push_back(DmBlob{m.type, m.seq, {}});
        }
    }
    write_file(dir + "/table.dat", build_table_dat(dat_rows.value_or(rows), desc, blobs, seqs));
}

}  // namespace orvala::test

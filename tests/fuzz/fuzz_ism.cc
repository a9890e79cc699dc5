// Feeds bytes to the IncrementalStMan reader as a data file: the first byte
// chooses the byte order (bit 0 set: big-endian), the rest is the file.
// Every column position and cell type is read over the rows the index
// claims (bounded), by cells, runs and raw bytes.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "ism.h"

using namespace orvala;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const bool big_endian = data[0] & 1;
    auto file = IsmFile::from_buffer(Buffer::from_bytes(std::vector<uint8_t>(data + 1, data + size)), big_endian);
    if (!file) {
        (void)file.error().message();
        return 0;
    }
    const uint64_t rows = std::min<uint64_t>(file->index().row_count(), 4096);
    for (uint32_t position = 0; position < 3; ++position) {
        for (DataType type : {DataType::Bool, DataType::Short, DataType::Int, DataType::Double, DataType::DComplex}) {
            IsmColumn column{"c", position, type};
            auto cells = file->read_column(column, 0, rows + 1);  // one past the end
            if (!cells) (void)cells.error().message();
            std::vector<uint8_t> raw(rows * *ism_cell_size(type));
            (void)file->read_raw(column, 0, rows, raw);
            if (rows > 0) (void)file->read_cell(column, rows / 2);
            auto runs = file->runs(column, rows / 3, rows);
            if (!runs) continue;
            for (int i = 0; i < 10000; ++i) {
                auto run = runs->next();
                if (!run || !*run) break;
            }
        }
    }
    return 0;
}

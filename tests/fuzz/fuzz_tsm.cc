// Feeds bytes to the tiled storage reader: byte 0 chooses the tile data's
// byte order (bit 0 set: big-endian), bytes 1-2 give the header's length n
// (little-endian), the next n bytes are the header file and the rest is the
// tile data, offered as tile data files 0, 1 and 2. Cells are read one by
// one, by column and raw, within a bounded number of elements.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "tsm.h"

using namespace orvala;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    const bool big_endian = data[0] & 1;
    const size_t n = std::min<size_t>(data[1] | (size_t{data[2]} << 8), size - 3);
    std::vector<uint8_t> header(data + 3, data + 3 + n);
    std::vector<uint8_t> tiles(data + 3 + n, data + size);
    auto parsed = parse_header(header);
    if (!parsed) (void)parsed.error().message();
    std::vector<std::pair<uint32_t, Buffer>> files;
    for (uint32_t k = 0; k < 3; ++k) files.emplace_back(k, Buffer::from_bytes(tiles));
    auto file = TsmFile::from_buffers(Buffer::from_bytes(header), std::move(files), big_endian);
    if (!file) {
        (void)file.error().message();
        return 0;
    }
    const TsmHeader& h = file->header();
    const uint64_t rows = std::min<uint64_t>(h.rows + 2, 512);
    for (uint32_t column = 0; column < std::min<size_t>(h.data_types.size(), 2); ++column) {
        const DataType type = element_type(h.data_types[column]);
        // Cells one by one, stopping once many elements were produced.
        uint64_t budget = 1 << 18;
        uint64_t elements = 0;
        for (uint64_t row = 0; row < rows && budget > 0; ++row) {
            auto loc = file->cell_location(row, column);
            if (!loc) (void)loc.error().message();
            auto cell = file->read_cell(row, type, column);
            if (!cell) {
                (void)cell.error().message();
                continue;
            }
            if (*cell) {
                const uint64_t count = (*cell)->data.size();
                elements = std::max(elements, count);
                budget = budget > count ? budget - count : 0;
            }
        }
        if (budget == 0) continue;
        // Whole-column paths, when the cells read above were small.
        if (elements * rows < (1 << 18)) {
            auto col = file->read_column(type, 0, rows, column);
            if (!col) (void)col.error().message();
            const uint32_t ew = tsm_element_bytes(type);
            if (ew > 0) {
                std::vector<uint8_t> raw(rows * elements * ew);
                auto r = file->read_cells_raw(type, 0, rows, elements, raw, column);
                if (!r) (void)r.error().message();
            }
        }
    }
    return 0;
}

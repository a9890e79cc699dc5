#include "tsm_tiles.h"

#include <algorithm>
#include <cstring>

namespace orvala {

namespace {

bool mul(uint64_t a, uint64_t b, uint64_t& out) { return !__builtin_mul_overflow(a, b, &out); }

// Copies `len` elements from tile element `from` to cell element `to`.
inline void copy_run(const uint8_t* tile, uint64_t from, uint8_t* cell, uint64_t to, uint64_t len, uint32_t bits) {
    if (bits == 1) {
        for (uint64_t j = 0; j < len; ++j) {
            uint64_t b = from + j;
            cell[to + j] = (tile[b >> 3] >> (b & 7)) & 1;
        }
    } else {
        const uint64_t w = bits / 8;
        std::memcpy(cell + to * w, tile + from * w, len * w);
    }
}

}  // namespace

std::expected<TileGrid, TileGridFault> make_tile_grid(std::span<const int64_t> cube, std::span<const int64_t> tile) {
    if (cube.empty() || cube.size() != tile.size()) return std::unexpected(TileGridFault::Malformed);
    const size_t d = cube.size();
    for (size_t i = 0; i < d; ++i)
        if (cube[i] < 0) return std::unexpected(TileGridFault::Negative);
    for (size_t i = 0; i < d; ++i)
        if (tile[i] < 0 || (tile[i] == 0 && cube[i] != 0)) return std::unexpected(TileGridFault::Malformed);
    TileGrid g;
    g.cube.assign(cube.begin(), cube.end());
    g.tile.assign(tile.begin(), tile.end());
    g.ntiles.resize(d);
    for (size_t i = 0; i < d; ++i) g.ntiles[i] = g.tile[i] == 0 ? 0 : (g.cube[i] + g.tile[i] - 1) / g.tile[i];
    for (size_t i = 0; i < d; ++i) {
        if (!mul(g.tile_elements, g.tile[i], g.tile_elements)) return std::unexpected(TileGridFault::TooLarge);
        if (i + 1 == d) break;
        if (!mul(g.cell_elements, g.cube[i], g.cell_elements) ||
            !mul(g.tile_cell_elements, g.tile[i], g.tile_cell_elements) ||
            !mul(g.slab_tiles, g.ntiles[i], g.slab_tiles))
            return std::unexpected(TileGridFault::TooLarge);
        if (g.tile[i] != g.cube[i]) g.whole_cells = false;
    }
    if (!mul(g.slab_tiles, g.ntiles[d - 1], g.total_tiles)) return std::unexpected(TileGridFault::TooLarge);
    return g;
}

std::optional<uint64_t> tile_part_bytes(const TileGrid& grid, uint32_t element_bits) {
    uint64_t bits;
    if (!mul(grid.tile_elements, element_bits, bits)) return std::nullopt;
    return bits / 8 + (bits % 8 != 0);
}

uint64_t last_tile_end(const TileGrid& grid, uint64_t pos, uint64_t n, uint64_t stride, uint64_t part_offset,
                       uint64_t part_bytes) {
    uint64_t last_row_tile = (pos + n - 1) / grid.rows_per_tile();
    uint64_t last = (last_row_tile + 1) * grid.slab_tiles - 1;  // < total_tiles
    return last * stride + part_offset + part_bytes;
}

void copy_tile_cells(const TileGrid& g, const uint8_t* base, uint64_t stride, uint32_t bits, uint64_t pos,
                     uint64_t n, uint8_t* out) {
    const uint64_t G = g.cell_elements;
    if (G == 0 || n == 0) return;
    const uint64_t H = g.rows_per_tile();
    const uint64_t ew = bits == 1 ? 1 : bits / 8;
    const uint32_t k = g.cell_dims();
    std::vector<uint64_t> cell_str(k), tile_str(k), ntile_str(k), tc(k), e(k), u(k);
    for (uint32_t i = 0; i < k; ++i) {
        cell_str[i] = i == 0 ? 1 : cell_str[i - 1] * g.cube[i - 1];
        tile_str[i] = i == 0 ? 1 : tile_str[i - 1] * g.tile[i - 1];
        ntile_str[i] = i == 0 ? 1 : ntile_str[i - 1] * g.ntiles[i - 1];
    }
    for (uint64_t r = pos / H; r * H < pos + n; ++r) {
        const uint64_t q0 = std::max(pos, r * H);
        const uint64_t q1 = std::min(pos + n, (r + 1) * H);
        if (g.whole_cells) {
            // One tile holds these rows' cells back to back: one copy.
            copy_run(base + r * stride, (q0 - r * H) * G, out, (q0 - pos) * G, (q1 - q0) * G, bits);
            continue;
        }
        // Visit each tile of this row of tiles once and copy its piece of
        // every row's cell.
        std::fill(tc.begin(), tc.end(), 0);
        for (;;) {
            uint64_t number = r * g.slab_tiles;
            uint64_t cell0 = 0;
            for (uint32_t i = 0; i < k; ++i) {
                number += tc[i] * ntile_str[i];
                cell0 += tc[i] * g.tile[i] * cell_str[i];
                e[i] = std::min(g.tile[i], g.cube[i] - tc[i] * g.tile[i]);
            }
            const uint8_t* t = base + number * stride;
            for (uint64_t p = q0; p < q1; ++p) {
                uint8_t* cell = out + (p - pos) * G * ew;
                const uint64_t tile_row = (p - r * H) * g.tile_cell_elements;
                std::fill(u.begin(), u.end(), 0);
                for (;;) {
                    uint64_t ti = tile_row, ci = cell0;
                    for (uint32_t i = 1; i < k; ++i) {
                        ti += u[i] * tile_str[i];
                        ci += u[i] * cell_str[i];
                    }
                    copy_run(t, ti, cell, ci, e[0], bits);
                    uint32_t i = 1;
                    for (; i < k; ++i) {
                        if (++u[i] < e[i]) break;
                        u[i] = 0;
                    }
                    if (i >= k) break;
                }
            }
            uint32_t i = 0;
            for (; i < k; ++i) {
                if (++tc[i] < g.ntiles[i]) break;
                tc[i] = 0;
            }
            if (i == k) break;
        }
    }
}

}  // namespace orvala

// The geometry of a tiled hypercube: how the cells of a cube map onto its
// tiles, and the copy of cells out of tile data. Tiles are numbered with the
// first axis varying fastest; inside a tile the elements are in storage order
// over the whole tile shape. A tile that equals the cube on every cell axis
// holds whole cells, the cells of consecutive rows one after another.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <vector>

namespace orvala {

struct TileGrid {
    // d axes: the cell axes, then the row axis.
    std::vector<uint64_t> cube;
    std::vector<uint64_t> tile;
    std::vector<uint64_t> ntiles;  // per axis: ceil(cube / tile); 0 for an empty axis
    uint64_t cell_elements = 1;    // product of the cube's cell axes
    uint64_t tile_elements = 1;    // product of the whole tile shape
    uint64_t tile_cell_elements = 1;  // product of the tile's cell axes
    uint64_t slab_tiles = 1;       // tiles across one row of tiles (product of ntiles over cell axes)
    uint64_t total_tiles = 0;
    bool whole_cells = true;       // tile == cube on every cell axis

    uint32_t cell_dims() const { return static_cast<uint32_t>(cube.size()) - 1; }
    uint64_t rows() const { return cube.back(); }
    uint64_t rows_per_tile() const { return tile.back(); }
};

enum class TileGridFault {
    Malformed,  // dimensionality mismatch, no axes, or a tile extent <= 0 on an axis with elements
    Negative,   // a negative cube extent
    TooLarge,   // a product of extents that does not fit 64 bits
};

// Checks and derives the grid. A tile extent of 0 is accepted only on an
// axis whose cube extent is 0 (a cube without elements).
std::expected<TileGrid, TileGridFault> make_tile_grid(std::span<const int64_t> cube, std::span<const int64_t> tile);

// Bytes of one column's part of a tile: ceil(tile elements × bits / 8), or
// none on overflow.
std::optional<uint64_t> tile_part_bytes(const TileGrid& grid, uint32_t element_bits);

// Tile number and end byte (relative to the cube's first tile, for tiles of
// `stride` bytes with the column's part `part_bytes` long at `part_offset`)
// of the last tile that rows [pos, pos + n) touch. n > 0, pos + n <= rows.
uint64_t last_tile_end(const TileGrid& grid, uint64_t pos, uint64_t n, uint64_t stride, uint64_t part_offset,
                       uint64_t part_bytes);

// Copies the cells at row positions [pos, pos + n) into `out`, cell after
// cell, each cell_elements elements in storage order. `base` is the start
// of the column's part of tile 0; tile t's part starts at base + t × stride.
// Elements of `element_bits` bits: 1 is packed Bool, copied to one byte 0 or
// 1 each; others are copied as their bytes. Every tile touched must lie in
// the mapped data (see last_tile_end); no tile is visited twice.
void copy_tile_cells(const TileGrid& grid, const uint8_t* base, uint64_t stride, uint32_t element_bits, uint64_t pos,
                     uint64_t n, uint8_t* out);

}  // namespace orvala

// The tiled storage managers ("TiledColumnStMan", "TiledShapeStMan"): array
// columns kept as hypercubes. A cube's axes are the cell axes in storage
// order (first axis varying fastest) and then the rows; the cube is cut into
// tiles of equal shape, stored one after another in a tile data file.
//
// Files of the data manager with sequence number N:
//   "table.f<N>"          the header, always big-endian:
//       top-level "TiledColumnStMan" { IPosition default tile shape } or
//       "TiledShapeStMan" {}, then a nested "TiledStMan" object:
//         [v2+: bool big-endian] u32 seq; rows (u32, v3+: u64); u32 c;
//         c × i32 data types; string hypercolumn; u32 cache size;
//         i32 cube ndim; file count and entries { bool present [u32 version,
//         u32 seq k, length] }; cube count and cubes { u32 version; a values
//         object (skipped); bool extensible; i32 ndim; IPosition cube shape;
//         IPosition tile shape; i32 file k (negative: no data); offset
//         (u32 in cube version 1, else u64) }  (counts and lengths u32 up to
//         v2, u64 from v3)
//       "TiledShapeStMan" then: IPosition default tile shape; u32 m; three
//       Blocks of m u32: the last row of each run of rows (ascending), the
//       cube of the run, the position of that last row in the cube.
//   "table.f<N>_TSM<k>"   tile data in the table's byte order.
//
// Tile data: tiles are numbered with the first cube axis varying fastest
// (the rows last) and stored in that order from the cube's file offset. A
// tile holds, per column of the manager in turn, the column's elements over
// the whole tile shape in storage order (also the parts of edge tiles that
// lie outside the cube), packed to ceil(elements × bits / 8) bytes. Element
// bits: Bool 1 (least significant bit first), Char/UChar 8, Short/UShort 16,
// Int/UInt/Float 32, Double/Complex/Int64 64, DComplex 128.
//
// Tiles that hold whole cells (the tile equals the cube on every cell axis,
// as this system writes them) put a run of rows of one tile into one
// contiguous region; other tilings split a cell over several tiles and the
// reader assembles it from the pieces. Every offset, shape and count is
// checked against the mapped files.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "aipsio.h"
#include "datafile.h"
#include "record.h"
#include "storage_write.h"
#include "tabledesc.h"
#include "tsm_tiles.h"

namespace orvala {

struct TsmError {
    struct AipsIo {
        AipsIoError error;
    };
    struct FileIo {
        FileIoError error;
    };
    struct UnexpectedType {
        std::string found;
        std::string expected;
    };
    struct UnknownDataType {
        int32_t code;
    };
    // A tile region beyond the end of its tile data file.
    struct RowOutside {
        uint64_t row;
        uint64_t rows;
    };
    // A malformed tiling: a tile extent of 0 or below where the cube has
    // elements, or a tile of another dimensionality than its cube.
    struct TilesSmaller {
        std::vector<int64_t> cube;
        std::vector<int64_t> tile;
    };
    struct MissingTileFile {
        std::string path;
    };
    struct UnsupportedType {
        DataType type;
    };
    // cell_location of a cell that is not one contiguous region of one tile
    // (its tiles split the cell, or are wider than it).
    struct SplitCell {
        uint64_t row;
    };
    // Any other fault of a file or of the values handed in; the text says
    // what.
    struct Message {
        std::string text;
    };

    std::variant<AipsIo, FileIo, UnexpectedType, UnknownDataType, RowOutside, TilesSmaller, MissingTileFile,
                 UnsupportedType, SplitCell, Message>
        v;

    // AipsIo, FileIo: the inner message;
    // unexpected object type "F", expected "TiledColumnStMan"
    // unknown DataType value N
    // row R outside the N rows of the tiled data
    // tiles smaller than the cell are not supported (cube [..], tile [..])
    // tile data file P does not exist
    // unsupported tiled element type T
    // cell of row R is not one contiguous piece of a tile
    // Message: its text
    std::string message() const;
};

template <class T>
using TsmResult = std::expected<T, TsmError>;

enum class TsmKind { TiledColumn, TiledShape };

struct TsmTileFile {
    uint32_t version = 0;
    uint32_t seq = 0;  // k of "table.f<N>_TSM<k>"
    uint64_t length = 0;
};

struct TsmCube {
    uint32_t version = 0;
    bool extensible = false;
    int32_t ndim = 0;
    std::vector<int64_t> cube_shape;  // cell axes in storage order, then rows
    std::vector<int64_t> tile_shape;
    int32_t file = -1;  // tile data file k; negative for a cube without data
    uint64_t offset = 0;
};

struct TsmHeader {
    TsmKind kind = TsmKind::TiledColumn;
    std::string type_name;                    // "TiledColumnStMan" or "TiledShapeStMan"
    std::vector<int64_t> default_tile_shape;
    uint32_t version = 0;                     // of the "TiledStMan" object
    bool big_endian_flag = false;             // as stored (the table's flag decides)
    uint32_t seq = 0;
    uint64_t rows = 0;
    std::vector<DataType> data_types;         // per column; element types for arrays
    std::string hypercolumn;
    uint32_t max_cache_size = 0;
    int32_t ndim = 0;
    std::vector<std::optional<TsmTileFile>> files;
    std::vector<TsmCube> cubes;
    // TiledShapeStMan only, checked: equal lengths, row map strictly
    // ascending, every cube-map entry names a cube.
    std::vector<uint32_t> row_map;
    std::vector<uint32_t> cube_map;
    std::vector<uint32_t> pos_map;
};

// Parses a header file image.
TsmResult<TsmHeader> parse_header(std::span<const uint8_t> bytes);
// A nested "Block" of u32 that must hold exactly `count` elements.
TsmResult<std::vector<uint32_t>> read_block(Reader& r, uint32_t count);

// Bits per element in tile data, none for types without tiled storage.
std::optional<uint32_t> tsm_element_bits(DataType type);

// The byte region of one cell that lies whole in one tile.
struct CellLocation {
    uint32_t cube = 0;
    int32_t file = 0;         // tile data file k
    uint64_t offset = 0;      // first byte in that file
    uint64_t length = 0;      // bytes spanned, counting from `offset`
    uint32_t bit_offset = 0;  // of the first element in the first byte (Bool only; else 0)
    uint64_t elements = 0;

    auto operator<=>(const CellLocation&) const = default;
};

class TsmFile {
public:
    // Maps "<dir>/table.f<seq>", parses it, and maps the tile data file of
    // every cube that has one. `big_endian` is the table's byte order, which
    // the tile data use.
    static TsmResult<TsmFile> open(const std::string& dir, uint32_t seq, bool big_endian);
    // The same over images in memory: the header and (k, tile data) pairs.
    // A cube naming a file not given fails as a missing tile data file.
    static TsmResult<TsmFile> from_buffers(Buffer header, std::vector<std::pair<uint32_t, Buffer>> tile_files,
                                           bool big_endian);

    const TsmHeader& header() const { return header_; }
    bool big_endian() const { return big_endian_; }
    // The mapped tile data file k, if the manager has one.
    const Buffer* tile_file(uint32_t k) const;

    // The C-order cell shape of the cube holding `row`; none when no cube
    // stores the row.
    TsmResult<std::optional<std::vector<uint32_t>>> cell_shape(uint64_t row) const;

    // The region of the row's cell in column `column` of the manager; none
    // when no cube stores the row. A cell split over tiles gives SplitCell.
    TsmResult<std::optional<CellLocation>> cell_location(uint64_t row, uint32_t column = 0) const;

    // One cell as an array of C-order shape; none when no cube stores the
    // row. `type` is the column's element type; it must be the header's.
    TsmResult<std::optional<ArrayValue>> read_cell(uint64_t row, DataType type, uint32_t column = 0) const;
    // Rows [first, first + count), decoding every tile at most once.
    TsmResult<std::vector<std::optional<ArrayValue>>> read_column(DataType type, uint64_t first, uint64_t count,
                                                                   uint32_t column = 0) const;
    // The elements of rows [first, first + count) into `out`, cell after
    // cell, each cell `cell_elements` elements of tsm_element_bytes(type)
    // bytes: Bool as one byte 0 or 1, other types in the file's byte order.
    // A row that no cube stores gives zeros; a stored cell of another
    // element count is an error. A run of rows inside one tile of whole
    // cells is one copy.
    TsmResult<void> read_cells_raw(DataType type, uint64_t first, uint64_t count, uint64_t cell_elements,
                                   std::span<uint8_t> out, uint32_t column = 0) const;

private:
    // Where the cells of a cube lie; derived from the header at open.
    struct CubeLayout {
        std::optional<TsmError> error;  // a malformed tiling: every access fails with it
        TileGrid grid;
        uint64_t rows = 0;              // the cube's row extent
        int64_t file_index = -1;        // into files_; -1: no data
        uint64_t tile_stride = 0;       // bytes of one tile, all columns
        std::vector<uint64_t> column_offset;  // of each column's part of a tile
    };
    // A run of rows stored in one cube (or in none).
    struct Segment {
        uint64_t rows = 0;
        std::optional<uint32_t> cube;
        uint64_t position = 0;  // of the first row along the cube's row axis
    };

    TsmFile() = default;
    static TsmResult<TsmFile> build(Buffer header, std::vector<std::pair<uint32_t, Buffer>> tile_files,
                                    bool big_endian, const std::string* dir, uint32_t seq);
    void lay_out_cubes();
    Segment segment_at(uint64_t row, uint64_t max_rows) const;
    TsmResult<uint32_t> check_column(uint32_t column, std::optional<DataType> type) const;
    TsmResult<const CubeLayout*> usable_cube(uint32_t cube) const;
    // Copies the cells at positions [pos, pos + n) of a cube into `out` in
    // the raw form of read_cells_raw; `row` is the table row of `pos`.
    TsmResult<void> copy_cells(const CubeLayout& cube, uint32_t column, uint64_t row, uint64_t pos, uint64_t n,
                               uint8_t* out) const;

    Buffer header_buffer_;
    TsmHeader header_;
    std::vector<std::pair<uint32_t, Buffer>> files_;
    std::vector<CubeLayout> layouts_;
    // TiledColumnStMan: the first row of each cube that has rows, in cube
    // order, and the row after the last.
    std::vector<std::pair<uint64_t, uint32_t>> cube_starts_;
    uint64_t cube_rows_end_ = 0;
    bool big_endian_ = false;
};

// Bytes per element in the raw form of read_cells_raw: Bool 1, else the
// stored width.
uint32_t tsm_element_bytes(DataType type);

// A cell's elements from its stored bytes (`count` elements from the first
// byte; Bool bits from bit 0), in the given byte order.
TsmResult<ArrayData> decode_tile_data(std::span<const uint8_t> bytes, DataType type, uint64_t count,
                                      bool big_endian);
// Appends `count` packed Bool bits, starting at bit `bit_offset` of `bytes`
// (least significant bit first). `bytes` must hold them.
void decode_bits_into(std::span<const uint8_t> bytes, uint64_t bit_offset, uint64_t count, std::vector<bool>& out);

// ---- writing ----

struct TsmImage {
    std::vector<uint8_t> header;     // "table.f<N>"
    std::vector<uint8_t> tile_data;  // "table.f<N>_TSM<file_number>"
    uint32_t file_number = 0;
};

// The files of a tiled data manager of type `type_name` holding the column
// of `desc` at `positions` (which must name exactly one array column), with
// `values[0]` its cells over `rows` rows. Each tile holds whole cells (512
// KiB of cell data per tile); every cell must have the column's cell shape
// (the fixed shape, else the shape of the first array cell), which is
// checked for all cells before anything is built.
std::expected<TsmImage, StorageWriteError> build_tsm_data(std::string_view type_name, uint32_t seq,
                                                          std::string_view dm_name, const TableDesc& desc,
                                                          std::span<const uint32_t> positions,
                                                          std::span<const std::vector<RecordValue>> values,
                                                          uint64_t rows);

// The header image for one cube of `rows` cells of `cell_shape` (storage
// order) in tiles of `rows_per_tile` rows, its tile data `tile_bytes` long.
std::vector<uint8_t> tsm_header(TsmKind kind, uint32_t seq, std::string_view dm_name, DataType element,
                                std::span<const int64_t> cell_shape, uint64_t rows, uint64_t rows_per_tile,
                                uint64_t tile_bytes);

// A cell's elements in storage order as tile data: Bool packed into
// ceil(n / 8) bytes, else n elements of the stored width in the given byte
// order. The array's elements must be of the column's element type `type`
// (Char and UChar alike).
TsmResult<std::vector<uint8_t>> tsm_encode_cell(const ArrayValue& value, DataType type, bool little_endian);

// ORs the first `nbits` bits of `bits` (least significant first) into `dst`
// starting at bit `bit_offset`.
void or_bytes_at(std::span<uint8_t> dst, uint64_t bit_offset, std::span<const uint8_t> bits, uint64_t nbits);

}  // namespace orvala

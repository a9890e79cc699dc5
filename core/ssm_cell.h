// Cells of the bucket storage managers: their sizes, and the codecs between a
// cell's stored bytes and a value. Shared by the StandardStMan reader and
// writer and by the IncrementalStMan, whose scalar cells are encoded alike.
//
// Cell bytes by column type (numbers in the file's byte order; Complex and
// DComplex are real part, then imaginary part):
//   Bool                 1 bit in StandardStMan data buckets (row i of a
//                        bucket is bit i%8, LSB first, of byte i/8); one
//                        byte (0 or 1) where a byte is stored
//   Char, UChar          1        Short, UShort            2
//   Int, UInt, Float     4        Double, Complex, Int64   8
//   DComplex             16
//   String, maxlen > 0   maxlen bytes: the text, cut at maxlen, zero-padded
//   String, maxlen <= 0  12 bytes: i32 length L at 8; L <= 8: the text in
//                        bytes 0..L-1; L > 8: i32 string bucket at 0, i32
//                        offset in its data area at 4
//   String array, record 12 bytes: i32 bucket, offset, length of the content
//                        in the string buckets
//   other arrays         8 bytes: i64 position in the array file, 0 = none
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "record.h"
#include "ssm_error.h"
#include "tabledesc.h"

namespace orvala {

enum class CellKind : uint8_t { Scalar, Array, Record };

// What the cell codecs need to know of a column. `data_type` is the scalar
// type, or the element type of an array column, or Record.
struct CellColumn {
    std::string_view name;
    DataType data_type = DataType::Int;
    CellKind kind = CellKind::Scalar;
    int32_t maxlen = 0;
};

// The codecs' view of a column description (it borrows the name).
CellColumn cell_column(const ColumnDesc& desc);

// Bits per row of the column's cell in a StandardStMan data bucket: 1 for a
// Bool scalar, otherwise 8 x the cell's bytes. Types without a cell (Table,
// Other, ...) give NotScalar.
SsmResult<uint32_t> cell_bits(const CellColumn& column);

// Bytes per element in array files and element regions: Bool counts 1 here
// (the regions pack 8 per byte); 0 for types that have no fixed-width
// element (String, Table, Record, ...).
uint32_t element_size(DataType element);
// Bytes that n elements occupy in an array file (Bool: (n + 7) / 8).
uint64_t element_bytes(DataType element, uint64_t n);

// The reference of a 12-byte string cell (variable string, string array or
// record): bucket, offset in the bucket's data area, length.
struct StringRef {
    int32_t bucket = 0;
    int32_t offset = 0;
    int32_t length = 0;
};
// `cell` must hold 12 bytes.
StringRef parse_string_ref(std::span<const uint8_t> cell, bool big_endian);

// Text from a data file: UTF-8 with each invalid sequence replaced by U+FFFD.
void append_text(std::string& out, std::span<const uint8_t> bytes);
std::string decode_text(std::span<const uint8_t> bytes);

// The value of one scalar cell. `cell` must hold the cell's bytes (for Bool
// at least one byte; the value is bit `bit` of it). Char reads as UChar. A
// variable string longer than 8 bytes gives StringInBuckets (bucket number
// and length): read it with StandardStManFile::read_long_string. A type
// without a scalar cell gives NotScalar with the column's name.
SsmResult<RecordValue> decode_scalar(std::span<const uint8_t> cell, const CellColumn& column, bool big_endian,
                                     unsigned bit = 0);

// The bytes of one scalar cell, converting the value as the AipsIO scalar
// writer does (Int into Short keeps the low 16 bits, Double into Float
// rounds, ...); a value that does not convert gives the type's zero.
//   Bool: one byte, 1 for a Bool true or a non-zero UChar, else 0.
//   String, maxlen > 0: maxlen bytes (a non-string value gives zeros).
//   String, maxlen <= 0: the 12-byte inline form; a text longer than 8 bytes
//   gives StringInBuckets (bucket 0, the length): the caller stores it in a
//   string bucket.
//   Types without a scalar cell give NotScalar (no column name).
SsmResult<std::vector<uint8_t>> encode_scalar_cell(bool big_endian, int32_t maxlen, DataType type,
                                                   const RecordValue& value);
// The same into `out`, which must hold exactly the cell's bytes
// (cell_bits / 8, or 1 for Bool); every byte of `out` is written.
SsmResult<void> encode_scalar_cell_into(std::span<uint8_t> out, bool big_endian, int32_t maxlen, DataType type,
                                        const RecordValue& value);

// Appends the elements of an array-file array: storage order, the element
// sizes above (Bool packed 8 per byte, LSB first, unused high bits zero).
// Elements of another type than `element` convert as scalar cells do.
// `element` without a fixed-width element gives UnsupportedArrayElement.
SsmResult<void> encode_array_data(std::vector<uint8_t>& out, bool big_endian, DataType element,
                                  const ArrayData& data);

// String-array content as kept in string buckets, always big-endian: u32
// ndim; ndim u32 extents, first axis first; u32 1; then per element in
// storage order a u32 byte length and the bytes. `c_shape` lists the axes in
// C order (as cell arrays carry them); elements that are not strings are
// stored as empty strings.
std::vector<uint8_t> encode_string_array_content(std::span<const uint32_t> c_shape, const ArrayData& data);
// Its size in bytes, without building it.
uint64_t string_array_content_size(std::span<const uint32_t> c_shape, const ArrayData& data);

// The content decoded: the shape in C order (stored extents reversed) and
// the strings in storage order.
struct StringArrayContent {
    std::vector<uint32_t> shape;
    std::vector<std::string> strings;
};
// A count or length with the top bit set, an element count that overflows,
// or content that runs past the end gives BadStringRef with bucket 0, the
// position reached and the value read there (0 when none).
SsmResult<StringArrayContent> decode_string_array_content(std::span<const uint8_t> bytes);

// One checked 32-bit read; none when fewer than 4 bytes follow `pos`.
std::optional<uint32_t> u32_at(std::span<const uint8_t> bytes, uint64_t pos, bool big_endian);

}  // namespace orvala

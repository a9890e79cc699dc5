// AipsIO, the serialisation stream of the table format.
//
// The stream is a run of fixed-width values with no tags and no padding; the
// only structure is the object: an optional magic word 0xBEBEBEBE (before a
// top-level object only), a u32 length counting from the length field itself
// to the object's last byte, the class name as a string, a u32 version, then a
// body whose layout the class defines. Multi-byte values are big-endian unless
// the stream is little-endian (a data file written in that order).
//
//   Reader r(bytes, /*little_endian=*/false);
//   auto head = r.read_object(/*magic=*/true, "Table");   // checks name
//   auto n = r.read_u32();
//
// Every read checks the bytes that remain and fails with `Truncated` without
// moving the position. Counts taken from the stream must be checked with
// `check_count` (or are checked by the reads that take them) before anything
// is allocated from them.
#pragma once

#include <complex>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace orvala {

inline constexpr uint32_t kAipsIoMagic = 0xBEBEBEBE;

struct AipsIoError {
    // A read of `needed` bytes at `offset` runs past a slice of `len` bytes.
    struct Truncated {
        uint64_t needed;
        uint64_t offset;
        uint64_t len;
    };
    struct BadMagic {
        uint64_t offset;
        uint32_t found;
    };
    // The string whose count field starts at `offset` is not UTF-8.
    struct BadString {
        uint64_t offset;
    };
    // `offset` is the body start of the object that has the wrong name.
    struct UnexpectedType {
        uint64_t offset;
        std::string expected;
        std::string found;
    };
    struct UnsupportedVersion {
        uint32_t version;
    };
    // An object length too small to hold its own header; `offset` is that of
    // the length field.
    struct BadLength {
        uint64_t offset;
        uint32_t length;
    };

    std::variant<Truncated, BadMagic, BadString, UnexpectedType, UnsupportedVersion, BadLength> v;

    // buffer too short: need N bytes at offset O, have L
    // bad AipsIO magic at offset O: expected 0xbebebebe, found 0x........
    // invalid string at offset O: not valid UTF-8
    // unexpected object type at offset O: expected "A", found "B"
    // unsupported object version V
    // bad object length L at offset O
    std::string message() const;
};

template <class T>
using AipsIoResult = std::expected<T, AipsIoError>;

// What precedes an object's body.
struct ObjectHeader {
    std::string type_name;
    uint32_t length = 0;      // from the length field to the object's last byte
    uint32_t version = 0;
    uint64_t start = 0;       // offset of the length field
    uint64_t body_start = 0;  // offset just after the version
    // Offset just past the object's last byte. read_object_start guarantees
    // body_start <= end() <= the slice's length.
    uint64_t end() const { return start + length; }
};

class Reader {
public:
    // Borrows `bytes`; offsets in errors are relative to its start. Cheap: a
    // reader over one bucket of a mapped file is just a sub-span.
    Reader(std::span<const uint8_t> bytes, bool little_endian) : bytes_(bytes), le_(little_endian) {}

    bool little_endian() const { return le_; }
    uint64_t position() const { return pos_; }
    uint64_t len() const { return bytes_.size(); }
    uint64_t remaining() const { return bytes_.size() - pos_; }
    std::span<const uint8_t> bytes() const { return bytes_; }

    // Moves to an absolute offset (at most len()).
    AipsIoResult<void> seek(uint64_t offset);
    AipsIoResult<void> skip(uint64_t n);
    // The next n bytes, borrowed from the slice.
    AipsIoResult<std::span<const uint8_t>> read_bytes(uint64_t n);

    AipsIoResult<uint8_t> read_u8();
    AipsIoResult<int8_t> read_i8();
    AipsIoResult<bool> read_bool();  // bit 0 of the byte
    AipsIoResult<uint16_t> read_u16();
    AipsIoResult<int16_t> read_i16();
    AipsIoResult<uint32_t> read_u32();
    AipsIoResult<int32_t> read_i32();
    AipsIoResult<uint64_t> read_u64();
    AipsIoResult<int64_t> read_i64();
    AipsIoResult<float> read_f32();
    AipsIoResult<double> read_f64();
    AipsIoResult<std::complex<float>> read_complex();
    AipsIoResult<std::complex<double>> read_dcomplex();
    // u32 byte count, then that many bytes of UTF-8.
    AipsIoResult<std::string> read_string();

    // Fails with Truncated (needed = count * min_bytes_each, offset = the
    // position) unless that many bytes remain. Use before allocating for a
    // count read from the stream.
    AipsIoResult<void> check_count(uint64_t count, uint64_t min_bytes_each) const;
    // read_u32 followed by check_count.
    AipsIoResult<uint32_t> read_count(uint64_t min_bytes_each);

    // Reads an object header, after the magic word when `magic`. The length
    // is checked: it must cover the header and lie within the slice.
    AipsIoResult<ObjectHeader> read_object_start(bool magic);
    // read_object_start, then the name must equal `expected` exactly.
    AipsIoResult<ObjectHeader> read_object(bool magic, std::string_view expected);
    // Moves to the end of an object read by this reader.
    AipsIoResult<void> skip_to_end(const ObjectHeader& header) { return seek(header.end()); }

    // A nested "IPosition" object (versions 1 and 2) as 64-bit values.
    AipsIoResult<std::vector<int64_t>> read_iposition();
    // A nested "Block" object header and its element count, checked against
    // the bytes that remain at `min_bytes_each` per element.
    AipsIoResult<uint32_t> read_block_start(uint64_t min_bytes_each);

private:
    AipsIoResult<const uint8_t*> take(uint64_t n);
    AipsIoError truncated(uint64_t needed, uint64_t offset) const;

    std::span<const uint8_t> bytes_;
    uint64_t pos_ = 0;
    bool le_;
};

class Writer {
public:
    explicit Writer(bool little_endian, size_t capacity = 0) : le_(little_endian) { out_.reserve(capacity); }

    bool little_endian() const { return le_; }
    size_t size() const { return out_.size(); }
    std::span<const uint8_t> bytes() const { return out_; }
    // The finished bytes. Every object must be closed (else InternalError).
    std::vector<uint8_t> take();

    void put_u8(uint8_t v) { out_.push_back(v); }
    void put_i8(int8_t v) { out_.push_back(static_cast<uint8_t>(v)); }
    void put_bool(bool v) { out_.push_back(v ? 1 : 0); }
    void put_u16(uint16_t v);
    void put_i16(int16_t v) { put_u16(static_cast<uint16_t>(v)); }
    void put_u32(uint32_t v);
    void put_i32(int32_t v) { put_u32(static_cast<uint32_t>(v)); }
    void put_u64(uint64_t v);
    void put_i64(int64_t v) { put_u64(static_cast<uint64_t>(v)); }
    void put_f32(float v);
    void put_f64(double v);
    void put_complex(std::complex<float> v) { put_f32(v.real()); put_f32(v.imag()); }
    void put_dcomplex(std::complex<double> v) { put_f64(v.real()); put_f64(v.imag()); }
    void put_string(std::string_view s);
    void put_bytes(std::span<const uint8_t> b) { out_.insert(out_.end(), b.begin(), b.end()); }
    // Grows the output by n bytes and returns where they start, for callers
    // that encode a run of values in place. Valid until the next put.
    uint8_t* append(size_t n) {
        size_t at = out_.size();
        out_.resize(at + n);
        return out_.data() + at;
    }
    // Overwrites 4 bytes already written at `offset`.
    void patch_u32(size_t offset, uint32_t v);

    // Before a top-level object.
    void put_magic() { put_u32(kAipsIoMagic); }
    // Writes the header with a placeholder length and opens the object.
    void put_object_start(std::string_view type_name, uint32_t version);
    // Closes the innermost open object, back-patching its length.
    void put_object_end();
    // A nested "IPosition" version 1 (each extent as its low 32 bits).
    void put_iposition(std::span<const int64_t> extents);

private:
    std::vector<uint8_t> out_;
    std::vector<uint64_t> open_;
    bool le_;
};

}  // namespace orvala

// Receivers of the raw column path (Table::getcol_raw): the stored bytes of
// the cells of consecutive rows, in the data file's byte order, handed over a
// whole contiguous run at a time (a bucket's region of a StandardStMan
// column, a tile's run of cells, an IncrementalStMan value repeated over its
// rows) -- never a call per cell where the file keeps cells together.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>

#include "table_read_error.h"

namespace orvala {

class RawSink {
public:
    virtual ~RawSink() = default;

    // `bytes` holds `ncells` whole cells of consecutive rows, each
    // bytes.size() / ncells bytes long.
    virtual TableReadResult<void> put_run(std::span<const uint8_t> bytes, uint64_t ncells) = 0;
    // One stored cell that holds for `ncells` consecutive rows.
    virtual TableReadResult<void> put_repeated(std::span<const uint8_t> cell, uint64_t ncells) = 0;

    // Optional in-place delivery, for producers that assemble cells rather
    // than find them whole in a file (tiled data): the writable bytes where
    // the next `ncells` cells go, or an empty span when the sink offers no
    // such window (the producer then calls put_run). A producer that got a
    // window fills all of it with the cells in the file's byte order and then
    // calls commit(ncells).
    virtual std::span<uint8_t> window(uint64_t ncells) { return {}; }
    virtual TableReadResult<void> commit(uint64_t ncells) { return {}; }
};

// The standard sink: copies cells into a caller's buffer of `capacity` bytes,
// one after another. With `swap_unit` 2, 4 or 8 every unit of that many
// bytes is byte-swapped on the way (each part of a complex number is a
// unit); 0 copies unchanged. Every run is checked first: a cell that is not
// `cell_bytes` long, or cells beyond the space left, fail with
// RawUnsupported (column left empty) and nothing of that run is written.
class BufferSink final : public RawSink {
public:
    BufferSink(void* dst, size_t capacity, size_t cell_bytes, size_t swap_unit);

    TableReadResult<void> put_run(std::span<const uint8_t> bytes, uint64_t ncells) override;
    TableReadResult<void> put_repeated(std::span<const uint8_t> cell, uint64_t ncells) override;
    std::span<uint8_t> window(uint64_t ncells) override;
    TableReadResult<void> commit(uint64_t ncells) override;

    // Bytes filled so far.
    size_t written() const { return written_; }

private:
    TableReadResult<uint64_t> room_for(uint64_t cell_len, uint64_t ncells) const;

    uint8_t* dst_;
    size_t capacity_;
    size_t cell_bytes_;
    size_t swap_unit_;
    size_t written_ = 0;
};

// The swap unit for a sink over cells whose elements are of type `element`
// (Bool ... DComplex), stored in big-endian files when `file_big_endian`:
// 0 when that order is the machine's or the elements are single bytes, else
// the width of one number (Complex 4, DComplex 8).
size_t raw_swap_unit(DataType element, bool file_big_endian);

// Copies `n` bytes, swapping each unit of `unit` bytes (2, 4 or 8; 0 or 1:
// plain copy). `src` and `dst` may be the same pointer.
void copy_swapped(uint8_t* dst, const uint8_t* src, size_t n, size_t unit);

}  // namespace orvala

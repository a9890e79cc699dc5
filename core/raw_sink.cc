#include "raw_sink.h"

#include <bit>
#include <cstring>
#include <string>

namespace orvala {

namespace {

TableReadError unsupported(std::string reason) {
    return TableReadError{TableReadError::RawUnsupported{std::string(), std::move(reason)}};
}

template <class U>
void swap_units(uint8_t* dst, const uint8_t* src, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        U v;
        std::memcpy(&v, src + i * sizeof(U), sizeof(U));
        v = std::byteswap(v);
        std::memcpy(dst + i * sizeof(U), &v, sizeof(U));
    }
}

}  // namespace

void copy_swapped(uint8_t* dst, const uint8_t* src, size_t n, size_t unit) {
    switch (unit) {
        case 2: swap_units<uint16_t>(dst, src, n / 2); break;
        case 4: swap_units<uint32_t>(dst, src, n / 4); break;
        case 8: swap_units<uint64_t>(dst, src, n / 8); break;
        default:
            if (dst != src && n > 0) std::memcpy(dst, src, n);
    }
}

size_t raw_swap_unit(DataType element, bool file_big_endian) {
    if (file_big_endian == (std::endian::native == std::endian::big)) return 0;
    switch (element) {
        case DataType::Short:
        case DataType::UShort: return 2;
        case DataType::Int:
        case DataType::UInt:
        case DataType::Float:
        case DataType::Complex: return 4;
        case DataType::Double:
        case DataType::Int64:
        case DataType::DComplex: return 8;
        default: return 0;
    }
}

BufferSink::BufferSink(void* dst, size_t capacity, size_t cell_bytes, size_t swap_unit)
    : dst_(static_cast<uint8_t*>(dst)), capacity_(capacity), cell_bytes_(cell_bytes), swap_unit_(swap_unit) {}

TableReadResult<uint64_t> BufferSink::room_for(uint64_t cell_len, uint64_t ncells) const {
    if (cell_len != cell_bytes_)
        return std::unexpected(unsupported("stored cell has " + std::to_string(cell_len) + " bytes, expected " +
                                           std::to_string(cell_bytes_)));
    const uint64_t left = capacity_ - written_;
    if (ncells > 0 && (cell_len > left || ncells > left / (cell_len == 0 ? 1 : cell_len)))
        return std::unexpected(unsupported(std::to_string(ncells) + " cells of " + std::to_string(cell_len) +
                                           " bytes do not fit the " + std::to_string(left) +
                                           " bytes left in the buffer"));
    return ncells * cell_len;
}

TableReadResult<void> BufferSink::put_run(std::span<const uint8_t> bytes, uint64_t ncells) {
    // The common case without a division: exactly ncells cells of our size
    // that fit the space left.
    uint64_t want;
    if (__builtin_mul_overflow(ncells, uint64_t{cell_bytes_}, &want) || want != bytes.size() ||
        want > capacity_ - written_) {
        if (ncells == 0)
            return std::unexpected(unsupported("a run of no cells holds " + std::to_string(bytes.size()) + " bytes"));
        if (bytes.size() % ncells != 0)
            return std::unexpected(unsupported("a run of " + std::to_string(ncells) + " cells holds " +
                                               std::to_string(bytes.size()) + " bytes"));
        auto n = room_for(bytes.size() / ncells, ncells);
        if (!n) return std::unexpected(n.error());
    }
    copy_swapped(dst_ + written_, bytes.data(), want, swap_unit_);
    written_ += want;
    return {};
}

TableReadResult<void> BufferSink::put_repeated(std::span<const uint8_t> cell, uint64_t ncells) {
    auto n = room_for(cell.size(), ncells);
    if (!n) return std::unexpected(n.error());
    if (*n == 0) return {};
    uint8_t* out = dst_ + written_;
    copy_swapped(out, cell.data(), cell.size(), swap_unit_);
    // Double the filled part until the run is complete.
    for (size_t done = cell.size(); done < *n;) {
        const size_t step = done < *n - done ? done : *n - done;
        std::memcpy(out + done, out, step);
        done += step;
    }
    written_ += *n;
    return {};
}

std::span<uint8_t> BufferSink::window(uint64_t ncells) {
    auto n = room_for(cell_bytes_, ncells);
    if (!n || *n == 0) return {};
    return {dst_ + written_, static_cast<size_t>(*n)};
}

TableReadResult<void> BufferSink::commit(uint64_t ncells) {
    auto n = room_for(cell_bytes_, ncells);
    if (!n) return std::unexpected(n.error());
    copy_swapped(dst_ + written_, dst_ + written_, *n, swap_unit_);
    written_ += *n;
    return {};
}

}  // namespace orvala

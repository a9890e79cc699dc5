// Loading and storing fixed-width values in either byte order. The table
// format's canonical order is big-endian; data files may be little-endian.
// These work on unaligned bytes (memcpy), so they can decode in place from a
// memory-mapped file.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace orvala {

template <class T>
inline T load_le_or_be(const uint8_t* p, bool little_endian) {
    T v;
    std::memcpy(&v, p, sizeof v);
    if (little_endian != (std::endian::native == std::endian::little)) v = std::byteswap(v);
    return v;
}

template <class T>
inline void store_le_or_be(uint8_t* p, T v, bool little_endian) {
    if (little_endian != (std::endian::native == std::endian::little)) v = std::byteswap(v);
    std::memcpy(p, &v, sizeof v);
}

inline uint16_t load_u16(const uint8_t* p, bool le) { return load_le_or_be<uint16_t>(p, le); }
inline uint32_t load_u32(const uint8_t* p, bool le) { return load_le_or_be<uint32_t>(p, le); }
inline uint64_t load_u64(const uint8_t* p, bool le) { return load_le_or_be<uint64_t>(p, le); }
inline int16_t load_i16(const uint8_t* p, bool le) { return static_cast<int16_t>(load_u16(p, le)); }
inline int32_t load_i32(const uint8_t* p, bool le) { return static_cast<int32_t>(load_u32(p, le)); }
inline int64_t load_i64(const uint8_t* p, bool le) { return static_cast<int64_t>(load_u64(p, le)); }
inline float load_f32(const uint8_t* p, bool le) { return std::bit_cast<float>(load_u32(p, le)); }
inline double load_f64(const uint8_t* p, bool le) { return std::bit_cast<double>(load_u64(p, le)); }

inline void store_u16(uint8_t* p, uint16_t v, bool le) { store_le_or_be(p, v, le); }
inline void store_u32(uint8_t* p, uint32_t v, bool le) { store_le_or_be(p, v, le); }
inline void store_u64(uint8_t* p, uint64_t v, bool le) { store_le_or_be(p, v, le); }

}  // namespace orvala

#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

namespace mdf {

// Little-endian loads and stores. Callers check bounds before they call; every offset that
// comes from untrusted bytes goes through inBounds first.
inline std::uint16_t loadU16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
inline std::int16_t loadI16(const std::uint8_t* p) {
    return static_cast<std::int16_t>(loadU16(p));
}
inline std::uint32_t loadU32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
inline std::int32_t loadI32(const std::uint8_t* p) {
    return static_cast<std::int32_t>(loadU32(p));
}
inline std::uint64_t loadU64(const std::uint8_t* p) {
    return static_cast<std::uint64_t>(loadU32(p)) |
           (static_cast<std::uint64_t>(loadU32(p + 4)) << 32);
}
inline std::int64_t loadI64(const std::uint8_t* p) {
    return static_cast<std::int64_t>(loadU64(p));
}

inline void storeU16(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}
inline void storeU32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
inline void storeU64(std::uint8_t* p, std::uint64_t v) {
    for (int i = 0; i < 8; ++i)
        p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// True when [offset, offset + width) lies inside a buffer of size bytes; offset may be negative.
inline bool inBounds(std::int64_t offset, std::int64_t width, std::size_t size) {
    return offset >= 0 && width >= 0 && offset <= static_cast<std::int64_t>(size) - width;
}

inline std::uint32_t rotateRight32(std::uint32_t v, unsigned n) {
    n &= 31;
    return n == 0 ? v : (v >> n) | (v << (32 - n));
}
inline std::uint32_t rotateLeft32(std::uint32_t v, unsigned n) {
    n &= 31;
    return n == 0 ? v : (v << n) | (v >> (32 - n));
}

}  // namespace mdf

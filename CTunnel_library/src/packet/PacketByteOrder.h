#pragma once

#include <cstddef>
#include <cstdint>

namespace zan {

// Explicit little- and big-endian loads and stores for wire fields, so no
// field is ever written through a cast pointer. The caller has checked that
// the bytes are inside its buffer.
namespace PacketByteOrder {

template <typename T>
inline T LoadLe(const uint8_t* bytes)
{
    T value = 0;
    for (size_t i = 0; i < sizeof(T); ++i) {
        value |= static_cast<T>(static_cast<T>(bytes[i]) << (8 * i));
    }
    return value;
}

template <typename T>
inline void StoreLe(uint8_t* bytes, T value)
{
    for (size_t i = 0; i < sizeof(T); ++i) {
        bytes[i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

inline uint16_t LoadBe16(const uint8_t* bytes)
{
    return static_cast<uint16_t>((bytes[0] << 8) | bytes[1]);
}

inline void StoreBe16(uint8_t* bytes, uint16_t value)
{
    bytes[0] = static_cast<uint8_t>(value >> 8);
    bytes[1] = static_cast<uint8_t>(value);
}

}  // namespace PacketByteOrder

} // namespace zan

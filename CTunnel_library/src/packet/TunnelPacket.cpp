#include "TunnelPacket.h"

#include "CZAN_DynamicBuffer.h"

#include <cstring>
#include <stdexcept>

namespace zan {

namespace {
constexpr size_t kAlignment = 32;
}

TunnelPacket::TunnelPacket(const TunnelPacket& other)
{
    *this = other;
}

TunnelPacket::~TunnelPacket()
{
    FreeAligned(data);
}

void TunnelPacket::ReplaceBlock(uint32_t size)
{
    // Allocate first: a failure leaves the old block and capacity in place.
    uint8_t* block = AllocateAligned(size, kAlignment);
    FreeAligned(data);
    data = block;
    capacity = size;
}

void TunnelPacket::Reserve(uint32_t size)
{
    if (size > capacity || data == nullptr) {
        ReplaceBlock(size);
    }
}

TunnelPacket& TunnelPacket::operator=(const TunnelPacket& src)
{
    if (this == &src) {
        return *this;
    }
    if (src.length != 0) {
        if (capacity < src.length || data == nullptr) {
            ReplaceBlock(src.length);
        }
        std::memcpy(data, src.data, src.length);
    } else {
        // An empty packet is copied block and all, so the copy keeps the
        // source's capacity (a receive buffer stays a receive buffer).
        if (data == nullptr || capacity < src.capacity) {
            ReplaceBlock(src.capacity);
        }
        if (src.capacity != 0) {
            std::memcpy(data, src.data, src.capacity);
        }
        capacity = src.capacity;
    }
    length = src.length;
    endpoint.port = src.endpoint.port;
    endpoint.address = src.endpoint.address;
    kind = src.kind;
    return *this;
}

void TunnelPacket::Assign(const void* bytes, uint32_t newLength, const PacketEndpoint& from,
                          uint8_t newKind)
{
    if (bytes == nullptr && newLength != 0) {
        throw std::invalid_argument("TunnelPacket::Assign: null data with a non-zero length");
    }
    if (newLength > capacity || data == nullptr) {
        ReplaceBlock(newLength);
    }
    if (newLength != 0) {
        std::memcpy(data, bytes, newLength);
    }
    length = newLength;
    endpoint.port = from.port;
    endpoint.address = from.address;
    kind = newKind;
}

} // namespace zan

// Input: one control byte, then the datagram (or, in round-trip mode, the
// payload).
//   (control & 0x0F) % 10  crypto type of the receiving end (0 to 9)
//   control & 0x10    multicast loop filter on
//   control & 0x20    re-sign: give an authenticated data packet a valid
//                     digest first, so the GCM tag check is reached
//   control & 0x40    round trip: build the payload into a packet and open
//                     it; it must come back unchanged
// Any read outside the datagram, any write outside the packet, or a wrong
// round trip aborts.

#include "TunnelPacketFormat.h"

#include <openssl/evp.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace zan {

namespace {

constexpr std::array<uint8_t, 32> kKey = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16,
                                          17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32};
constexpr std::array<uint8_t, 14> kSalt = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6,
                                           0xA7, 0xA8, 0xA9, 0xAA, 0xAB, 0xAC, 0xAD};

struct End {
    TunnelCrypto sender{123456};
    TunnelCrypto receiver{0};
};

// One sending and one receiving end per crypto type, keyed alike: types 1
// to 7 with a key text, type 8 with keys 1, 2 and 0x10003 (rekey period 5),
// type 9 refuses keys.
End& EndFor(int32_t type)
{
    static std::array<std::unique_ptr<End>, 10> ends;
    if (ends[type] == nullptr) {
        auto end = std::make_unique<End>();
        for (TunnelCrypto* crypto : {&end->sender, &end->receiver}) {
            crypto->SetCryptoType(type);
            crypto->SetSourceTag(type == 8 ? 0x0102030405060708 : 0x01020304);
            if (type > 0 && type < 8)
                (void)crypto->SetLegacyKey("fuzzing key");
            for (uint32_t id : {1u, 2u, 0x10003u})
                crypto->AddKey(id, kKey.data(), 32, kSalt.data(), 14, 5);
        }
        ends[type] = std::move(end);
    }
    return *ends[type];
}

// Writes a digest that the receiver accepts, when the packet names a key it
// has. Every kind byte is checked alike, so keep-alives reach the GCM check too.
void Resign(TunnelCrypto& receiver, std::vector<uint8_t>& datagram)
{
    using namespace TunnelPacketFormat;
    if (datagram.size() < kAuthOverhead || datagram[0] != kAuthenticatedFormat ||
        datagram[1] > kMaxKindByte) {
        return;
    }
    const uint16_t keyId = static_cast<uint16_t>(datagram[2] | (datagram[3] << 8));
    uint64_t counter = 0;
    for (int i = 0; i < 8; ++i)
        counter |= uint64_t{datagram[12 + i]} << (8 * i);
    std::lock_guard guard(receiver.ReceiveLock());
    if (!receiver.SelectReceiveKeys(keyId, counter))
        return;
    const TunnelKeyRecord& keys = receiver.ReceiveTrafficRecord();
    size_t written = 0;
    EVP_Q_mac(nullptr, "HMAC", nullptr, "SHA256", nullptr, keys.authKey.data(), 16, datagram.data(),
              datagram.size() - kDigestSize, datagram.data() + datagram.size() - kDigestSize,
              kDigestSize, &written);
}

void RoundTrip(End& end, int32_t type, const uint8_t* data, size_t size)
{
    using namespace TunnelPacketFormat;
    const std::span<const uint8_t> payload(data, size);
    std::vector<uint8_t> out(SendBufferSize(type, static_cast<uint32_t>(size), false));
    const int32_t built = BuildPacket(end.sender, payload, 4242, kDataKind, out);
    const bool buildable = type != 9 && !(type >= 1 && type <= 7 && size == 0);
    if (!buildable) {
        if (built > 0)
            std::abort();
        return;
    }
    if (built <= 0 || static_cast<size_t>(built) != PacketSize(type, size))
        std::abort();
    // An exact-size copy: the opener may not read beyond the packet.
    const std::vector<uint8_t> datagram(out.begin(), out.begin() + built);
    TunnelPacket packet;
    if (OpenPacket(end.receiver, datagram, false, packet) != OpenResult::kOpened ||
        packet.length != size || packet.endpoint.port != 4242 ||
        (size != 0 && std::memcmp(packet.data, data, size) != 0)) {
        std::abort();
    }
}

}  // namespace

} // namespace zan

using namespace zan;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using namespace TunnelPacketFormat;
    if (size == 0)
        return 0;
    const uint8_t control = data[0];
    const int32_t type = (control & 0x0F) % 10;
    End& end = EndFor(type);
    ++data;
    --size;
    if ((control & 0x40) != 0) {
        RoundTrip(end, type, data, size);
        return 0;
    }
    std::vector<uint8_t> datagram(data, data + size);
    if ((control & 0x20) != 0 && type >= 8)
        Resign(end.receiver, datagram);
    TunnelPacket packet;
    const OpenResult result = OpenPacket(end.receiver, datagram, (control & 0x10) != 0, packet);
    if (result == OpenResult::kOpened && (packet.length > datagram.size() || packet.length > packet.capacity))
        std::abort();
    if (result != OpenResult::kOpened && packet.length != 0 && packet.data != nullptr)
        std::abort();
    return 0;
}

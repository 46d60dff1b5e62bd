#include "TunnelPacketFormat.h"

#include "CZAN_AutoLock.h"
#include "PacketByteOrder.h"
#include "TcpFrameDeframer.h"

#include <cstring>
#include <optional>

namespace zan {

namespace TunnelPacketFormat {

namespace {

using PacketByteOrder::LoadBe16;
using PacketByteOrder::LoadLe;
using PacketByteOrder::StoreBe16;
using PacketByteOrder::StoreLe;

constexpr uint32_t kAuthSendReserve = 170;
constexpr uint32_t kLegacySendReserve = 112;
constexpr uint32_t kAuthOpenReserve = 148;
constexpr uint32_t kLegacyOpenReserve = 100;

bool IsAuthenticated(int32_t cryptoType) { return cryptoType >= TunnelCrypto::kAuthenticatedType; }
bool IsEnciphered(int32_t cryptoType) { return cryptoType >= 1 && cryptoType <= 7; }

// Bytes 0 to 11 of a legacy packet.
void WriteLegacyHeader(uint8_t* out, uint8_t kind, int64_t sourceTag, uint16_t port,
                       uint16_t payloadLength)
{
    out[0] = kLegacyFormat;
    out[1] = static_cast<uint8_t>(kind + kKindBias);
    out[2] = 0;
    out[3] = 0;
    StoreLe(out + 4, static_cast<uint32_t>(sourceTag));
    StoreBe16(out + 8, port);
    StoreLe(out + 10, payloadLength);
}

int32_t BuildLegacy(TunnelCrypto& crypto, int32_t type, std::span<const uint8_t> payload,
                    uint16_t port, uint8_t kind, std::span<uint8_t> out)
{
    const size_t size = PacketSize(type, payload.size());
    if (out.size() < size || (IsEnciphered(type) && payload.empty())) {
        return kBuildRefused;
    }
    const auto length = static_cast<uint16_t>(payload.size());
    WriteLegacyHeader(out.data(), kind, crypto.SourceTag(), port, length);
    if (type == 0) {
        if (!payload.empty()) {
            std::memcpy(out.data() + kLegacyHeaderSize, payload.data(), payload.size());
        }
        return static_cast<int32_t>(size);
    }
    StoreLe(out.data() + kLegacyHeaderSize, length);
    {
        CZAN_AutoLock guard(&crypto.SendLock());
        CipherEngine& engine = crypto.SendCipher();
        // An engine keyed for another type would write another length.
        if (engine.Type() != type) {
            return kBuildRefused;
        }
        engine.Crypt(payload.data(), out.data() + kLegacyCipherHeaderSize, length,
                     CipherEngine::kEncrypt);
    }
    uint8_t* trailer = out.data() + size - kLegacyTrailerSize;
    trailer[0] = 0;
    trailer[1] = 0;
    return static_cast<int32_t>(size);
}

// Steps of the authenticated build, under the send lock: header with the
// counter before it advances, seal (which picks the keys and advances the
// counter), the key id actually used, then the digest over all of it.
int32_t BuildAuthenticated(TunnelCrypto& crypto, std::span<const uint8_t> payload, uint16_t port,
                           uint8_t kind, std::span<uint8_t> out)
{
    const size_t size = payload.size() + kAuthOverhead;
    if (out.size() < size) {
        return kBuildRefused;
    }
    uint8_t portBytes[kPortSize];
    StoreBe16(portBytes, port);

    CZAN_AutoLock guard(&crypto.SendLock());
    uint8_t* packet = out.data();
    packet[0] = kAuthenticatedFormat;
    packet[1] = static_cast<uint8_t>(kind + kKindBias);
    StoreLe<uint16_t>(packet + 2, 0);
    StoreLe(packet + 4, static_cast<uint64_t>(crypto.SourceTag()));
    StoreLe(packet + 12, crypto.PacketCounter());

    uint32_t sealedLength = 0;
    crypto.EncryptPacket(portBytes, payload, packet + kAuthHeaderSize, &sealedLength);
    if (sealedLength == 0) {
        return kCryptoError;
    }
    StoreLe(packet + 2, static_cast<uint16_t>(crypto.CurrentSendKeyId()));
    if (!crypto.SendKeysValid()) {
        return kDigestError;
    }
    const size_t signedLength = kAuthHeaderSize + sealedLength;
    if (!crypto.SendDigest(out.first(signedLength), out.subspan(signedLength).first<kDigestSize>())) {
        return kDigestError;
    }
    return static_cast<int32_t>(size);
}

bool IsOwnPacket(const TunnelCrypto& crypto, bool authenticated, std::span<const uint8_t> datagram)
{
    const int64_t ownTag = crypto.SourceTag();
    if (authenticated) {
        return LoadLe<uint64_t>(datagram.data() + 4) == static_cast<uint64_t>(ownTag);
    }
    return (static_cast<uint64_t>(ownTag) >> 32) == 0 &&
           LoadLe<uint32_t>(datagram.data() + 4) == static_cast<uint32_t>(ownTag);
}

OpenResult Deliver(TunnelPacket& packet, uint16_t port, uint8_t kindByte, size_t length)
{
    packet.length = static_cast<uint32_t>(length);
    packet.endpoint.port = port;
    packet.kind = kindByte;
    return OpenResult::kOpened;
}

OpenResult OpenPlain(std::span<const uint8_t> datagram, TunnelPacket& packet)
{
    const uint16_t length = LoadLe<uint16_t>(datagram.data() + 10);
    if (length > datagram.size() - kLegacyHeaderSize) {
        return OpenResult::kLength;
    }
    if (length != 0) {
        std::memcpy(packet.data, datagram.data() + kLegacyHeaderSize, length);
    }
    return Deliver(packet, LoadBe16(datagram.data() + 8), datagram[1], length);
}

// The length field may only claim bytes that were deciphered from whole
// blocks inside the datagram: the cipher then never reads past its end and
// no unwritten byte is delivered. A well-formed packet (p payload bytes,
// p rounded up, 2 trailing bytes) always passes.
OpenResult OpenEnciphered(TunnelCrypto& crypto, int32_t type, std::span<const uint8_t> datagram,
                          TunnelPacket& packet)
{
    if (datagram.size() < kLegacyCipherHeaderSize) {
        return OpenResult::kLength;
    }
    const uint16_t length = LoadLe<uint16_t>(datagram.data() + kLegacyHeaderSize);
    const size_t block = CipherEngine::BlockSize(type);
    const size_t body = datagram.size() - kLegacyCipherHeaderSize;
    if (length > body / block * block) {
        return OpenResult::kLength;
    }
    {
        CZAN_AutoLock guard(&crypto.ReceiveLock());
        CipherEngine& engine = crypto.ReceiveCipher();
        if (engine.Type() != type) {
            return OpenResult::kNoKey;
        }
        engine.Crypt(datagram.data() + kLegacyCipherHeaderSize, packet.data, length,
                     CipherEngine::kDecrypt);
    }
    return Deliver(packet, LoadBe16(datagram.data() + 8), datagram[1], length);
}

// Every kind is sealed alike: a keep-alive (or any other kind byte) counts
// as received, and may teach the peer's address, only once its digest and
// GCM tag check out under a known key, exactly as data does.
OpenResult OpenSealed(TunnelCrypto& crypto, std::span<const uint8_t> datagram, TunnelPacket& packet)
{
    const size_t n = datagram.size();
    if (n < kAuthOverhead) {
        return OpenResult::kLength;
    }
    const auto keyId = LoadLe<uint16_t>(datagram.data() + 2);
    const auto sourceTag = static_cast<int64_t>(LoadLe<uint64_t>(datagram.data() + 4));
    const auto counter = LoadLe<uint64_t>(datagram.data() + 12);

    CZAN_AutoLock guard(&crypto.ReceiveLock());
    if (!crypto.SelectReceiveKeys(keyId, counter)) {
        return OpenResult::kNoKey;
    }
    if (!crypto.CheckReceiveDigest(datagram.first(n - kDigestSize),
                                   datagram.last<kDigestSize>())) {
        return OpenResult::kDigest;
    }
    uint8_t portBytes[kPortSize];
    uint32_t plainLength = 0;
    const auto sealed = datagram.subspan(kAuthHeaderSize, n - kAuthHeaderSize - kDigestSize);
    if (crypto.DecryptPacket(sourceTag, counter, sealed, portBytes, packet.data, &plainLength) !=
        TunnelCrypto::kDecryptOk) {
        return OpenResult::kGcmTag;
    }
    return Deliver(packet, LoadBe16(portBytes), datagram[1], plainLength - kPortSize);
}

}  // namespace

std::optional<SealedHeader> ReadSealedHeader(std::span<const uint8_t> datagram)
{
    if (datagram.size() < kAuthHeaderSize || datagram[0] != kAuthenticatedFormat) {
        return std::nullopt;
    }
    return SealedHeader{LoadLe<uint16_t>(datagram.data() + 2), static_cast<int64_t>(LoadLe<uint64_t>(datagram.data() + 4)),
                        LoadLe<uint64_t>(datagram.data() + 12)};
}

uint32_t SendBufferSize(int32_t cryptoType, uint32_t payloadLength, bool framed)
{
    const uint32_t reserve = IsAuthenticated(cryptoType) ? kAuthSendReserve : kLegacySendReserve;
    return payloadLength + reserve + (framed ? TcpFrameDeframer::kPrefixSize : 0);
}

size_t PacketSize(int32_t cryptoType, size_t payloadLength)
{
    if (IsAuthenticated(cryptoType)) {
        return payloadLength + kAuthOverhead;
    }
    if (IsEnciphered(cryptoType)) {
        const size_t block = CipherEngine::BlockSize(cryptoType);
        const size_t rounded = (payloadLength + block - 1) / block * block;
        return kLegacyCipherHeaderSize + rounded + kLegacyTrailerSize;
    }
    return kLegacyHeaderSize + payloadLength;
}

int32_t BuildPacket(TunnelCrypto& crypto, std::span<const uint8_t> payload, uint16_t port,
                    uint8_t kind, std::span<uint8_t> out)
{
    const int32_t type = crypto.CryptoType();
    if (type < 0 || kind > kKeepAliveKind || payload.size() > kMaxPayload) {
        return kBuildRefused;
    }
    return IsAuthenticated(type) ? BuildAuthenticated(crypto, payload, port, kind, out)
                                 : BuildLegacy(crypto, type, payload, port, kind, out);
}

int32_t BuildFrame(TunnelCrypto& crypto, std::span<const uint8_t> payload, uint16_t port,
                   uint8_t kind, std::span<uint8_t> out)
{
    // Checked before building, so a refused frame costs no counter value.
    if (out.size() < TcpFrameDeframer::kPrefixSize ||
        PacketSize(crypto.CryptoType(), payload.size()) > TcpFrameDeframer::kMaxFrameLength) {
        return kBuildRefused;
    }
    const int32_t size =
        BuildPacket(crypto, payload, port, kind, out.subspan(TcpFrameDeframer::kPrefixSize));
    if (size <= 0) {
        return size;
    }
    if (!WriteFramePrefix(out, static_cast<size_t>(size))) {
        return kBuildRefused;
    }
    return size + static_cast<int32_t>(TcpFrameDeframer::kPrefixSize);
}

const char* OpenResultName(OpenResult result)
{
    switch (result) {
    case OpenResult::kOpened: return "opened";
    case OpenResult::kNothing: return "nothing";
    case OpenResult::kFormat: return "format";
    case OpenResult::kKind: return "kind";
    case OpenResult::kLoopFilter: return "loop filter";
    case OpenResult::kLength: return "length";
    case OpenResult::kNoKey: return "no key";
    case OpenResult::kDigest: return "digest";
    case OpenResult::kGcmTag: return "GCM tag";
    case OpenResult::kCount: break;
    }
    return "unknown";
}

uint32_t OpenCapacity(int32_t cryptoType, std::span<const uint8_t> datagram)
{
    const auto n = static_cast<uint32_t>(datagram.size());
    if (IsAuthenticated(cryptoType)) {
        return n + kAuthOpenReserve;
    }
    return IsEnciphered(cryptoType) ? n + kLegacyOpenReserve : n;
}

void GrowForOpen(TunnelPacket& packet, uint32_t capacity)
{
    if (packet.capacity >= capacity && packet.data != nullptr) {
        return;
    }
    packet.Reserve(capacity);
    packet.length = 0;
    packet.kind = TunnelPacket::kDataKind;
}

OpenResult OpenPacket(TunnelCrypto& crypto, std::span<const uint8_t> datagram, bool loopFilter,
                      TunnelPacket& packet)
{
    if (datagram.empty()) {
        return OpenResult::kNothing;
    }
    const int32_t type = crypto.CryptoType();
    const bool authenticated = IsAuthenticated(type);
    if (type < 0 || datagram[0] != (authenticated ? kAuthenticatedFormat : kLegacyFormat)) {
        return OpenResult::kFormat;
    }
    if (datagram.size() < 2) {
        return OpenResult::kLength;
    }
    if (datagram[1] > kMaxKindByte) {
        return OpenResult::kKind;
    }
    if (datagram.size() < kLegacyHeaderSize || datagram.size() > kMaxDatagram) {
        return OpenResult::kLength;
    }
    if (loopFilter && IsOwnPacket(crypto, authenticated, datagram)) {
        return OpenResult::kLoopFilter;
    }
    GrowForOpen(packet, OpenCapacity(type, datagram));
    packet.length = 0;
    if (authenticated) {
        return OpenSealed(crypto, datagram, packet);
    }
    return type == 0 ? OpenPlain(datagram, packet) : OpenEnciphered(crypto, type, datagram, packet);
}

}  // namespace TunnelPacketFormat

} // namespace zan

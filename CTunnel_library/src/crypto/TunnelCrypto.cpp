#include "TunnelCrypto.h"

#include "CZAN_AutoLock.h"
#include "ZAN_Time.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <cstring>
#include <random>

namespace zan {

static_assert(sizeof(TunnelCrypto::kDefaultKeyText) == 63, "62 characters and the terminator");

namespace {

const TunnelKeyRecord kEmptyRecord{};

}  // namespace

TunnelCrypto::TunnelCrypto() : TunnelCrypto(RandomCounterStart()) {}

TunnelCrypto::TunnelCrypto(uint64_t counterStart) : packetCounter(counterStart & kCounterMask) {}

TunnelCrypto::~TunnelCrypto()
{
    OPENSSL_cleanse(keyText.data(), keyText.size());
}

uint64_t TunnelCrypto::CounterStartFromBytes(std::span<const uint8_t, 6> bytes)
{
    uint64_t value = 0;
    for (size_t i = 0; i < bytes.size(); ++i) {
        value |= uint64_t{bytes[i]} << (8 * i);
    }
    return (value - 1) & kCounterMask;
}

uint64_t TunnelCrypto::RandomCounterStart()
{
    std::array<uint8_t, 6> bytes{};
    if (RAND_bytes(bytes.data(), static_cast<int>(bytes.size())) != 1) {
        // Without the generator any unpredictable start will do; the counter
        // only has to differ between runs.
        std::random_device device;
        const uint64_t fallback = (uint64_t{device()} << 32) | device();
        for (size_t i = 0; i < bytes.size(); ++i) {
            bytes[i] = static_cast<uint8_t>(fallback >> (8 * i));
        }
    }
    return CounterStartFromBytes(bytes);
}

uint8_t TunnelCrypto::EpochOf(uint64_t counter, uint32_t period)
{
    return period == 0 ? 0 : static_cast<uint8_t>(counter / period);
}

std::array<uint8_t, TunnelCrypto::kIvLength> TunnelCrypto::BuildIv(
    std::span<const uint8_t, 14> trafficSalt, int64_t tag, uint64_t counter)
{
    std::array<uint8_t, kIvLength> iv{};
    const auto unsignedTag = static_cast<uint64_t>(tag);
    for (size_t i = 0; i < 8; ++i) {
        iv[i] = static_cast<uint8_t>(unsignedTag >> (8 * (7 - i)));
    }
    for (size_t i = 0; i < 6; ++i) {
        iv[8 + i] = static_cast<uint8_t>(counter >> (8 * (5 - i)));
    }
    for (size_t i = 0; i < trafficSalt.size(); ++i) {
        iv[i] ^= trafficSalt[i];
    }
    return iv;
}

int32_t TunnelCrypto::SetLegacyKey(const char* text)
{
    CZAN_AutoLock sendGuard(&sendLock);
    CZAN_AutoLock receiveGuard(&receiveLock);
    const int32_t type = CryptoType();
    const int32_t result = sendCipher.SetKey(text, type);
    (void)receiveCipher.SetKey(text, type);
    if (text != nullptr) {
        OPENSSL_cleanse(keyText.data(), keyText.size());
        keyText = text;
    }
    return result;
}

std::string TunnelCrypto::KeyText() const
{
    CZAN_AutoLock guard(&sendLock);
    return keyText;
}

void TunnelCrypto::CreateTrafficCiphers()
{
    if (sendTraffic == nullptr) {
        sendTraffic = std::make_unique<TrafficCipher>(TrafficCipher::Direction::kSeal);
    }
    for (auto& entry : receiveCache) {
        if (entry == nullptr) {
            entry = std::make_unique<TrafficCipher>(TrafficCipher::Direction::kOpen);
        }
    }
}

void TunnelCrypto::AddKey(uint32_t id, const uint8_t* masterKey, uint32_t masterKeyLength,
                          const uint8_t* masterSalt, uint32_t masterSaltLength,
                          uint32_t newRekeyPeriod)
{
    CZAN_AutoLock sendGuard(&sendLock);
    CZAN_AutoLock receiveGuard(&receiveLock);
    if (CryptoType() != kAuthenticatedType) {
        return;
    }
    if (newRekeyPeriod != 0) {
        rekeyPeriod = newRekeyPeriod;
    }
    auto record = std::make_unique<TunnelKeyRecord>();
    record->SetMaster(id, masterKey, masterKeyLength, masterSalt, masterSaltLength);
    CreateTrafficCiphers();
    keys.push_back(std::move(record));
    if (keys.size() > 1) {
        keySwitchDeadline = GetTimeMs() + kKeySwitchDelayMs;
    }
}

bool TunnelCrypto::DeriveTrafficKeys(const TunnelKeyRecord& record, uint64_t counter,
                                     TunnelKeyRecord& traffic) const
{
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    const bool derived = TrafficCipher::Derive(ctx, record, EpochOf(counter, rekeyPeriod), traffic);
    EVP_CIPHER_CTX_free(ctx);
    return derived;
}

// --- Send side -------------------------------------------------------------

const TunnelKeyRecord& TunnelCrypto::SendTrafficRecord() const
{
    return sendTraffic != nullptr ? sendTraffic->Keys() : kEmptyRecord;
}

void TunnelCrypto::LoadSendKeys(size_t index)
{
    currentSendIndex = index;
    const TunnelKeyRecord& record = *keys[index];
    const uint8_t epoch = EpochOf(packetCounter, rekeyPeriod);
    sendKeysValid = sendTraffic->Holds(&record, epoch) || sendTraffic->LoadFrom(record, epoch);
}

void TunnelCrypto::ChooseSendKeys()
{
    if (!sendKeysValid) {
        // First packet, or the last derivation failed: start from the first key.
        LoadSendKeys(0);
    } else if (!sendTraffic->Holds(keys[currentSendIndex].get(),
                                   EpochOf(packetCounter, rekeyPeriod))) {
        // A new rekey epoch began (the counter reached a multiple of the
        // period, or the period changed): the epoch always follows the
        // counter, as the receiver computes it from the header.
        LoadSendKeys(currentSendIndex);
    }
    if (keySwitchDeadline != 0 && GetTimeMs() >= keySwitchDeadline) {
        keySwitchDeadline = 0;
        // One step along the list per deadline. At the list's end the
        // current keys stay in use rather than failing every later packet.
        if (currentSendIndex + 1 < keys.size()) {
            LoadSendKeys(currentSendIndex + 1);
        }
    }
}

void TunnelCrypto::EncryptPacket(std::span<const uint8_t> head, std::span<const uint8_t> body,
                                 uint8_t* output, uint32_t* outputLength)
{
    *outputLength = 0;
    if (keys.empty() || CryptoType() != kAuthenticatedType || sendTraffic == nullptr) {
        return;
    }
    ChooseSendKeys();
    if (!sendKeysValid) {
        return;
    }
    const TunnelKeyRecord& traffic = sendTraffic->Keys();
    currentSendKeyId = traffic.id;
    const auto iv = BuildIv(std::span(traffic.trafficSalt), SourceTag(), packetCounter);
    if (!sendTraffic->Seal(iv, head, body, output)) {
        return;
    }
    *outputLength = static_cast<uint32_t>(head.size() + body.size() + kTagLength);
    ++packetCounter;
}

void TunnelCrypto::EncryptPacket(const uint8_t* plaintext, uint32_t length, uint8_t* output,
                                 uint32_t* outputLength)
{
    EncryptPacket(std::span<const uint8_t>(plaintext, length), {}, output, outputLength);
}

bool TunnelCrypto::SendDigest(std::span<const uint8_t> message,
                              std::span<uint8_t, kDigestLength> digest)
{
    return sendKeysValid && sendTraffic->Mac(message, digest);
}

// --- Receive side ----------------------------------------------------------

const TunnelKeyRecord& TunnelCrypto::ReceiveTrafficRecord() const
{
    return receiveCurrent != nullptr ? receiveCurrent->Keys() : kEmptyRecord;
}

TrafficCipher* TunnelCrypto::ReceiveEntry(const TunnelKeyRecord& record, uint8_t epoch)
{
    for (auto& entry : receiveCache) {
        if (entry->Holds(&record, epoch)) {
            return entry.get();
        }
    }
    TrafficCipher* victim = receiveCache[receiveNextVictim].get();
    receiveNextVictim = (receiveNextVictim + 1) % receiveCache.size();
    return victim->LoadFrom(record, epoch) ? victim : nullptr;
}

bool TunnelCrypto::SelectReceiveKeys(uint16_t keyId, uint64_t counter)
{
    receiveKeysValid = false;
    receiveCurrent = nullptr;
    for (const auto& record : keys) {
        if (record->id == keyId) {
            receiveCurrent = ReceiveEntry(*record, EpochOf(counter, rekeyPeriod));
            receiveKeysValid = receiveCurrent != nullptr;
            break;
        }
    }
    return receiveKeysValid;
}

bool TunnelCrypto::CheckReceiveDigest(std::span<const uint8_t> message,
                                      std::span<const uint8_t, kDigestLength> digest)
{
    std::array<uint8_t, kDigestLength> computed{};
    return receiveKeysValid && receiveCurrent->Mac(message, computed) &&
           CRYPTO_memcmp(computed.data(), digest.data(), kDigestLength) == 0;
}

int32_t TunnelCrypto::DecryptPacket(int64_t packetSourceTag, uint64_t counter,
                                    std::span<const uint8_t> sealed, std::span<uint8_t> head,
                                    uint8_t* body, uint32_t* outputLength)
{
    *outputLength = 0;
    if (keys.empty()) {
        return kDecryptFailed;
    }
    if (CryptoType() != kAuthenticatedType) {
        return kDecryptWrongType;
    }
    if (!receiveKeysValid || sealed.size() < kTagLength + head.size()) {
        return kDecryptFailed;
    }
    const auto iv =
        BuildIv(std::span(receiveCurrent->Keys().trafficSalt), packetSourceTag, counter);
    const size_t plainLength = sealed.size() - kTagLength;
    switch (receiveCurrent->Open(iv, sealed.first(plainLength),
                                 sealed.subspan(plainLength).first<kTagLength>(), head, body)) {
    case TrafficCipher::OpenStatus::kOpened:
        *outputLength = static_cast<uint32_t>(plainLength);
        return kDecryptOk;
    case TrafficCipher::OpenStatus::kTagMismatch:
        return kDecryptTagMismatch;
    case TrafficCipher::OpenStatus::kFailed:
        break;
    }
    return kDecryptFailed;
}

int32_t TunnelCrypto::DecryptPacket(int64_t packetSourceTag, uint64_t counter,
                                    const uint8_t* sealed, uint32_t length, uint8_t* output,
                                    uint32_t* outputLength)
{
    return DecryptPacket(packetSourceTag, counter, std::span<const uint8_t>(sealed, length), {},
                         output, outputLength);
}

} // namespace zan

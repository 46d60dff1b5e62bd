#pragma once

#include "CipherEngine.h"
#include "TrafficCipher.h"
#include "TunnelKeyRecord.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

namespace zan {

// Packet protection of one tunnel socket: the crypto type and source tag,
// the two legacy cipher engines (one per direction), and for the
// authenticated format (type 8) the key list, the 48-bit-start packet
// counter and the traffic keys of each direction.
//
// Send side (SendLock held): EncryptPacket picks or refreshes the send
// traffic keys (first key, then every rekey epoch, then one step along the
// key list at each key switch deadline) and seals; SendDigest signs.
// Receive side (ReceiveLock held): SelectReceiveKeys finds the key by the
// packet's 16-bit key id, CheckReceiveDigest and DecryptPacket verify and
// open. AddKey takes the send lock, then the receive lock; nothing else
// holds both.
//
// Traffic keys are derived once per (key, epoch byte) and kept in keyed
// contexts: the keys only depend on the key's master material, which never
// changes, and on the epoch byte, so a kept entry always equals a fresh
// derivation.
class TunnelCrypto {
public:
    static constexpr int32_t kAuthenticatedType = 8;
    static constexpr int64_t kKeySwitchDelayMs = 10000;
    static constexpr uint64_t kCounterMask = (uint64_t{1} << 48) - 1;
    static constexpr uint32_t kIvLength = TrafficCipher::kIvLength;
    static constexpr uint32_t kTagLength = TrafficCipher::kTagLength;
    static constexpr uint32_t kDigestLength = TrafficCipher::kDigestLength;
    static constexpr char kDefaultKeyText[] =
        "Default tunnel passphrase - replace before deployment, please.";

    // DecryptPacket results.
    static constexpr int32_t kDecryptOk = 0;
    static constexpr int32_t kDecryptFailed = static_cast<int32_t>(0x80004005);  // E_FAIL
    static constexpr int32_t kDecryptTagMismatch = 1;
    static constexpr int32_t kDecryptWrongType = 2;

    // The packet counter starts at a random 48-bit value.
    TunnelCrypto();
    // Tests fix the counter's start; it is masked to 48 bits.
    explicit TunnelCrypto(uint64_t counterStart);
    virtual ~TunnelCrypto();

    TunnelCrypto(const TunnelCrypto&) = delete;
    TunnelCrypto& operator=(const TunnelCrypto&) = delete;

    // Six random bytes read little-endian, minus one, modulo 2^48.
    static uint64_t CounterStartFromBytes(std::span<const uint8_t, 6> bytes);
    static uint64_t RandomCounterStart();
    // Epoch byte of a counter: low byte of counter / period, 0 for period 0.
    static uint8_t EpochOf(uint64_t counter, uint32_t period);
    // Packet IV: bytes 0-13 are the traffic salt XOR (source tag as big-endian
    // 64 bits, counter's low 48 bits big-endian); bytes 14 and 15 are zero.
    static std::array<uint8_t, kIvLength> BuildIv(std::span<const uint8_t, 14> trafficSalt,
                                                   int64_t sourceTag, uint64_t counter);

    // --- Configuration, set by the engine before traffic flows.
    void SetSourceTag(int64_t tag) { sourceTag.store(tag, std::memory_order_relaxed); }
    int64_t SourceTag() const { return sourceTag.load(std::memory_order_relaxed); }
    void SetCryptoType(int32_t type) { cryptoType.store(type, std::memory_order_relaxed); }
    int32_t CryptoType() const { return cryptoType.load(std::memory_order_relaxed); }

    // Keeps `keyText` and keys both legacy engines with it and the current
    // crypto type (both locks taken). Returns CipherEngine::SetKey's result.
    int32_t SetLegacyKey(const char* keyText);
    std::string KeyText() const;

    // The legacy engines: the send engine is used under SendLock, the
    // receive engine under ReceiveLock.
    CipherEngine& SendCipher() { return sendCipher; }
    CipherEngine& ReceiveCipher() { return receiveCipher; }

    // Adds a key of the authenticated format (nothing unless the crypto type
    // is 8). A non-zero period replaces the rekey period. Key and salt are
    // clamped to 64 bytes. Every key after the first arms the switch
    // deadline: now + 10 s.
    void AddKey(uint32_t id, const uint8_t* masterKey, uint32_t masterKeyLength,
                const uint8_t* masterSalt, uint32_t masterSaltLength, uint32_t rekeyPeriod);

    // A fresh derivation of the traffic keys of `record` for `counter` with
    // the current rekey period. The caller holds either lock (the period is
    // written under both). On failure `traffic` is left as it was.
    [[nodiscard]] bool DeriveTrafficKeys(const TunnelKeyRecord& record, uint64_t counter,
                                         TunnelKeyRecord& traffic) const;

    std::mutex& SendLock() { return sendLock; }
    std::mutex& ReceiveLock() { return receiveLock; }

    // --- Send side: the caller holds SendLock.
    uint64_t PacketCounter() const { return packetCounter; }
    // Seals the plaintext (`head` then `body`, the port and the payload)
    // with the send traffic keys: ciphertext then tag, `*outputLength`
    // = plaintext length + 16, or 0 on failure. Advances the counter on
    // success.
    void EncryptPacket(std::span<const uint8_t> head, std::span<const uint8_t> body, uint8_t* output,
                       uint32_t* outputLength);
    void EncryptPacket(const uint8_t* plaintext, uint32_t length, uint8_t* output,
                       uint32_t* outputLength);
    uint32_t CurrentSendKeyId() const { return currentSendKeyId; }
    bool SendKeysValid() const { return sendKeysValid; }
    const TunnelKeyRecord& SendTrafficRecord() const;
    // HMAC-SHA256 of `message` with the send authentication key.
    [[nodiscard]] bool SendDigest(std::span<const uint8_t> message,
                                  std::span<uint8_t, kDigestLength> digest);

    // --- Receive side: the caller holds ReceiveLock.
    // Takes the first key whose id equals `keyId` (a 16-bit field, so ids
    // above 65535 never match) and loads its traffic keys for `counter`.
    [[nodiscard]] bool SelectReceiveKeys(uint16_t keyId, uint64_t counter);
    bool ReceiveKeysValid() const { return receiveKeysValid; }
    const TunnelKeyRecord& ReceiveTrafficRecord() const;
    // Recomputes the digest of `message` and compares it in constant time.
    [[nodiscard]] bool CheckReceiveDigest(std::span<const uint8_t> message,
                                          std::span<const uint8_t, kDigestLength> digest);
    // Opens ciphertext-with-tag (`length` bytes) into `output`; returns
    // kDecryptOk, kDecryptFailed, kDecryptTagMismatch or kDecryptWrongType.
    int32_t DecryptPacket(int64_t packetSourceTag, uint64_t counter, const uint8_t* sealed,
                          uint32_t length, uint8_t* output, uint32_t* outputLength);
    // The same, with the plaintext's first head.size() bytes written to
    // `head` and the rest to `body`.
    int32_t DecryptPacket(int64_t packetSourceTag, uint64_t counter, std::span<const uint8_t> sealed,
                          std::span<uint8_t> head, uint8_t* body, uint32_t* outputLength);

    // --- Observers for tests and statistics (either lock held).
    uint32_t RekeyPeriod() const { return rekeyPeriod; }
    size_t KeyCount() const { return keys.size(); }
    int64_t KeySwitchDeadline() const { return keySwitchDeadline; }

private:
    static constexpr size_t kReceiveCacheSize = 4;
    static constexpr size_t kNoRecord = static_cast<size_t>(-1);

    // Loads the send traffic keys of key `index` for the current counter.
    void LoadSendKeys(size_t index);
    void ChooseSendKeys();
    // Gets the receive cache entry holding (record, epoch), loading it into
    // the oldest entry on a miss; null when the keys could not be made.
    TrafficCipher* ReceiveEntry(const TunnelKeyRecord& record, uint8_t epoch);
    void CreateTrafficCiphers();

    std::atomic<int64_t> sourceTag{0};
    std::atomic<int32_t> cryptoType{2};

    // guards: keyText, sendCipher, packetCounter, currentSendIndex,
    // currentSendKeyId, sendTraffic, sendKeysValid, keySwitchDeadline
    // (keys, rekeyPeriod and keyText also need receiveLock to be written)
    mutable std::mutex sendLock;
    std::string keyText{kDefaultKeyText};
    CipherEngine sendCipher;
    uint64_t packetCounter = 0;
    size_t currentSendIndex = kNoRecord;
    uint32_t currentSendKeyId = 0;
    std::unique_ptr<TrafficCipher> sendTraffic;
    bool sendKeysValid = false;
    int64_t keySwitchDeadline = 0;

    // guards: receiveCipher, receiveCache, receiveNextVictim,
    // receiveCurrent, receiveKeysValid
    mutable std::mutex receiveLock;
    CipherEngine receiveCipher;
    std::array<std::unique_ptr<TrafficCipher>, kReceiveCacheSize> receiveCache;
    size_t receiveNextVictim = 0;
    TrafficCipher* receiveCurrent = nullptr;
    bool receiveKeysValid = false;

    // Written only with both locks held; read with either.
    std::vector<std::unique_ptr<TunnelKeyRecord>> keys;
    uint32_t rekeyPeriod = 0;
};

} // namespace zan

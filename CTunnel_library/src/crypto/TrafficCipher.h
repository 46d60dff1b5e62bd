#pragma once

#include "TunnelKeyRecord.h"

#include <openssl/types.h>

#include <cstdint>
#include <span>

namespace zan {

// The traffic keys of one direction of the authenticated format, held in
// keyed OpenSSL contexts: AES-256-GCM (16 derived key bytes followed by 16
// zero bytes, 16-byte IV, no AAD, full 16-byte tag) and HMAC-SHA256 with the
// 16-byte authentication key. Keying happens once per (key, epoch); each
// packet then only sets a new IV or restarts the MAC, which gives the same
// bytes as fresh contexts at a fraction of the cost.
//
// Not thread-safe: each instance belongs to one direction and is used under
// that direction's lock of TunnelCrypto.
class TrafficCipher {
public:
    enum class Direction { kSeal, kOpen };
    enum class OpenStatus { kOpened, kFailed, kTagMismatch };

    static constexpr uint32_t kIvLength = 16;
    static constexpr uint32_t kTagLength = 16;
    static constexpr uint32_t kDigestLength = 32;

    explicit TrafficCipher(Direction direction);
    ~TrafficCipher();

    TrafficCipher(const TrafficCipher&) = delete;
    TrafficCipher& operator=(const TrafficCipher&) = delete;

    // The key schedule of the format: the traffic keys of `master` for
    // epoch byte `epoch`, computed with `ctx` (re-initialised here). On
    // failure `traffic` is left as it was.
    [[nodiscard]] static bool Derive(EVP_CIPHER_CTX* ctx, const TunnelKeyRecord& master,
                                     uint8_t epoch, TunnelKeyRecord& traffic);

    // Derives the traffic keys of (`master`, `epoch`) and keys the contexts
    // with them. Holds() reports afterwards which pair is loaded.
    [[nodiscard]] bool LoadFrom(const TunnelKeyRecord& master, uint8_t epoch);

    // Keys the contexts with traffic keys that are already derived.
    [[nodiscard]] bool Load(const TunnelKeyRecord& traffic);

    bool Holds(const TunnelKeyRecord* master, uint8_t epoch) const
    {
        return ready && source == master && sourceEpoch == epoch;
    }
    bool Ready() const { return ready; }
    const TunnelKeyRecord& Keys() const { return keys; }

    // Encrypts `head` then `body` as one plaintext into `out` and appends
    // the tag: writes head.size() + body.size() + 16 bytes.
    [[nodiscard]] bool Seal(std::span<const uint8_t, kIvLength> iv, std::span<const uint8_t> head,
                            std::span<const uint8_t> body, uint8_t* out);

    // Decrypts `ciphertext`: its first head.size() bytes into `head`, the
    // rest into `body`, then checks `tag`. On kTagMismatch the output holds
    // unauthenticated bytes that the caller must discard.
    [[nodiscard]] OpenStatus Open(std::span<const uint8_t, kIvLength> iv,
                                  std::span<const uint8_t> ciphertext,
                                  std::span<const uint8_t, kTagLength> tag, std::span<uint8_t> head,
                                  uint8_t* body);

    // HMAC-SHA256 of `message` under the authentication key.
    [[nodiscard]] bool Mac(std::span<const uint8_t> message, std::span<uint8_t, kDigestLength> out);

private:
    [[nodiscard]] bool KeyCipher();
    [[nodiscard]] bool KeyMac();
    void Forget();

    Direction direction;
    EVP_CIPHER_CTX* cipher = nullptr;
    EVP_MAC_CTX* mac = nullptr;
    TunnelKeyRecord keys;
    const TunnelKeyRecord* source = nullptr;  // the master record the keys came from, if any
    uint8_t sourceEpoch = 0;
    bool ready = false;
};

} // namespace zan

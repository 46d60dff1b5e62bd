#pragma once

// A deliberately plain rendering of the authenticated format's crypto for
// the tests: fresh one-shot OpenSSL calls, step by step as the format reads,
// sharing no code (no context reuse, no key caching) with the library.

#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <vector>

namespace zan {

namespace reference {

using Bytes = std::vector<uint8_t>;

inline Bytes Hmac(std::span<const uint8_t> key, std::span<const uint8_t> message)
{
    Bytes out(32);
    size_t written = 0;
    if (EVP_Q_mac(nullptr, "HMAC", nullptr, "SHA256", nullptr, key.data(), key.size(), message.data(),
                  message.size(), out.data(), out.size(), &written) == nullptr)
        throw std::runtime_error("HMAC failed");
    return out;
}

// AES-256-GCM without AAD: ciphertext followed by the 16-byte tag.
inline Bytes GcmSeal(std::span<const uint8_t, 32> key, std::span<const uint8_t> iv,
                     std::span<const uint8_t> plain)
{
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    Bytes out(plain.size() + 16);
    int len = 0;
    const bool ok = EVP_EncryptInit_ex(ctx, EVP_aes_256_gcm(), nullptr, nullptr, nullptr) == 1 &&
                    EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_SET_IVLEN, static_cast<int>(iv.size()), nullptr) == 1 &&
                    EVP_EncryptInit_ex(ctx, nullptr, nullptr, key.data(), iv.data()) == 1 &&
                    EVP_EncryptUpdate(ctx, out.data(), &len, plain.data(), static_cast<int>(plain.size())) == 1 &&
                    EVP_EncryptFinal_ex(ctx, out.data() + len, &len) == 1 &&
                    EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_GET_TAG, 16, out.data() + plain.size()) == 1;
    EVP_CIPHER_CTX_free(ctx);
    if (!ok)
        throw std::runtime_error("GCM failed");
    return out;
}

struct TrafficKeys {
    std::array<uint8_t, 16> encryption{};
    std::array<uint8_t, 16> authentication{};
    std::array<uint8_t, 14> salt{};
};

// Blocks B, A, K: the salt (zero-extended to 16) with the epoch in byte 0
// and 0, 1, 2 in byte 7, each sealed under the master key (zero-extended to
// 32) with IV 00 00 || block[0..13]; K is 14 bytes long.
inline TrafficKeys Derive(std::span<const uint8_t> masterKey, std::span<const uint8_t> masterSalt,
                          uint8_t epoch)
{
    std::array<uint8_t, 32> key{};
    std::copy_n(masterKey.begin(), std::min<size_t>(masterKey.size(), 32), key.begin());
    TrafficKeys keys;
    const std::array<uint8_t*, 3> outs = {keys.encryption.data(), keys.authentication.data(), keys.salt.data()};
    for (uint8_t role = 0; role < 3; ++role) {
        std::array<uint8_t, 16> block{};
        std::copy_n(masterSalt.begin(), std::min<size_t>(masterSalt.size(), 16), block.begin());
        block[0] ^= epoch;
        block[7] ^= role;
        std::array<uint8_t, 16> iv{};
        std::copy_n(block.begin(), 14, iv.begin() + 2);
        const size_t length = role == 2 ? 14 : 16;
        const Bytes sealed = GcmSeal(key, iv, std::span<const uint8_t>(block.data(), length));
        std::copy_n(sealed.begin(), length, outs[role]);
    }
    return keys;
}

inline Bytes AuthenticatedPacket(const TrafficKeys& keys, uint16_t keyId, int64_t tag, uint64_t counter,
                                 uint16_t port, std::span<const uint8_t> payload)
{
    Bytes packet = {2, 2, static_cast<uint8_t>(keyId), static_cast<uint8_t>(keyId >> 8)};
    for (int i = 0; i < 8; ++i)
        packet.push_back(static_cast<uint8_t>(static_cast<uint64_t>(tag) >> (8 * i)));
    for (int i = 0; i < 8; ++i)
        packet.push_back(static_cast<uint8_t>(counter >> (8 * i)));
    Bytes plain = {static_cast<uint8_t>(port >> 8), static_cast<uint8_t>(port)};
    plain.insert(plain.end(), payload.begin(), payload.end());
    std::array<uint8_t, 32> aesKey{};  // 16 derived bytes, 16 zero bytes
    std::copy(keys.encryption.begin(), keys.encryption.end(), aesKey.begin());
    // IV: the tag big-endian, the counter's low 48 bits big-endian, XOR the salt.
    std::array<uint8_t, 16> iv{};
    for (int i = 0; i < 8; ++i)
        iv[i] = static_cast<uint8_t>(static_cast<uint64_t>(tag) >> (56 - 8 * i));
    for (int i = 0; i < 6; ++i)
        iv[8 + i] = static_cast<uint8_t>(counter >> (40 - 8 * i));
    for (int i = 0; i < 14; ++i)
        iv[i] ^= keys.salt[i];
    const Bytes sealed = GcmSeal(aesKey, iv, plain);
    packet.insert(packet.end(), sealed.begin(), sealed.end());
    const Bytes digest = Hmac(keys.authentication, packet);
    packet.insert(packet.end(), digest.begin(), digest.end());
    return packet;
}

}  // namespace reference

} // namespace zan

#pragma once

// An independent, deliberately plain rendering of the authenticated
// format's cryptography for the tests: every call makes fresh one-shot
// OpenSSL contexts and follows the algorithm step by step, so it shares no
// code (and no context reuse or key caching) with the library.

#include <openssl/evp.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <span>
#include <vector>

namespace reference {

using Bytes = std::vector<uint8_t>;

inline Bytes Hmac(std::span<const uint8_t> key, std::span<const uint8_t> message)
{
    Bytes out(32);
    size_t written = 0;
    EXPECT_NE(EVP_Q_mac(nullptr, "HMAC", nullptr, "SHA256", nullptr, key.data(), key.size(),
                        message.data(), message.size(), out.data(), out.size(), &written),
              nullptr);
    EXPECT_EQ(written, 32u);
    return out;
}

// AES-256-GCM without AAD; returns ciphertext followed by the 16-byte tag.
inline Bytes GcmSeal(std::span<const uint8_t, 32> key, std::span<const uint8_t> iv,
                     std::span<const uint8_t> plaintext)
{
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    Bytes out(plaintext.size() + 16);
    int len = 0;
    int fin = 0;
    EXPECT_EQ(EVP_EncryptInit_ex(ctx, EVP_aes_256_gcm(), nullptr, nullptr, nullptr), 1);
    EXPECT_EQ(EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_SET_IVLEN, static_cast<int>(iv.size()), nullptr), 1);
    EXPECT_EQ(EVP_EncryptInit_ex(ctx, nullptr, nullptr, key.data(), iv.data()), 1);
    EXPECT_EQ(EVP_EncryptUpdate(ctx, out.data(), &len, plaintext.data(), static_cast<int>(plaintext.size())), 1);
    EXPECT_EQ(EVP_EncryptFinal_ex(ctx, out.data() + len, &fin), 1);
    EXPECT_EQ(EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_GET_TAG, 16, out.data() + plaintext.size()), 1);
    EVP_CIPHER_CTX_free(ctx);
    return out;
}

struct TrafficKeys {
    std::array<uint8_t, 16> encryption{};
    std::array<uint8_t, 16> authentication{};
    std::array<uint8_t, 14> salt{};
};

// Key schedule: blocks B, A, K from the salt (zero-extended to 16 bytes)
// with the epoch in byte 0 and 0/1/2 in byte 7, each encrypted under the
// master key (zero-extended to 32 bytes) with IV 00 00 || block[0..13].
inline TrafficKeys Derive(std::span<const uint8_t> masterKey, std::span<const uint8_t> masterSalt,
                          uint8_t epoch)
{
    std::array<uint8_t, 32> key{};
    std::copy_n(masterKey.begin(), std::min<size_t>(masterKey.size(), 32), key.begin());
    std::array<uint8_t, 16> salt{};
    std::copy_n(masterSalt.begin(), std::min<size_t>(masterSalt.size(), 16), salt.begin());
    auto encryptBlock = [&](uint8_t role, size_t length) {
        std::array<uint8_t, 16> block = salt;
        block[0] ^= epoch;
        block[7] ^= role;
        std::array<uint8_t, 16> iv{};
        std::copy_n(block.begin(), 14, iv.begin() + 2);
        return GcmSeal(key, iv, std::span<const uint8_t>(block.data(), length));
    };
    TrafficKeys keys;
    const Bytes b = encryptBlock(0, 16);
    const Bytes a = encryptBlock(1, 16);
    const Bytes k = encryptBlock(2, 14);
    std::copy_n(b.begin(), 16, keys.encryption.begin());
    std::copy_n(a.begin(), 16, keys.authentication.begin());
    std::copy_n(k.begin(), 14, keys.salt.begin());
    return keys;
}

// IV bytes before the salt: tag big-endian, counter's low 48 bits big-endian.
inline std::array<uint8_t, 16> IvBeforeSalt(int64_t tag, uint64_t counter)
{
    std::array<uint8_t, 16> iv{};
    for (int i = 0; i < 8; ++i)
        iv[i] = static_cast<uint8_t>(static_cast<uint64_t>(tag) >> (56 - 8 * i));
    for (int i = 0; i < 6; ++i)
        iv[8 + i] = static_cast<uint8_t>(counter >> (40 - 8 * i));
    return iv;
}

inline std::array<uint8_t, 16> Iv(const TrafficKeys& keys, int64_t tag, uint64_t counter)
{
    std::array<uint8_t, 16> iv = IvBeforeSalt(tag, counter);
    for (int i = 0; i < 14; ++i)
        iv[i] ^= keys.salt[i];
    return iv;
}

// A whole authenticated packet as the format lays it out.
inline Bytes AuthenticatedPacket(const TrafficKeys& keys, uint16_t keyId, int64_t tag,
                                 uint64_t counter, uint8_t kindByte, uint16_t port,
                                 std::span<const uint8_t> payload)
{
    Bytes packet = {2, kindByte, static_cast<uint8_t>(keyId), static_cast<uint8_t>(keyId >> 8)};
    for (int i = 0; i < 8; ++i)
        packet.push_back(static_cast<uint8_t>(static_cast<uint64_t>(tag) >> (8 * i)));
    for (int i = 0; i < 8; ++i)
        packet.push_back(static_cast<uint8_t>(counter >> (8 * i)));
    Bytes plaintext = {static_cast<uint8_t>(port >> 8), static_cast<uint8_t>(port)};
    plaintext.insert(plaintext.end(), payload.begin(), payload.end());
    std::array<uint8_t, 32> aesKey{};
    std::copy(keys.encryption.begin(), keys.encryption.end(), aesKey.begin());
    const Bytes sealed = GcmSeal(aesKey, Iv(keys, tag, counter), plaintext);
    packet.insert(packet.end(), sealed.begin(), sealed.end());
    const Bytes digest = Hmac(keys.authentication, packet);
    packet.insert(packet.end(), digest.begin(), digest.end());
    return packet;
}

}  // namespace reference

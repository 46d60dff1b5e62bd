#include "TrafficCipher.h"

#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/params.h>

#include <algorithm>
#include <array>
#include <cstring>

namespace zan {

namespace {

constexpr int kAesKeyLength = 32;
constexpr int kSaltBlockLength = 16;

// One block of the key schedule: AES-256-GCM of `block` under the master key
// with the IV 00 00 followed by the block's first 14 bytes. The tag is not
// taken. The caller has initialised `ctx` with the master key.
bool EncryptScheduleBlock(EVP_CIPHER_CTX* ctx, std::span<const uint8_t> block, uint8_t* out)
{
    std::array<uint8_t, TrafficCipher::kIvLength> iv{};
    std::memcpy(iv.data() + 2, block.data(), TunnelKeyRecord::kTrafficSaltSize);
    int written = 0;
    int finalWritten = 0;
    std::array<uint8_t, kSaltBlockLength> finalOut{};
    return EVP_EncryptInit_ex(ctx, nullptr, nullptr, nullptr, iv.data()) == 1 &&
           EVP_EncryptUpdate(ctx, out, &written, block.data(), static_cast<int>(block.size())) == 1 &&
           written == static_cast<int>(block.size()) &&
           EVP_EncryptFinal_ex(ctx, finalOut.data(), &finalWritten) == 1;
}

// The format asks for a 16-byte key length on AES-256-GCM, which OpenSSL
// refuses; the cipher keeps its 32-byte key (16 derived bytes, 16 zeros).
// The refusal is dropped from the error queue so it cannot be mistaken for
// a later failure.
void RequestKeyLength(EVP_CIPHER_CTX* ctx, uint32_t length)
{
    ERR_set_mark();
    (void)EVP_CIPHER_CTX_set_key_length(ctx, static_cast<int>(length));
    ERR_pop_to_mark();
}

}  // namespace

TrafficCipher::TrafficCipher(Direction direction) : direction(direction)
{
    cipher = EVP_CIPHER_CTX_new();
    EVP_MAC* hmac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
    if (hmac != nullptr) {
        mac = EVP_MAC_CTX_new(hmac);  // holds its own reference to the MAC
        EVP_MAC_free(hmac);
    }
}

TrafficCipher::~TrafficCipher()
{
    EVP_CIPHER_CTX_free(cipher);  // frees and cleanses the key schedule
    EVP_MAC_CTX_free(mac);
}

bool TrafficCipher::Derive(EVP_CIPHER_CTX* ctx, const TunnelKeyRecord& master, uint8_t epoch,
                           TunnelKeyRecord& traffic)
{
    if (ctx == nullptr) {
        return false;
    }
    // B, A and K: the master salt with the epoch in byte 0 and the block's
    // role in byte 7 (0 encryption key, 1 authentication key, 2 salt).
    std::array<uint8_t, kSaltBlockLength> blockB{};
    std::memcpy(blockB.data(), master.masterSalt.data(), blockB.size());
    blockB[0] ^= epoch;
    std::array<uint8_t, kSaltBlockLength> blockA = blockB;
    blockA[7] ^= 1;
    std::array<uint8_t, kSaltBlockLength> blockK = blockB;
    blockK[7] ^= 2;

    std::array<uint8_t, kSaltBlockLength> encryptionKey{};
    std::array<uint8_t, kSaltBlockLength> authenticationKey{};
    std::array<uint8_t, kSaltBlockLength> salt{};
    const bool derived =
        EVP_EncryptInit_ex(ctx, EVP_aes_256_gcm(), nullptr, nullptr, nullptr) == 1 &&
        EVP_CIPHER_CTX_set_key_length(ctx, kAesKeyLength) == 1 &&
        EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_SET_IVLEN, kIvLength, nullptr) == 1 &&
        EVP_EncryptInit_ex(ctx, nullptr, nullptr, master.masterKey.data(), nullptr) == 1 &&
        EncryptScheduleBlock(ctx, blockB, encryptionKey.data()) &&
        EncryptScheduleBlock(ctx, blockA, authenticationKey.data()) &&
        EncryptScheduleBlock(ctx, std::span(blockK).first(TunnelKeyRecord::kTrafficSaltSize),
                             salt.data());
    if (derived) {
        traffic = master;
        traffic.trafficKey.fill(0);
        traffic.authKey.fill(0);
        std::memcpy(traffic.trafficKey.data(), encryptionKey.data(), encryptionKey.size());
        std::memcpy(traffic.authKey.data(), authenticationKey.data(), authenticationKey.size());
        std::memcpy(traffic.trafficSalt.data(), salt.data(), TunnelKeyRecord::kTrafficSaltSize);
        traffic.trafficKeyLength = kSaltBlockLength;
        traffic.authKeyLength = kSaltBlockLength;
        traffic.trafficSaltLength = TunnelKeyRecord::kTrafficSaltSize;
    }
    OPENSSL_cleanse(encryptionKey.data(), encryptionKey.size());
    OPENSSL_cleanse(authenticationKey.data(), authenticationKey.size());
    OPENSSL_cleanse(salt.data(), salt.size());
    OPENSSL_cleanse(blockB.data(), blockB.size());
    OPENSSL_cleanse(blockA.data(), blockA.size());
    OPENSSL_cleanse(blockK.data(), blockK.size());
    return derived;
}

bool TrafficCipher::LoadFrom(const TunnelKeyRecord& master, uint8_t epoch)
{
    Forget();
    // The data cipher context doubles as the derivation context: Load
    // re-initialises it for the packet direction right after.
    TunnelKeyRecord derived;
    if (!Derive(cipher, master, epoch, derived) || !Load(derived)) {
        return false;
    }
    source = &master;
    sourceEpoch = epoch;
    return true;
}

bool TrafficCipher::Load(const TunnelKeyRecord& traffic)
{
    Forget();
    keys = traffic;
    ready = KeyCipher() && KeyMac();
    if (!ready) {
        Forget();
    }
    return ready;
}

bool TrafficCipher::KeyCipher()
{
    if (cipher == nullptr) {
        return false;
    }
    const int encrypt = direction == Direction::kSeal ? 1 : 0;
    if (EVP_CipherInit_ex(cipher, EVP_aes_256_gcm(), nullptr, nullptr, nullptr, encrypt) != 1) {
        return false;
    }
    RequestKeyLength(cipher, keys.trafficKeyLength);
    // The key is the 32 bytes from the traffic key on: 16 derived, 16 zero.
    return EVP_CIPHER_CTX_ctrl(cipher, EVP_CTRL_GCM_SET_IVLEN, kIvLength, nullptr) == 1 &&
           EVP_CipherInit_ex(cipher, nullptr, nullptr, keys.trafficKey.data(), nullptr, encrypt) == 1;
}

bool TrafficCipher::KeyMac()
{
    if (mac == nullptr) {
        return false;
    }
    char digestName[] = "SHA256";
    const OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digestName, 0),
        OSSL_PARAM_construct_end(),
    };
    const size_t keyLength = std::min<size_t>(keys.authKeyLength, keys.authKey.size());
    return EVP_MAC_init(mac, keys.authKey.data(), keyLength, params) == 1;
}

void TrafficCipher::Forget()
{
    keys.Wipe();
    source = nullptr;
    sourceEpoch = 0;
    ready = false;
}

bool TrafficCipher::Seal(std::span<const uint8_t, kIvLength> iv, std::span<const uint8_t> head,
                         std::span<const uint8_t> body, uint8_t* out)
{
    if (!ready || direction != Direction::kSeal) {
        return false;
    }
    int headWritten = 0;
    int bodyWritten = 0;
    int finalWritten = 0;
    const bool sealed =
        EVP_EncryptInit_ex(cipher, nullptr, nullptr, nullptr, iv.data()) == 1 &&
        (head.empty() || EVP_EncryptUpdate(cipher, out, &headWritten, head.data(),
                                           static_cast<int>(head.size())) == 1) &&
        (body.empty() || EVP_EncryptUpdate(cipher, out + headWritten, &bodyWritten, body.data(),
                                           static_cast<int>(body.size())) == 1) &&
        EVP_EncryptFinal_ex(cipher, out + headWritten + bodyWritten, &finalWritten) == 1;
    const size_t total = static_cast<size_t>(headWritten) + static_cast<size_t>(bodyWritten) +
                         static_cast<size_t>(finalWritten);
    return sealed && total == head.size() + body.size() &&
           EVP_CIPHER_CTX_ctrl(cipher, EVP_CTRL_GCM_GET_TAG, kTagLength, out + total) == 1;
}

TrafficCipher::OpenStatus TrafficCipher::Open(std::span<const uint8_t, kIvLength> iv,
                                              std::span<const uint8_t> ciphertext,
                                              std::span<const uint8_t, kTagLength> tag,
                                              std::span<uint8_t> head, uint8_t* body)
{
    if (!ready || direction != Direction::kOpen || ciphertext.size() < head.size()) {
        return OpenStatus::kFailed;
    }
    const auto bodyIn = ciphertext.subspan(head.size());
    int headWritten = 0;
    int bodyWritten = 0;
    std::array<uint8_t, kTagLength> expected{};
    std::memcpy(expected.data(), tag.data(), expected.size());
    const bool decrypted =
        EVP_DecryptInit_ex(cipher, nullptr, nullptr, nullptr, iv.data()) == 1 &&
        (head.empty() || EVP_DecryptUpdate(cipher, head.data(), &headWritten, ciphertext.data(),
                                           static_cast<int>(head.size())) == 1) &&
        (bodyIn.empty() || EVP_DecryptUpdate(cipher, body, &bodyWritten, bodyIn.data(),
                                             static_cast<int>(bodyIn.size())) == 1) &&
        EVP_CIPHER_CTX_ctrl(cipher, EVP_CTRL_GCM_SET_TAG, kTagLength, expected.data()) == 1;
    if (!decrypted) {
        return OpenStatus::kFailed;
    }
    // GCM writes nothing at the end; `rest` only receives the call's output.
    std::array<uint8_t, kTagLength> rest{};
    int finalWritten = 0;
    if (EVP_DecryptFinal_ex(cipher, rest.data(), &finalWritten) != 1) {
        return OpenStatus::kTagMismatch;
    }
    return OpenStatus::kOpened;
}

bool TrafficCipher::Mac(std::span<const uint8_t> message, std::span<uint8_t, kDigestLength> out)
{
    if (!ready) {
        return false;
    }
    size_t written = 0;
    // A null key restarts the MAC with the key given by KeyMac.
    return EVP_MAC_init(mac, nullptr, 0, nullptr) == 1 &&
           EVP_MAC_update(mac, message.data(), message.size()) == 1 &&
           EVP_MAC_final(mac, out.data(), &written, out.size()) == 1 && written == out.size();
}

} // namespace zan

#include "KeyGeneration.h"

#include <openssl/crypto.h>
#include <openssl/rand.h>

#include <array>
#include <cstdint>

namespace zan {

namespace {

std::string Hex(const uint8_t* bytes, size_t count)
{
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    for (size_t i = 0; i < count; ++i) {
        text += kDigits[bytes[i] >> 4];
        text += kDigits[bytes[i] & 0x0f];
    }
    return text;
}

} // namespace

std::optional<std::string> GenerateTunnelKey()
{
    constexpr size_t kKeyBytes = 32;
    constexpr size_t kSaltBytes = 14;
    std::array<uint8_t, kKeyBytes + kSaltBytes> random{};
    if (RAND_bytes(random.data(), static_cast<int>(random.size())) != 1) {
        return std::nullopt;
    }
    std::string line = "1 " + Hex(random.data(), kKeyBytes) + " " + Hex(random.data() + kKeyBytes, kSaltBytes) + " 0";
    OPENSSL_cleanse(random.data(), random.size());
    return line;
}

} // namespace zan

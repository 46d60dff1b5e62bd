#include "NtlmTokens.h"

#include "ProxyBase64.h"

#include <ntlm.h>
#include <openssl/crypto.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <mutex>
#include <vector>

namespace zan {

namespace {

static_assert(sizeof(tSmbNtlmAuthChallenge) == kMaxDecodedChallenge, "challenge record size");

// Offsets within the challenge record as it travels (little-endian).
constexpr size_t kDomainLengthOffset = 12;
constexpr size_t kDomainOffsetOffset = 16;

std::mutex& LibraryLock()
{
    static std::mutex lock;
    return lock;
}

uint32_t ReadLe(std::span<const uint8_t> bytes, size_t at, size_t width)
{
    uint32_t value = 0;
    for (size_t i = 0; i < width; ++i) {
        value |= uint32_t{bytes[at + i]} << (8 * i);
    }
    return value;
}

// The library reads the domain name of the challenge from the offset and
// length the challenge gives. Some proxies send an offset that lies outside
// the record (squid's test helper sends an uninitialised one): such a name
// is dropped, so the answer carries no domain instead of bytes from
// outside what the proxy sent.
void DropDomainOutsideChallenge(std::span<uint8_t> record, size_t received)
{
    const uint64_t length = ReadLe(record, kDomainLengthOffset, 2);
    const uint64_t offset = ReadLe(record, kDomainOffsetOffset, 4);
    if (offset + length > received) {
        std::fill_n(record.begin() + kDomainLengthOffset, kDomainOffsetOffset + 4 - kDomainLengthOffset, 0);
    }
}

std::optional<std::string> Encode(std::span<const uint8_t> record, size_t bufferSize)
{
    std::vector<char> text(bufferSize);
    const int32_t length = Base64Encode(record, text);
    if (length < 0) {
        return std::nullopt;
    }
    return std::string(text.data(), static_cast<size_t>(length));
}

template <typename Record>
std::span<const uint8_t> Bytes(const Record& record)
{
    const size_t length = std::min<size_t>(SmbLength(&record), sizeof record);
    return {reinterpret_cast<const uint8_t*>(&record), length};
}

}  // namespace

std::optional<std::string> NtlmNegotiateToken(const char* user, const char* domain)
{
    tSmbNtlmAuthRequest request{};
    {
        std::lock_guard guard(LibraryLock());
        buildSmbNtlmAuthRequest(&request, user != nullptr ? user : "", domain);
    }
    return Encode(Bytes(request), kNegotiateTokenBuffer);
}

std::optional<std::string> NtlmAuthenticateToken(std::string_view challenge, const char* user,
                                                 const char* password)
{
    std::array<uint8_t, kMaxDecodedChallenge> received{};
    const int32_t length = Base64Decode(challenge, received);
    if (length < 0) {
        return std::nullopt;
    }
    DropDomainOutsideChallenge(received, static_cast<size_t>(length));
    tSmbNtlmAuthChallenge record{};
    std::memcpy(&record, received.data(), received.size());
    tSmbNtlmAuthResponse response{};
    {
        std::lock_guard guard(LibraryLock());
        buildSmbNtlmAuthResponse(&record, &response, user != nullptr ? user : "",
                                 password != nullptr ? password : "");
    }
    std::optional<std::string> token = Encode(Bytes(response), kAuthenticateTokenBuffer);
    // The response holds hashes of the password.
    OPENSSL_cleanse(&response, sizeof response);
    return token;
}

} // namespace zan

#include "ProxyBase64.h"

#include <array>

namespace zan {

namespace {

constexpr std::string_view kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr int8_t kNotInAlphabet = -1;

constexpr std::array<int8_t, 256> MakeDecodeTable()
{
    std::array<int8_t, 256> table{};
    table.fill(kNotInAlphabet);
    for (size_t i = 0; i < kAlphabet.size(); ++i) {
        table[static_cast<uint8_t>(kAlphabet[i])] = static_cast<int8_t>(i);
    }
    return table;
}
constexpr std::array<int8_t, 256> kDecodeTable = MakeDecodeTable();

bool IsBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

// The padding part of the text, from its first "=": `filled` characters of
// the group came before it (2 or 3). Only white space may follow, and one
// more "=" when the group had 2 characters.
bool PaddingIsValid(std::string_view rest, size_t filled)
{
    size_t padsAllowed = filled == 2 ? 1 : 0;
    for (char c : rest.substr(1)) {
        if (IsBlank(c)) {
            continue;
        }
        if (c != '=' || padsAllowed == 0) {
            return false;
        }
        --padsAllowed;
    }
    return true;
}

}  // namespace

int32_t Base64Encode(std::span<const uint8_t> bytes, std::span<char> output)
{
    const size_t length = Base64EncodedLength(bytes.size());
    if (output.size() <= length) {
        return -1;
    }
    size_t out = 0;
    size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const uint32_t group = (uint32_t{bytes[i]} << 16) | (uint32_t{bytes[i + 1]} << 8) | bytes[i + 2];
        output[out++] = kAlphabet[(group >> 18) & 0x3f];
        output[out++] = kAlphabet[(group >> 12) & 0x3f];
        output[out++] = kAlphabet[(group >> 6) & 0x3f];
        output[out++] = kAlphabet[group & 0x3f];
    }
    const size_t left = bytes.size() - i;
    if (left > 0) {
        const uint32_t group = (uint32_t{bytes[i]} << 16) | (left == 2 ? uint32_t{bytes[i + 1]} << 8 : 0);
        output[out++] = kAlphabet[(group >> 18) & 0x3f];
        output[out++] = kAlphabet[(group >> 12) & 0x3f];
        output[out++] = left == 2 ? kAlphabet[(group >> 6) & 0x3f] : '=';
        output[out++] = '=';
    }
    output[out] = '\0';
    return static_cast<int32_t>(out);
}

int32_t Base64Decode(std::string_view text, std::span<uint8_t> output)
{
    size_t written = 0;
    uint32_t group = 0;   // the sextets of the group so far
    size_t filled = 0;    // characters of the group so far
    for (size_t pos = 0; pos < text.size(); ++pos) {
        const char c = text[pos];
        if (IsBlank(c)) {
            continue;
        }
        if (c == '=') {
            if (filled < 2 || !PaddingIsValid(text.substr(pos), filled)) {
                return -1;
            }
            // 2 characters carry 1 byte (4 unused bits), 3 carry 2 (2 unused).
            const size_t bytes = filled - 1;
            const uint32_t unusedMask = filled == 2 ? 0x0f : 0x03;
            if ((group & unusedMask) != 0 || output.size() - written < bytes) {
                return -1;
            }
            const uint32_t value = group >> (filled == 2 ? 4 : 2);
            if (bytes == 2) {
                output[written++] = static_cast<uint8_t>(value >> 8);
            }
            output[written++] = static_cast<uint8_t>(value);
            return static_cast<int32_t>(written);
        }
        const int8_t sextet = kDecodeTable[static_cast<uint8_t>(c)];
        if (sextet == kNotInAlphabet) {
            return -1;
        }
        group = (group << 6) | static_cast<uint32_t>(sextet);
        if (++filled == 4) {
            if (output.size() - written < 3) {
                return -1;
            }
            output[written++] = static_cast<uint8_t>(group >> 16);
            output[written++] = static_cast<uint8_t>(group >> 8);
            output[written++] = static_cast<uint8_t>(group);
            group = 0;
            filled = 0;
        }
    }
    return filled == 0 ? static_cast<int32_t>(written) : -1;
}

} // namespace zan

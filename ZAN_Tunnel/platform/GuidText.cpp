#include "GuidText.h"

#include <cstdio>

namespace zan {

namespace {

constexpr size_t kGuidTextLength = 38;  // {8-4-4-4-12}

int HexDigit(char c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

} // namespace

std::string GuidText(const GUID& guid)
{
    char text[kGuidTextLength + 1];
    std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", guid.Data1, guid.Data2,
                  guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4],
                  guid.Data4[5], guid.Data4[6], guid.Data4[7]);
    return text;
}

std::optional<GUID> ParseGuid(std::string_view text)
{
    if (text.size() != kGuidTextLength || text.front() != '{' || text.back() != '}') {
        return std::nullopt;
    }
    // 32 hexadecimal digits with dashes after the 8th, 12th, 16th and 20th.
    uint8_t bytes[16] = {};
    size_t digits = 0;
    for (size_t i = 1; i + 1 < text.size(); ++i) {
        if (i == 9 || i == 14 || i == 19 || i == 24) {
            if (text[i] != '-') {
                return std::nullopt;
            }
            continue;
        }
        const int digit = HexDigit(text[i]);
        if (digit < 0) {
            return std::nullopt;
        }
        bytes[digits / 2] = static_cast<uint8_t>((bytes[digits / 2] << 4) | digit);
        ++digits;
    }
    GUID guid{};
    guid.Data1 = (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) | (uint32_t{bytes[2]} << 8) | bytes[3];
    guid.Data2 = static_cast<uint16_t>((bytes[4] << 8) | bytes[5]);
    guid.Data3 = static_cast<uint16_t>((bytes[6] << 8) | bytes[7]);
    for (int i = 0; i < 8; ++i) {
        guid.Data4[i] = bytes[8 + i];
    }
    return guid;
}

} // namespace zan

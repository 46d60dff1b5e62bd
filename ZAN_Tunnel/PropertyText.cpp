#include "PropertyText.h"

#include <algorithm>
#include <limits>

namespace zan {

namespace PropertyText {
namespace {

bool IsSpace(char16_t c)
{
    return c == u' ' || (c >= u'\t' && c <= u'\r');
}

bool IsDigit(char16_t c)
{
    return c >= u'0' && c <= u'9';
}

size_t SkipSpace(std::u16string_view text, size_t pos)
{
    while (pos < text.size() && IsSpace(text[pos])) {
        ++pos;
    }
    return pos;
}

// Magnitudes stop growing just past the largest one a signed 64-bit value
// can take (2^63 for a negative number), so long digit runs cannot wrap.
constexpr uint64_t kMagnitudeCap = uint64_t{1} << 63;

struct DecimalDigits {
    bool negative = false;
    uint64_t magnitude = 0;  // kMagnitudeCap + 1 when larger than the cap
    size_t digits = 0;
    size_t end = 0;  // position after the last digit read
};

// White space, an optional sign and the digits that follow, from `pos`.
DecimalDigits ReadDecimal(std::u16string_view text, size_t pos)
{
    DecimalDigits result;
    pos = SkipSpace(text, pos);
    if (pos < text.size() && (text[pos] == u'+' || text[pos] == u'-')) {
        result.negative = text[pos] == u'-';
        ++pos;
    }
    for (; pos < text.size() && IsDigit(text[pos]); ++pos) {
        const auto digit = static_cast<uint64_t>(text[pos] - u'0');
        if (result.magnitude > (kMagnitudeCap - digit) / 10) {
            result.magnitude = kMagnitudeCap + 1;
        } else {
            result.magnitude = result.magnitude * 10 + digit;
        }
        ++result.digits;
    }
    result.end = pos;
    return result;
}

int Nibble(char16_t c)
{
    if (IsDigit(c)) {
        return c - u'0';
    }
    if (c >= u'a' && c <= u'f') {
        return c - u'a' + 10;
    }
    return -1;
}

void AppendUtf8(std::string& out, char32_t c)
{
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

bool IsHighSurrogate(char16_t c)
{
    return c >= 0xD800 && c <= 0xDBFF;
}

bool IsLowSurrogate(char16_t c)
{
    return c >= 0xDC00 && c <= 0xDFFF;
}

} // namespace

std::optional<int32_t> ScanInt(std::u16string_view text, size_t& pos)
{
    const DecimalDigits read = ReadDecimal(text, pos);
    if (read.digits == 0) {
        return std::nullopt;
    }
    const uint64_t limit = read.negative ? uint64_t{1} << 31 : (uint64_t{1} << 31) - 1;
    if (read.magnitude > limit) {
        return std::nullopt;
    }
    pos = read.end;
    const auto magnitude = static_cast<int64_t>(read.magnitude);
    return static_cast<int32_t>(read.negative ? -magnitude : magnitude);
}

std::optional<int32_t> ScanInt(std::u16string_view text)
{
    size_t pos = 0;
    return ScanInt(text, pos);
}

int64_t DecimalValue64(std::u16string_view text)
{
    const DecimalDigits read = ReadDecimal(text, 0);
    if (read.negative) {
        if (read.magnitude >= kMagnitudeCap) {
            return std::numeric_limits<int64_t>::min();
        }
        return -static_cast<int64_t>(read.magnitude);
    }
    if (read.magnitude > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
        return std::numeric_limits<int64_t>::max();
    }
    return static_cast<int64_t>(read.magnitude);
}

int32_t DecimalValue(std::u16string_view text)
{
    return static_cast<int32_t>(std::clamp<int64_t>(DecimalValue64(text), std::numeric_limits<int32_t>::min(),
                                                    std::numeric_limits<int32_t>::max()));
}

std::vector<std::u16string_view> Split(std::u16string_view text, size_t maxParts)
{
    std::vector<std::u16string_view> parts;
    size_t start = 0;
    while (parts.size() + 1 < maxParts) {
        const size_t space = text.find(u' ', start);
        if (space == std::u16string_view::npos) {
            break;
        }
        parts.push_back(text.substr(start, space - start));
        start = space + 1;
    }
    parts.push_back(text.substr(start));
    return parts;
}

std::optional<std::vector<std::u16string_view>> ScanFields(std::u16string_view text, size_t count)
{
    std::vector<std::u16string_view> fields;
    size_t pos = 0;
    while (fields.size() < count) {
        pos = SkipSpace(text, pos);
        size_t end = pos;
        while (end < text.size() && !IsSpace(text[end])) {
            ++end;
        }
        if (end == pos) {
            return std::nullopt;
        }
        fields.push_back(text.substr(pos, end - pos));
        pos = end;
    }
    return fields;
}

std::optional<size_t> DecodeHex(std::u16string_view text, std::span<uint8_t> out)
{
    if (text.size() % 2 != 0 || text.size() / 2 > out.size()) {
        return std::nullopt;
    }
    for (size_t i = 0; i < text.size(); i += 2) {
        const int high = Nibble(text[i]);
        const int low = Nibble(text[i + 1]);
        if (high < 0 || low < 0) {
            return std::nullopt;
        }
        out[i / 2] = static_cast<uint8_t>(high << 4 | low);
    }
    return text.size() / 2;
}

std::string ToUtf8(std::u16string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const char16_t c = text[i];
        if (IsHighSurrogate(c) && i + 1 < text.size() && IsLowSurrogate(text[i + 1])) {
            AppendUtf8(out, 0x10000 + ((char32_t{c} - 0xD800) << 10) + (char32_t{text[i + 1]} - 0xDC00));
            ++i;
        } else if (IsHighSurrogate(c) || IsLowSurrogate(c)) {
            AppendUtf8(out, 0xFFFD);
        } else {
            AppendUtf8(out, c);
        }
    }
    return out;
}

std::u16string FromAscii(std::string_view text)
{
    return std::u16string(text.begin(), text.end());
}

} // namespace PropertyText

} // namespace zan

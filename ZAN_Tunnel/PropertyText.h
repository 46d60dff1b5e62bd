#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace zan {

// Readers for the wide texts a host passes as named property values. They
// only look at the text: no field is touched here, so a caller can parse a
// whole value before it stores anything. Parts come back as views into the
// caller's text, so secrets in a value are never copied by the parsing.
// White space is the C locale's: space, tab, line feed, vertical tab, form
// feed and carriage return.
namespace PropertyText {

// Scans one "%d" number from `pos`: white space, an optional sign, at least
// one decimal digit; anything after the digits is left for the next scan.
// nullopt (and `pos` unchanged) when there is no number or it does not fit
// in 32 bits.
[[nodiscard]] std::optional<int32_t> ScanInt(std::u16string_view text, size_t& pos);
// The whole value as "%d": one number, trailing text ignored.
[[nodiscard]] std::optional<int32_t> ScanInt(std::u16string_view text);

// Reads a decimal value the way the C library's text-to-integer
// conversion does: white space, sign, digits up to the first non-digit,
// 0 when there are none. Values beyond the type saturate at its limits.
[[nodiscard]] int64_t DecimalValue64(std::u16string_view text);
[[nodiscard]] int32_t DecimalValue(std::u16string_view text);

// Cuts `text` at single spaces into at most `maxParts` parts; the last part
// takes the rest of the text, spaces included. Two spaces in a row give an
// empty part.
[[nodiscard]] std::vector<std::u16string_view> Split(std::u16string_view text, size_t maxParts);

// Reads `count` fields separated by white space, as "%s" repeated `count`
// times; text after the last field is ignored. nullopt when there are fewer
// fields. Field lengths are the caller's to check: a length-limited scan
// would split a long field and shift every later one.
[[nodiscard]] std::optional<std::vector<std::u16string_view>> ScanFields(std::u16string_view text, size_t count);

// Decodes pairs of lower-case hexadecimal digits into `out`, the first digit
// of a pair the high nibble. Returns the byte count, or nullopt for any other
// character, an odd digit count or more bytes than `out` holds; `out` may be
// partly written then.
[[nodiscard]] std::optional<size_t> DecodeHex(std::u16string_view text, std::span<uint8_t> out);

// UTF-8 form of a wide text, for the module's 8-bit messages. Unpaired
// surrogates become U+FFFD.
[[nodiscard]] std::string ToUtf8(std::u16string_view text);
// Wide form of an ASCII text (numbers and fixed answers).
[[nodiscard]] std::u16string FromAscii(std::string_view text);

} // namespace PropertyText

} // namespace zan

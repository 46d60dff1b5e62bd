#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace zan {

// Base64 of RFC 4648 (standard alphabet, "=" padding) for the tokens of the
// proxy exchange. Pure functions over spans: no allocation, no socket.

// Encodes `bytes` into `output` and zero-terminates it. Returns the number
// of characters written (without the zero), or -1 when the text and its
// zero do not fit (`output` then holds nothing usable).
[[nodiscard]] int32_t Base64Encode(std::span<const uint8_t> bytes, std::span<char> output);

// The number of characters Base64Encode writes for `count` bytes.
[[nodiscard]] constexpr size_t Base64EncodedLength(size_t count) { return (count + 2) / 3 * 4; }

// The most a proxy's NTLM challenge may decode to: the size of the
// challenge record it is decoded into.
inline constexpr size_t kMaxDecodedChallenge = 1076;

// Decodes `text` into `output`, strictly:
//   - white space anywhere is skipped;
//   - a character outside the alphabet fails;
//   - decoding stops at the first "="; only white space may follow it,
//     and one more "=" where the group had room for a second one;
//   - a "=" after 0 or 1 characters of a group fails;
//   - text that ends inside a group (no padding) fails;
//   - the unused low bits of a group's last character must be zero;
//   - more bytes than `output` holds fails.
// Returns the number of bytes written, or -1.
[[nodiscard]] int32_t Base64Decode(std::string_view text, std::span<uint8_t> output);

} // namespace zan

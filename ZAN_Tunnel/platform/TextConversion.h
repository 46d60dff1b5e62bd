#pragma once

#include <string>
#include <string_view>

namespace zan {

// The module's 8-bit texts are UTF-8; automation texts are UTF-16. Both
// directions replace what cannot be decoded (a malformed or overlong UTF-8
// sequence, an encoded surrogate, a lone UTF-16 surrogate) with U+FFFD and
// go on, so no input can make a conversion fail.
std::u16string Utf8ToUtf16(std::string_view text);
std::string Utf16ToUtf8(std::u16string_view text);

} // namespace zan

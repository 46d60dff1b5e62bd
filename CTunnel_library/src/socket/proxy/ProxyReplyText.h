#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace zan {

// Reading an HTTP proxy's reply to CONNECT: pure functions over the reply
// text, no socket. The reply text is everything received so far.

// Authentication schemes a proxy offers (bit set).
namespace ProxyScheme {
inline constexpr uint32_t kNegotiate = 0x1;
inline constexpr uint32_t kBasic = 0x20;
inline constexpr uint32_t kNtlm = 0x400;
inline constexpr uint32_t kKerberos = 0x8000;
}  // namespace ProxyScheme

// The longest reply text that is kept: the size of the work area the NTLM
// login copies a reply into. Reading stops once a reply reaches it.
inline constexpr size_t kMaxProxyReply = 131070;

// The body length announced by "Content-Length: ": 0 without the header,
// -1 when no space follows the header name. The value is read as a signed
// decimal number after leading blanks, up to the first non-digit (0 with no
// digit); values beyond 32 bits are held at INT32_MIN / INT32_MAX.
[[nodiscard]] int32_t GetContentLength(std::string_view text);

// The schemes named by every "Proxy-Authenticate" header. A header value is
// matched on its scheme token (up to the first space, case-insensitively),
// so "Basic realm=\"proxy\"" offers Basic.
[[nodiscard]] uint32_t GetAuthSchemes(std::string_view text);

// The NTLM challenge of the first "Proxy-Authenticate: " header: the value
// after "NTLM " up to the end of its line. False without such a header, or
// when its value is too short to hold the scheme name.
[[nodiscard]] bool GetProxyChallenge(std::string_view text, std::string& challenge);

// Status code and reason of a reply text. When it contains "HTTP/1.0" or
// "HTTP/1.1" the status line is the text from offset 9 to the first CR LF;
// otherwise it is the whole text. The code is its first 3 characters, the
// reason the rest from offset 4 up to a CR LF. True when the code is "200";
// an empty reply gives false and leaves code and reason untouched.
bool ParseProxyStatus(std::string_view reply, std::string& code, std::string& reason);

// Tells when a reply being read is complete: the header ends at the first
// blank line, and a positive Content-Length adds that many body bytes. A
// reply of kMaxProxyReply bytes counts as complete (it is read no further).
class ProxyReplyProgress {
public:
    // Whether `reply` (all received so far) is complete.
    [[nodiscard]] bool Complete(std::string_view reply);
    // Where the reply ends in the text (header and announced body): the
    // bytes after it belong to the stream that follows. The text's length
    // while the end is not known.
    [[nodiscard]] size_t End(std::string_view reply) const;

private:
    bool headerKnown = false;
    size_t expected = 0;  // header and body length, once the header is known
};

} // namespace zan

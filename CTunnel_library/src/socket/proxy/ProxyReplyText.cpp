#include "ProxyReplyText.h"

#include <array>
#include <limits>

namespace zan {

namespace {

constexpr std::string_view kContentLength = "Content-Length: ";
constexpr std::string_view kAuthenticate = "Proxy-Authenticate";
constexpr std::string_view kAuthenticateHeader = "Proxy-Authenticate: ";
constexpr std::string_view kHeaderEnd = "\r\n\r\n";
constexpr std::string_view kLineEnd = "\r\n";
// The next "Proxy-Authenticate" is looked for this far past the start of
// the last one (past its name and ": ").
constexpr size_t kAuthenticateStep = 20;
// From the space after "Proxy-Authenticate:" to the challenge: the space
// and "NTLM ".
constexpr size_t kChallengeOffset = 6;
// The furthest the space after "Proxy-Authenticate:" may lie from the start.
constexpr size_t kChallengeSearchLimit = 131069;
constexpr size_t kStatusOffset = 9;  // "HTTP/1.x " before the code
constexpr size_t kCodeLength = 3;
constexpr size_t kReasonOffset = 4;

struct SchemeName {
    std::string_view name;
    uint32_t flag;
};
constexpr std::array<SchemeName, 4> kSchemes{{
    {"negotiate", ProxyScheme::kNegotiate},
    {"basic", ProxyScheme::kBasic},
    {"ntlm", ProxyScheme::kNtlm},
    {"kerberos", ProxyScheme::kKerberos},
}};

char Lower(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (Lower(a[i]) != Lower(b[i])) {
            return false;
        }
    }
    return true;
}

// The text from `from` up to the first CR or LF.
std::string_view LineFrom(std::string_view text, size_t from)
{
    const std::string_view rest = text.substr(from);
    return rest.substr(0, rest.find_first_of("\r\n"));
}

bool IsBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\v' || c == '\f';
}

// A decimal number as atoi reads it (leading blanks, optional sign, digits
// up to the first non-digit), held within 32 bits.
int32_t ReadDecimal(std::string_view text)
{
    size_t pos = 0;
    while (pos < text.size() && IsBlank(text[pos])) {
        ++pos;
    }
    bool negative = false;
    if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
        negative = text[pos] == '-';
        ++pos;
    }
    constexpr int64_t kLimit = int64_t{std::numeric_limits<int32_t>::max()} + 1;
    int64_t value = 0;
    for (; pos < text.size() && text[pos] >= '0' && text[pos] <= '9'; ++pos) {
        value = std::min(value * 10 + (text[pos] - '0'), kLimit);
    }
    if (negative) {
        return static_cast<int32_t>(-value);
    }
    return static_cast<int32_t>(std::min<int64_t>(value, std::numeric_limits<int32_t>::max()));
}

}  // namespace

int32_t GetContentLength(std::string_view text)
{
    const size_t header = text.find(kContentLength);
    if (header == std::string_view::npos) {
        return 0;
    }
    const size_t space = text.find(' ', header);
    if (space == std::string_view::npos) {
        return -1;
    }
    return ReadDecimal(LineFrom(text, space + 1));
}

uint32_t GetAuthSchemes(std::string_view text)
{
    uint32_t flags = 0;
    for (size_t at = text.find(kAuthenticate); at != std::string_view::npos;
         at = text.find(kAuthenticate, at + kAuthenticateStep)) {
        const size_t space = text.find(' ', at + kAuthenticate.size());
        if (space == std::string_view::npos) {
            break;
        }
        std::string_view value = LineFrom(text, space + 1);
        while (!value.empty() && IsBlank(value.front())) {
            value.remove_prefix(1);
        }
        const std::string_view token = value.substr(0, value.find(' '));
        for (const SchemeName& scheme : kSchemes) {
            if (EqualsIgnoringCase(token, scheme.name)) {
                flags |= scheme.flag;
            }
        }
        if (at + kAuthenticateStep >= text.size()) {
            break;
        }
    }
    return flags;
}

bool GetProxyChallenge(std::string_view text, std::string& challenge)
{
    const size_t header = text.find(kAuthenticateHeader);
    if (header == std::string_view::npos) {
        return false;
    }
    const size_t space = text.find(' ', header);
    if (space > kChallengeSearchLimit || space + kChallengeOffset > text.size()) {
        return false;
    }
    challenge.assign(LineFrom(text, space + kChallengeOffset));
    return true;
}

bool ParseProxyStatus(std::string_view reply, std::string& code, std::string& reason)
{
    if (reply.empty()) {
        return false;
    }
    std::string_view status = reply;
    if (reply.find("HTTP/1.0") != std::string_view::npos || reply.find("HTTP/1.1") != std::string_view::npos) {
        const size_t lineEnd = reply.find(kLineEnd);
        const size_t end = lineEnd == std::string_view::npos ? reply.size() : lineEnd;
        status = end > kStatusOffset ? reply.substr(kStatusOffset, end - kStatusOffset) : std::string_view();
    }
    code.assign(status.substr(0, kCodeLength));
    if (status.size() < kReasonOffset) {
        reason.clear();
    } else {
        const std::string_view rest = status.substr(kReasonOffset);
        reason.assign(rest.substr(0, rest.find(kLineEnd)));
    }
    return code == "200";
}

bool ProxyReplyProgress::Complete(std::string_view reply)
{
    if (reply.size() >= kMaxProxyReply) {
        return true;
    }
    if (!headerKnown) {
        const size_t blank = reply.find(kHeaderEnd);
        if (blank == std::string_view::npos) {
            return false;
        }
        const int32_t body = GetContentLength(reply);
        if (body < 1) {
            expected = blank + kHeaderEnd.size();
            headerKnown = true;
            return true;
        }
        expected = blank + kHeaderEnd.size() + static_cast<size_t>(body);
        headerKnown = true;
    }
    return reply.size() >= expected;
}

size_t ProxyReplyProgress::End(std::string_view reply) const
{
    return headerKnown ? std::min(expected, reply.size()) : reply.size();
}

} // namespace zan

#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace zan {

// The NTLM records of a proxy login, built by libntlm and carried as
// Base64 tokens. libntlm speaks NTLMv1 only. Calls into the library are
// serialised: it keeps scratch state of its own.

// Token sizes the login allows, the terminating zero included.
inline constexpr size_t kNegotiateTokenBuffer = 131070;
inline constexpr size_t kAuthenticateTokenBuffer = 65535;

// The Base64 of the negotiate (type 1) record for `user` and `domain`
// (null: none). Nothing when the token does not fit its buffer.
[[nodiscard]] std::optional<std::string> NtlmNegotiateToken(const char* user, const char* domain);

// The Base64 of the authenticate (type 3) record answering `challenge`,
// the Base64 text of the proxy's type 2 record. Nothing when the challenge
// is not strict Base64 or decodes to more than the challenge record, or
// the token does not fit. A domain name that lies outside the bytes the
// challenge carries is left out of the answer.
[[nodiscard]] std::optional<std::string> NtlmAuthenticateToken(std::string_view challenge, const char* user,
                                                               const char* password);

} // namespace zan

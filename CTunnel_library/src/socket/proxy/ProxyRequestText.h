#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace zan {

// The CONNECT requests of the proxy exchange, byte for byte. `host` is the
// tunnel peer's host text exactly as given (the proxy resolves it), the
// port is written in decimal.

// The first request, without credentials. Its connection header is spelled
// "proxy-Connection", as proxies have always received it from this client.
[[nodiscard]] std::string ConnectRequest(std::string_view host, uint16_t port);

// The request of the Basic login. `token` is the Base64 of "user:password";
// the "Proxy-Authorization" line is left out when `token` is empty.
[[nodiscard]] std::string BasicConnectRequest(std::string_view host, uint16_t port, std::string_view token);

// A request of the NTLM login carrying `token` (the Base64 of an NTLM
// record).
[[nodiscard]] std::string NtlmConnectRequest(std::string_view host, uint16_t port, std::string_view token);

} // namespace zan

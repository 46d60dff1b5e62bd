#include "ProxyRequestText.h"

namespace zan {

namespace {

constexpr std::string_view kCrLf = "\r\n";
constexpr std::string_view kCommonHeaders = "User-Agent: corvana\r\n";
constexpr std::string_view kKeepAlive = "Proxy-Connection: Keep-Alive\r\n";
constexpr std::string_view kPragma = "Pragma: no-cache\r\n";

std::string RequestLine(std::string_view host, uint16_t port)
{
    std::string text = "CONNECT ";
    text.append(host).append(":").append(std::to_string(port)).append(" HTTP/1.0").append(kCrLf);
    text.append(kCommonHeaders);
    return text;
}

}  // namespace

std::string ConnectRequest(std::string_view host, uint16_t port)
{
    std::string text = RequestLine(host, port);
    text.append("proxy-Connection: Keep-Alive\r\n").append(kPragma).append(kCrLf);
    return text;
}

std::string BasicConnectRequest(std::string_view host, uint16_t port, std::string_view token)
{
    std::string text = RequestLine(host, port);
    text.append(kKeepAlive).append(kPragma);
    if (!token.empty()) {
        text.append("Proxy-Authorization: Basic ").append(token).append(kCrLf);
    }
    text.append(kCrLf);
    return text;
}

std::string NtlmConnectRequest(std::string_view host, uint16_t port, std::string_view token)
{
    std::string text = RequestLine(host, port);
    text.append(kKeepAlive).append(kPragma);
    text.append("Proxy-Authorization: NTLM ").append(token).append(kCrLf).append(kCrLf);
    return text;
}

} // namespace zan

#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

struct pxProxyFactory_;

namespace zan {

// The proxy the user configured for the desktop, read through libproxy:
// the environment (http_proxy, https_proxy, no_proxy ...), GNOME or KDE
// settings through its plug-ins, and PAC/WPAD where a PAC plug-in is
// installed. The control asks for the proxy of the tunnel's own
// destination, so the user's exceptions (no_proxy ...) apply to it.
//
// One factory per control, made on first use and freed with the control;
// used on the host's thread only.
class ProxyDiscovery {
public:
    ProxyDiscovery();
    ~ProxyDiscovery();

    ProxyDiscovery(const ProxyDiscovery&) = delete;
    ProxyDiscovery& operator=(const ProxyDiscovery&) = delete;

    // The "host:port" text of the HTTP proxy for https://HOST:PORT, or,
    // when that is direct, for http://HOST:PORT (many users set only
    // http_proxy). Nothing when the destination is reached directly.
    std::optional<std::string> ProxyServerFor(const std::string& host, uint16_t port);

    // The "host:port" part of one proxy that libproxy names: an http://
    // URL (or a bare host:port) without its scheme, credentials or path.
    // Nothing for other kinds (direct://, socks://, ...).
    static std::optional<std::string> HttpProxyAddress(std::string_view proxy);

    // Splits a proxy server text: the host is the text up to its first
    // colon, the port the text after its last colon (each the whole text
    // when it has no colon).
    static void SplitServerText(std::u16string_view text, std::u16string& host, std::u16string& port);

private:
    // The first HTTP proxy libproxy gives for `url`.
    std::optional<std::string> FirstHttpProxy(const std::string& url);

    pxProxyFactory_* factory = nullptr;
};

} // namespace zan

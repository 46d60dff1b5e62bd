#include "ProxyDiscovery.h"

#include <proxy.h>

namespace zan {

namespace {

constexpr std::string_view kHttpScheme = "http://";
constexpr std::string_view kSchemeEnd = "://";

// Frees the list libproxy returns on every way out.
struct ProxyList {
    char** entries;
    ~ProxyList()
    {
        if (entries != nullptr) {
            px_proxy_factory_free_proxies(entries);
        }
    }
};

bool StartsWithIgnoringCase(std::string_view text, std::string_view prefix)
{
    if (text.size() < prefix.size()) {
        return false;
    }
    for (size_t i = 0; i < prefix.size(); ++i) {
        const char c = text[i] >= 'A' && text[i] <= 'Z' ? static_cast<char>(text[i] - 'A' + 'a') : text[i];
        if (c != prefix[i]) {
            return false;
        }
    }
    return true;
}

}  // namespace

ProxyDiscovery::ProxyDiscovery() = default;

ProxyDiscovery::~ProxyDiscovery()
{
    if (factory != nullptr) {
        px_proxy_factory_free(factory);
    }
}

std::optional<std::string> ProxyDiscovery::HttpProxyAddress(std::string_view proxy)
{
    if (StartsWithIgnoringCase(proxy, kHttpScheme)) {
        proxy.remove_prefix(kHttpScheme.size());
    } else if (proxy.find(kSchemeEnd) != std::string_view::npos) {
        return std::nullopt;  // direct://, socks://, https:// ...
    }
    // A value set without a scheme (http_proxy=proxy.corp:8080) comes back
    // as it was given: an HTTP proxy too.
    proxy = proxy.substr(0, proxy.find_first_of("/?#"));
    const size_t credentials = proxy.rfind('@');
    if (credentials != std::string_view::npos) {
        proxy.remove_prefix(credentials + 1);
    }
    if (proxy.empty()) {
        return std::nullopt;
    }
    return std::string(proxy);
}

void ProxyDiscovery::SplitServerText(std::u16string_view text, std::u16string& host, std::u16string& port)
{
    host.assign(text.substr(0, text.find(u':')));
    const size_t last = text.rfind(u':');
    port.assign(last == std::u16string_view::npos ? text : text.substr(last + 1));
}

std::optional<std::string> ProxyDiscovery::FirstHttpProxy(const std::string& url)
{
    if (factory == nullptr) {
        factory = px_proxy_factory_new();
        if (factory == nullptr) {
            return std::nullopt;
        }
    }
    const ProxyList list{px_proxy_factory_get_proxies(factory, url.c_str())};
    for (char** entry = list.entries; entry != nullptr && *entry != nullptr; ++entry) {
        if (auto address = HttpProxyAddress(*entry)) {
            return address;
        }
    }
    return std::nullopt;
}

std::optional<std::string> ProxyDiscovery::ProxyServerFor(const std::string& host, uint16_t port)
{
    const std::string destination = host + ":" + std::to_string(port);
    if (auto proxy = FirstHttpProxy("https://" + destination)) {
        return proxy;
    }
    return FirstHttpProxy("http://" + destination);
}

} // namespace zan

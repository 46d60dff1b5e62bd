// Arbitrary proxy replies: the text readers must never read or write
// outside their input and output, Base64 must round-trip what it accepts,
// and the exchange must end, whatever the proxy sends.

#include "ProxyBase64.h"
#include "ProxyExchange.h"
#include "ProxyReplyText.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace {

using namespace zan;

// Replays the input as the proxy's side of every connection: the input is
// cut into reads at each 0xff byte, and each connection gets the same reads.
class ReplayedProxy : public IProxyConnection {
public:
    explicit ReplayedProxy(std::string_view input)
    {
        size_t from = 0;
        for (size_t at = input.find('\xff'); at != std::string_view::npos; at = input.find('\xff', from)) {
            reads.emplace_back(input.substr(from, at - from));
            from = at + 1;
        }
        reads.emplace_back(input.substr(from));
    }
    int32_t SendAll(std::span<const uint8_t> bytes) override
    {
        if (++sends > 16) {
            std::abort();  // more requests than the exchange has steps
        }
        return static_cast<int32_t>(bytes.size());
    }
    int32_t Receive(std::span<uint8_t> buffer, int64_t timeoutMs) override
    {
        if (next >= reads.size()) {
            return -123;
        }
        const std::string& chunk = reads[next++];
        if (chunk.empty()) {
            now += timeoutMs;
            return 0;
        }
        const size_t count = std::min(chunk.size(), buffer.size());
        std::copy_n(chunk.begin(), count, buffer.begin());
        now += 100;
        return static_cast<int32_t>(count);
    }
    bool PrepareSocket() override
    {
        next = 0;
        return ++connections < 4;
    }
    int32_t ConnectToProxy() override { return 0; }
    void ReportError(const std::string& message) override { lastError = message; }
    std::string LastErrorText() const override { return lastError; }
    int64_t NowMs() const override { return now; }

private:
    std::vector<std::string> reads;
    size_t next = 0;
    int sends = 0;
    int connections = 0;
    int64_t now = 0;
    std::string lastError;
};

void CheckBase64(std::string_view text)
{
    std::array<uint8_t, kMaxDecodedChallenge> decoded{};
    const int32_t length = Base64Decode(text, decoded);
    if (length < 0) {
        return;
    }
    if (static_cast<size_t>(length) > decoded.size()) {
        std::abort();
    }
    std::vector<char> encoded(Base64EncodedLength(static_cast<size_t>(length)) + 1);
    const int32_t written = Base64Encode(std::span(decoded).first(static_cast<size_t>(length)), encoded);
    std::array<uint8_t, kMaxDecodedChallenge> again{};
    if (written < 0 || Base64Decode({encoded.data(), static_cast<size_t>(written)}, again) != length ||
        !std::equal(again.begin(), again.begin() + length, decoded.begin())) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view input(reinterpret_cast<const char*>(data), size);

    (void)GetContentLength(input);
    (void)GetAuthSchemes(input);
    std::string code;
    std::string reason;
    (void)ParseProxyStatus(input, code, reason);
    if (code.size() > 3) {
        std::abort();
    }
    ProxyReplyProgress progress;
    for (size_t end = 0; end <= input.size(); end += 97) {
        if (progress.Complete(input.substr(0, end)) && progress.End(input.substr(0, end)) > end) {
            std::abort();
        }
    }
    std::string challenge;
    if (GetProxyChallenge(input, challenge)) {
        CheckBase64(challenge);
    }
    CheckBase64(input);

    for (const char* user : {"CORP\\alice", ""}) {
        ProxyExchange::Settings settings;
        settings.destinationHost = "relay.example";
        settings.destinationPort = 443;
        settings.proxyHost = "127.0.0.1";
        settings.user = user;
        settings.password = "secret";
        ReplayedProxy proxy(input);
        ProxyExchange exchange(proxy, settings);
        if (exchange.Run() && exchange.StreamStart().size() > size) {
            std::abort();
        }
    }
    return 0;
}

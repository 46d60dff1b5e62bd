#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace zan {

// What the proxy exchange needs of the connection to the proxy. The TCP
// tunnel socket implements it over its stream socket; tests script it.
class IProxyConnection {
public:
    virtual ~IProxyConnection() = default;

    // Writes all of `bytes`: their count; 0 when the write failed; another
    // negative result when the socket is shutting down.
    virtual int32_t SendAll(std::span<const uint8_t> bytes) = 0;
    // Waits up to `timeoutMs` for bytes and reads what is there: the count,
    // 0 when nothing came in time, negative on an error or end of stream.
    virtual int32_t Receive(std::span<uint8_t> buffer, int64_t timeoutMs) = 0;
    // Abandons the connection and opens a new unconnected socket; false
    // when that failed.
    virtual bool PrepareSocket() = 0;
    // Connects the new socket to the proxy: 0, or the failure result.
    virtual int32_t ConnectToProxy() = 0;
    // The tunnel's error report: the last error text becomes `message`,
    // and the owner hears of it.
    virtual void ReportError(const std::string& message) = 0;
    virtual std::string LastErrorText() const = 0;
    // Milliseconds on any steady clock.
    virtual int64_t NowMs() const = 0;
};

} // namespace zan

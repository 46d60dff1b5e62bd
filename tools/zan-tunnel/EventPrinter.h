#pragma once

#include "IDispatch.h"

#include <atomic>
#include <cstdio>
#include <string>

namespace zan {

// An event sink that writes each event of the control as one line:
// "ConnectEvent", "DisconnectEvent 0", "ErrorEvent 0x80004005 <message>",
// "LogEvent <message>" (such as "Tunnel : peer address changed from
// 10.0.0.1:7000 to 10.0.0.1:7001"), with the message's line feeds written
// as \n.
class EventPrinter : public IDispatch {
public:
    explicit EventPrinter(std::FILE* out = stderr) : out(out) {}

    HRESULT QueryInterface(const IID& iid, void** object) override;
    uint32_t AddRef() override { return ++references; }
    uint32_t Release() override { return --references; }  // owned by the host, not by counts
    HRESULT GetTypeInfoCount(uint32_t* count) override;
    HRESULT GetTypeInfo(uint32_t index, uint32_t lcid, void** typeInfo) override;
    HRESULT GetIDsOfNames(const IID& iid, const char16_t** names, uint32_t count, uint32_t lcid,
                          DISPID* ids) override;
    HRESULT Invoke(DISPID dispid, const IID& iid, uint32_t lcid, uint16_t flags, DISPPARAMS* params,
                   VARIANT* result, void* excepInfo, uint32_t* argErr) override;

    uint64_t Connects() const { return connects.load(); }
    uint64_t Disconnects() const { return disconnects.load(); }
    uint64_t Errors() const { return errors.load(); }
    uint64_t Logs() const { return logs.load(); }

    // "a\nb" -> "a\\nb": one event, one line.
    static std::string OneLine(const std::string& text);

private:
    std::FILE* out;
    std::atomic<uint32_t> references{1};
    std::atomic<uint64_t> connects{0};
    std::atomic<uint64_t> disconnects{0};
    std::atomic<uint64_t> errors{0};
    std::atomic<uint64_t> logs{0};
};

} // namespace zan

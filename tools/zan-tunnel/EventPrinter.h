#pragma once

#include "IDispatch.h"

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

namespace zan {

// An event sink that writes each event of the control as one line of the
// host's log: "ConnectEvent 192.0.2.1:7000 (tunnel up)", "DisconnectEvent 0
// (tunnel down, ...)", "ErrorEvent 0x80004005 <message>", "LogEvent
// <message>", a message's lines joined with "; ". In JSON the events are
// "connect" (peer), "disconnect" (code), "error" (code, message) and
// "log" (message). Error messages are also kept for the host to judge.
class EventPrinter : public IDispatch {
public:
    HRESULT QueryInterface(const IID& iid, void** object) override;
    uint32_t AddRef() override { return ++references; }
    uint32_t Release() override { return --references; }  // owned by the host, not by counts
    HRESULT GetTypeInfoCount(uint32_t* count) override;
    HRESULT GetTypeInfo(uint32_t index, uint32_t lcid, void** typeInfo) override;
    HRESULT GetIDsOfNames(const IID& iid, const char16_t** names, uint32_t count, uint32_t lcid,
                          DISPID* ids) override;
    HRESULT Invoke(DISPID dispid, const IID& iid, uint32_t lcid, uint16_t flags, DISPPARAMS* params,
                   VARIANT* result, void* excepInfo, uint32_t* argErr) override;

    // The address a ConnectEvent names (the control's event carries none).
    void SetPeer(const std::string& address);

    uint64_t Connects() const { return connects.load(); }
    uint64_t Disconnects() const { return disconnects.load(); }
    uint64_t Errors() const { return errors.load(); }
    uint64_t Logs() const { return logs.load(); }
    // The error messages since the last call, oldest first.
    std::vector<std::string> TakeErrors();
    // While held, error events are kept for TakeErrors but not logged: the
    // host folds them into its own line (a failed start, a tunnel not up).
    void HoldErrors(bool hold);
    std::string LastError() const;

    // "a\nb\n\n" -> "a; b": a report or message on one line.
    static std::string OneLine(const std::string& text);

private:
    std::atomic<uint32_t> references{1};
    std::atomic<uint64_t> connects{0};
    std::atomic<uint64_t> disconnects{0};
    std::atomic<uint64_t> errors{0};
    std::atomic<uint64_t> logs{0};
    mutable std::mutex lock;  // guards: peer, newErrors, lastError, holding
    std::string peer;
    std::vector<std::string> newErrors;
    std::string lastError;
    bool holding = false;
};

} // namespace zan

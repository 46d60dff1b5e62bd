#pragma once

#include "ConnectionPoint.h"
#include "ControlSettings.h"
#include "ITunnelEvents.h"
#include "IZAN_Tunnel.h"
#include "ModuleLock.h"
#include "ProxyDiscovery.h"
#include "TunnelStatistics.h"
#include "TunnelStatisticsSnapshot.h"
#include "ZAN_Properties.h"

#include <atomic>
#include <memory>
#include <optional>
#include <string>

namespace zan {

class CTunnel;

// The tunnel control: keeps the whole configuration (every setter only
// stores), creates the engine on first need, hands the configuration over
// on Start in a fixed order, and turns the engine's reports into events.
// Host calls arrive on the host's thread; the engine reports from any
// thread. Failures end in the exception boundary: a report, a log entry and
// a message, and the exception's code as the result.
//
// Objects are made with CreateInstance (one reference, the caller's); the
// last Release runs FinalRelease and destroys the control.
class CZAN_Tunnel : public IZAN_Tunnel,
                    public IConnectionPointContainer,
                    public IZAN_TunnelStatistics,
                    public ComObjectRoot,
                    private ITunnelEvents {
public:
    // A new control with one reference, after FinalConstruct.
    static HRESULT CreateInstance(CZAN_Tunnel** control);
    // The control's own IUnknown (its two interfaces share one, which the
    // object wrapper implements); callers holding a CZAN_Tunnel* use these.
    uint32_t AddRefControl() { return static_cast<IZAN_Tunnel*>(this)->AddRef(); }
    uint32_t ReleaseControl() { return static_cast<IZAN_Tunnel*>(this)->Release(); }

    // IDispatch, served from the compiled-in type library.
    HRESULT GetTypeInfoCount(uint32_t* count) override;
    HRESULT GetTypeInfo(uint32_t index, uint32_t lcid, void** typeInfo) override;
    HRESULT GetIDsOfNames(const IID& iid, const char16_t** names, uint32_t count, uint32_t lcid,
                          DISPID* ids) override;
    HRESULT Invoke(DISPID dispid, const IID& iid, uint32_t lcid, uint16_t flags, DISPPARAMS* params,
                   VARIANT* result, void* excepInfo, uint32_t* argErr) override;

    // IConnectionPointContainer
    HRESULT FindConnectionPoint(const IID& iid, IConnectionPoint** point) override;

    // IZAN_TunnelStatistics
    HRESULT GetStatistics(TunnelStatisticsSnapshot* snapshot) override;

    // IZAN_Tunnel
    HRESULT Start() override;
    HRESULT Stop() override;
    HRESULT Clear() override;
    HRESULT SetDestinationAddress(BSTR address, uint32_t port, uint8_t mode) override;
    HRESULT SetDestinationPort(uint32_t port, uint8_t mode) override;
    HRESULT SetReceiveAddress(BSTR address) override;
    HRESULT AddReceivePort(uint32_t port) override;
    HRESULT SetSendAddress(BSTR address) override;
    HRESULT SetSourceTag(int32_t sourceTag) override;
    HRESULT SetLogLevel(uint8_t level) override;
    HRESULT get_CryptoKey(BSTR* pVal) override;
    HRESULT put_CryptoKey(BSTR newVal) override;
    HRESULT get_CryptoType(uint32_t* pVal) override;
    HRESULT put_CryptoType(uint32_t newVal) override;
    HRESULT GetSocketStackFactoryInstance(intptr_t* instance) override;
    HRESULT get_Filename(BSTR* pVal) override;
    HRESULT put_Filename(BSTR newVal) override;
    HRESULT SaveExternalData(int32_t port, int32_t len, char* buff) override;
    HRESULT StartRecording() override;
    HRESULT StopRecording() override;
    HRESULT RecordingModeState(uint8_t* state) override;
    HRESULT SetHeader(int32_t len, char* header) override;
    HRESULT put_LocalPort(uint32_t newVal) override;
    HRESULT SetProperties(BSTR prop, BSTR newVal) override;
    HRESULT GetProperties(BSTR prop, BSTR* pVal) override;

    // For a host in the same process: the engine's counters, when an
    // engine exists. Reading never blocks the engine's packet paths.
    std::optional<TunnelStatistics::Snapshot> Statistics() const;
    // For a host in the same process: failed TCP reconnection tries in a
    // row before the tunnel gives up; 0 (the default) tries until stopped.
    // Takes effect at the next Start.
    void SetTcpReconnectLimit(uint32_t tries) { tcpReconnectLimit = tries; }
    // The sink the engine reports to (tests drive it from their own threads).
    ITunnelEvents& EngineEvents() { return *this; }
    // The configuration as it stands (tests and diagnostics).
    const ControlSettings& Settings() const { return settings; }
    bool IsStarted() const { return started; }

    // For the object wrapper: the interface pointer of `iid`, or null.
    void* GetInterface(const IID& iid);
    HRESULT FinalConstruct();
    void FinalRelease();

protected:
    CZAN_Tunnel();
    ~CZAN_Tunnel();

private:

    // ITunnelEvents, called from any thread.
    void OnConnected(const char* host, uint16_t port) override;
    void OnDisconnected(const char* host, uint32_t code) override;
    void OnError(const char* message, uint32_t code) override;
    void OnPeerChanged(const char* oldAddress, const char* newAddress) override;

    CTunnel& EnsureEngine();
    void StopEngineAndRecorder();
    HRESULT Reset();
    void StartBody();
    void SetUpTcpTunnel();
    // Fills the proxy host and port from the system's proxy setting for the
    // tunnel's destination; false when the system names none.
    bool GetProxyConfiguration();
    void SetUpUdpTunnel();
    // Raises an event whose parameters are (message BSTR by reference[, code]).
    void RaiseTextEvent(DISPID dispid, const char* message, const int32_t* code);

    // Keeps the module loaded while the control lives; released last.
    ModuleLock::Holder moduleLock;
    ZAN_Properties properties;
    std::atomic<bool> eventsEnabled{true};
    std::unique_ptr<CTunnel> engine;
    ControlSettings settings;
    ProxyDiscovery proxyDiscovery;
    uint32_t tcpReconnectLimit = 0;
    bool started = false;
    EventConnectionPoint eventPoint;
};

} // namespace zan

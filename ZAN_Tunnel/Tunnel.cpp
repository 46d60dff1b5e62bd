#include "Tunnel.h"

#include "CTunnel.h"
#include "CZAN_AutoLock.h"
#include "DebugOutput.h"
#include "ExceptionBoundary.h"
#include "TextConversion.h"
#include "TunnelProperties.h"
#include "Variant.h"
#include "ZAN_Time.h"
#include "base_exception.h"

#include <openssl/crypto.h>

#include <cstdlib>
#include <span>

namespace zan {

namespace {

// Source lines the control's own exceptions are known by in reports.
constexpr int32_t kLineProxyConfiguration = 146;
constexpr int32_t kLineProxyResolution = 158;

constexpr uint32_t kMaxPort = 65535;

// 8-bit engine text of a wide setting; the null text stays null.
struct EngineText {
    explicit EngineText(const WideText& text)
    {
        if (text) {
            value = Utf16ToUtf8(*text);
            present = true;
        }
    }
    const char* Get() const { return present ? value.c_str() : nullptr; }
    const char* OrEmpty() const { return value.c_str(); }
    bool Empty() const { return value.empty(); }

    std::string value;
    bool present = false;
};

WideText FromBstr(BSTR text)
{
    if (text == nullptr) {
        return std::nullopt;
    }
    return std::u16string(text, SysStringLen(text));
}

bool IsEmpty(const WideText& text)
{
    return !text || text->empty();
}

BSTR ToBstr(const WideText& text)
{
    if (!text) {
        return nullptr;
    }
    return SysAllocStringLen(text->data(), static_cast<uint32_t>(text->size()));
}

// Whole milliseconds elapsed since `since` on the wall clock.
std::string ElapsedMs(int64_t since)
{
    return std::to_string(GetTimeMs() - since);
}

} // namespace

// ---------------------------------------------------------------------------
// Creation, references and final release

CZAN_Tunnel::CZAN_Tunnel() : eventPoint(DIID__IZAN_TunnelEvents, this) {}

CZAN_Tunnel::~CZAN_Tunnel()
{
    settings.WipeSecrets();
}

HRESULT CZAN_Tunnel::CreateInstance(CZAN_Tunnel** control)
{
    return TryCreateComObject<CZAN_Tunnel>(control);
}

HRESULT CZAN_Tunnel::FinalConstruct()
{
    engine.reset();
    return Reset();
}

void CZAN_Tunnel::FinalRelease()
{
    // Nothing leaves the control from now on, even if a worker still reports.
    eventsEnabled.exchange(false);
    eventPoint.Disable();
    if (engine) {
        int64_t since = GetTimeMs();
        engine->Stop();
        std::string timing = "CZAN_Tunnel::FinalRelease() : this->Stop() :" + ElapsedMs(since) + "\n";
        OutputDebugStringA(timing.c_str());
        {
            CZAN_AutoLock guard(&engine->Recorder().Lock());
            if (engine->Recorder().RecordingModeState() != 0) {
                engine->Recorder().Close();
            }
        }
        since = GetTimeMs();
        engine.reset();
        timing += "CZAN_Tunnel::FinalRelease() : delete _tunnel :" + ElapsedMs(since) + "\n";
        OutputDebugStringA(timing.c_str());
    }
    engine.reset();
    settings.receivePorts.clear();
}

void* CZAN_Tunnel::GetInterface(const IID& iid)
{
    if (iid == IID_IUnknown || iid == IID_IDispatch || iid == IID_IZAN_Tunnel) {
        return static_cast<IZAN_Tunnel*>(this);
    }
    if (iid == IID_IConnectionPointContainer) {
        return static_cast<IConnectionPointContainer*>(this);
    }
    if (iid == IID_IZAN_TunnelStatistics) {
        return static_cast<IZAN_TunnelStatistics*>(this);
    }
    return nullptr;
}

HRESULT CZAN_Tunnel::GetStatistics(TunnelStatisticsSnapshot* snapshot)
{
    if (snapshot == nullptr) {
        return E_POINTER;
    }
    const auto read = Statistics();
    *snapshot = read.value_or(TunnelStatisticsSnapshot{});
    return read ? S_OK : S_FALSE;
}

HRESULT CZAN_Tunnel::FindConnectionPoint(const IID& iid, IConnectionPoint** point)
{
    if (point == nullptr) {
        return E_POINTER;
    }
    *point = nullptr;
    if (!(iid == DIID__IZAN_TunnelEvents)) {
        return CONNECT_E_NOCONNECTION;
    }
    eventPoint.AddRef();
    *point = &eventPoint;
    return S_OK;
}

// ---------------------------------------------------------------------------
// Engine reports become events

void CZAN_Tunnel::OnConnected(const char* /*host*/, uint16_t /*port*/)
{
    if (!eventsEnabled.load()) {
        return;
    }
    DISPPARAMS params{nullptr, nullptr, 0, 0};
    (void)eventPoint.Raise(DISPID_ConnectEvent, params);
}

void CZAN_Tunnel::OnDisconnected(const char* /*host*/, uint32_t /*code*/)
{
    if (!eventsEnabled.load()) {
        return;
    }
    VARIANT code;
    VariantInit(&code);
    code.vt = VT_I4;
    code.lVal = 0;  // the host always learns 0
    DISPPARAMS params{&code, nullptr, 1, 0};
    (void)eventPoint.Raise(DISPID_DisconnectEvent, params);
}

void CZAN_Tunnel::OnError(const char* message, uint32_t code)
{
    const auto value = static_cast<int32_t>(code);
    RaiseTextEvent(DISPID_ErrorEvent, message, &value);
}

// A change of the peer a listening UDP tunnel sends to is news, not an
// error: it goes to the host as the log event, one line naming both ends.
void CZAN_Tunnel::OnPeerChanged(const char* oldAddress, const char* newAddress)
{
    const std::string line = std::string("Tunnel : peer address changed from ") + (oldAddress ? oldAddress : "") +
                             " to " + (newAddress ? newAddress : "");
    RaiseTextEvent(DISPID_LogEvent, line.c_str(), nullptr);
}

void CZAN_Tunnel::RaiseTextEvent(DISPID dispid, const char* message, const int32_t* code)
{
    if (!eventsEnabled.load()) {
        return;
    }
    BSTR text = nullptr;
    if (message != nullptr) {
        const std::u16string wide = Utf8ToUtf16(message);
        text = SysAllocStringLen(wide.data(), static_cast<uint32_t>(wide.size()));
    }
    // Parameters go last first: the code, then the message by reference.
    VARIANT args[2];
    VariantInit(&args[0]);
    VariantInit(&args[1]);
    args[0].vt = VT_I4;
    args[0].lVal = code != nullptr ? *code : 0;
    args[1].vt = VT_BSTR | VT_BYREF;
    args[1].pbstrVal = &text;
    DISPPARAMS params = code != nullptr ? DISPPARAMS{args, nullptr, 2, 0} : DISPPARAMS{&args[1], nullptr, 1, 0};
    (void)eventPoint.Raise(dispid, params);
    SysFreeString(text);  // whatever string the reference holds now
}

// ---------------------------------------------------------------------------
// Start, Stop, Clear

CTunnel& CZAN_Tunnel::EnsureEngine()
{
    if (!engine) {
        engine = std::make_unique<CTunnel>();
    }
    return *engine;
}

HRESULT CZAN_Tunnel::Start()
{
    if (started) {
        return S_FALSE;
    }
    return InvokeWithinBoundary(u"CZAN_Tunnel::Start", [this] {
        StartBody();
        started = true;
        return S_OK;
    });
}

void CZAN_Tunnel::StartBody()
{
    CTunnel& tunnel = EnsureEngine();
    tunnel.SetEvents(this);
    tunnel.SetSourceTag(settings.sourceTag);
    tunnel.SetDeliveryAddress(EngineText(settings.sendAddress).value);
    if (!IsEmpty(settings.fileName)) {
        (void)tunnel.SetRecordFile(EngineText(settings.fileName).value);
    }
    // The interfaces are handed over before the set-up call that uses them,
    // so a first start binds and sends where the host asked.
    if (!IsEmpty(settings.senderNic)) {
        tunnel.SetSenderNic(EngineText(settings.senderNic).value);
    }
    if (!IsEmpty(settings.receiverNic)) {
        tunnel.SetReceiverNic(EngineText(settings.receiverNic).value);
    }
    if (settings.tcpTunnel && settings.tcpTunnelType == 1) {
        SetUpTcpTunnel();
    } else {
        SetUpUdpTunnel();
    }
    const EngineText receiveAddress(settings.receiveAddress);
    for (uint16_t port : settings.receivePorts) {
        tunnel.AddReceivePort(port, receiveAddress.Get());
    }
    if (settings.masterKeyLength > 0 && settings.masterSaltLength > 0) {
        tunnel.AddKey(settings.keyId, settings.masterKey.data(), settings.masterKeyLength, settings.masterSalt.data(),
                      settings.masterSaltLength, settings.rekeyPeriod);
    }
    if (settings.receiveBuffer != 0) {
        tunnel.SetTunnelReceiveBuffer(static_cast<uint32_t>(settings.receiveBuffer));
    }
    if (settings.sendBuffer != 0) {
        tunnel.SetTunnelSendBuffer(static_cast<uint32_t>(settings.sendBuffer));
    }
    tunnel.StartReceiver();
}

void CZAN_Tunnel::SetUpTcpTunnel()
{
    if (settings.proxyEnabled) {
        if ((settings.proxyHost.empty() || settings.proxyPort.empty()) && !GetProxyConfiguration()) {
            throw exc_tunnel(kLineProxyConfiguration, static_cast<uint32_t>(E_FAIL), "Getting proxy configuration.");
        }
        const std::string host = Utf16ToUtf8(settings.proxyHost);
        const std::string numeric = CTunnel::ResolveHostName(host);
        if (numeric.empty()) {
            throw exc_tunnel(kLineProxyResolution, static_cast<uint32_t>(E_FAIL), "Resolving proxy address: " + host);
        }
        settings.proxyHost = Utf8ToUtf16(numeric);
    }
    const EngineText destination(settings.destinationAddress);
    const EngineText key(settings.cryptoKey);
    const std::string proxyHost = Utf16ToUtf8(settings.proxyHost);
    const std::string proxyUser = Utf16ToUtf8(settings.proxyUser);
    std::string proxyPassword = Utf16ToUtf8(settings.proxyPassword);
    // The engine keeps its own copy; this one is wiped on every way out.
    struct WipeOnExit {
        std::string& text;
        ~WipeOnExit() { OPENSSL_cleanse(text.data(), text.size()); }
    } wipePassword{proxyPassword};
    const auto proxyPort = static_cast<uint16_t>(std::atoi(Utf16ToUtf8(settings.proxyPort).c_str()));
    engine->SetTcpReconnectLimit(tcpReconnectLimit);
    engine->SetTcpTunnel(destination.OrEmpty(), settings.destinationPort, settings.cryptoType, key.Get(),
                         proxyHost.c_str(), proxyPort, proxyUser.c_str(), proxyPassword.c_str());
}

bool CZAN_Tunnel::GetProxyConfiguration()
{
    const std::string destination = settings.destinationAddress ? Utf16ToUtf8(*settings.destinationAddress) : "";
    const std::optional<std::string> server = proxyDiscovery.ProxyServerFor(destination, settings.destinationPort);
    if (!server) {
        return false;
    }
    ProxyDiscovery::SplitServerText(Utf8ToUtf16(*server), settings.proxyHost, settings.proxyPort);
    return true;
}

void CZAN_Tunnel::SetUpUdpTunnel()
{
    const EngineText destination(settings.destinationAddress);
    const EngineText group(settings.receiveGroup);
    const EngineText key(settings.cryptoKey);
    if (!destination.Empty()) {
        engine->SetUdpTunnel(destination.Get(), group.Get(), settings.destinationPort, settings.cryptoType, key.Get(),
                             settings.localPort);
    } else {
        engine->SetUdpTunnel(nullptr, group.Get(), settings.destinationPort, settings.cryptoType, key.Get(), 0);
    }
}

void CZAN_Tunnel::StopEngineAndRecorder()
{
    if (!engine) {
        return;
    }
    engine->Stop();
    CZAN_AutoLock guard(&engine->Recorder().Lock());
    if (engine->Recorder().RecordingModeState() != 0) {
        engine->Recorder().Close();
    }
}

HRESULT CZAN_Tunnel::Stop()
{
    return InvokeWithinBoundary(u"CZAN_Tunnel::Stop", [this] {
        StopEngineAndRecorder();
        started = false;
        return S_OK;
    });
}

HRESULT CZAN_Tunnel::Clear()
{
    StopEngineAndRecorder();
    (void)Reset();
    return S_OK;
}

HRESULT CZAN_Tunnel::Reset()
{
    return InvokeWithinBoundary(u"CZAN_Tunnel::Reset", [this] {
        engine.reset();
        WideText fileName = std::move(settings.fileName);
        settings.WipeSecrets();
        settings = ControlSettings{};
        settings.fileName = std::move(fileName);
        started = false;
        return S_OK;
    });
}

// ---------------------------------------------------------------------------
// Setters: they only store, except where a running engine is told at once

HRESULT CZAN_Tunnel::SetDestinationAddress(BSTR address, uint32_t port, uint8_t /*mode*/)
{
    if (port > kMaxPort) {
        return E_INVALIDARG;
    }
    settings.destinationAddress = FromBstr(address);
    settings.destinationPort = static_cast<uint16_t>(port);
    settings.localPort = static_cast<uint16_t>(port);
    return S_OK;
}

HRESULT CZAN_Tunnel::SetDestinationPort(uint32_t port, uint8_t /*mode*/)
{
    if (port > kMaxPort) {
        return E_INVALIDARG;
    }
    settings.destinationAddress = std::u16string();
    settings.destinationPort = static_cast<uint16_t>(port);
    return S_OK;
}

HRESULT CZAN_Tunnel::SetReceiveAddress(BSTR address)
{
    settings.receiveAddress = FromBstr(address);
    return S_OK;
}

HRESULT CZAN_Tunnel::AddReceivePort(uint32_t port)
{
    if (port > kMaxPort) {
        return E_INVALIDARG;
    }
    settings.receivePorts.push_back(static_cast<uint16_t>(port));
    if (engine) {
        // The port forwards at once, even before Start.
        engine->AddReceivePort(static_cast<uint16_t>(port), EngineText(settings.receiveAddress).Get());
    }
    return S_OK;
}

HRESULT CZAN_Tunnel::SetSendAddress(BSTR address)
{
    settings.sendAddress = FromBstr(address);
    return S_OK;
}

HRESULT CZAN_Tunnel::SetSourceTag(int32_t sourceTag)
{
    settings.sourceTag = sourceTag;
    return S_OK;
}

HRESULT CZAN_Tunnel::SetLogLevel(uint8_t level)
{
    settings.logLevel = level;
    return S_OK;
}

HRESULT CZAN_Tunnel::get_CryptoKey(BSTR* pVal)
{
    if (pVal == nullptr) {
        return E_POINTER;
    }
    *pVal = ToBstr(settings.cryptoKey);
    return S_OK;
}

HRESULT CZAN_Tunnel::put_CryptoKey(BSTR newVal)
{
    if (settings.cryptoKey) {
        // The old key text must not linger in freed memory.
        OPENSSL_cleanse(settings.cryptoKey->data(), settings.cryptoKey->size() * sizeof(char16_t));
    }
    settings.cryptoKey = FromBstr(newVal);
    return S_OK;
}

HRESULT CZAN_Tunnel::get_CryptoType(uint32_t* pVal)
{
    if (pVal == nullptr) {
        return E_POINTER;
    }
    *pVal = settings.cryptoType;
    return S_OK;
}

HRESULT CZAN_Tunnel::put_CryptoType(uint32_t newVal)
{
    settings.cryptoType = newVal;
    return S_OK;
}

HRESULT CZAN_Tunnel::GetSocketStackFactoryInstance(intptr_t* instance)
{
    if (instance == nullptr) {
        return E_POINTER;
    }
    *instance = reinterpret_cast<intptr_t>(EnsureEngine().StackFactory());
    return S_OK;
}

HRESULT CZAN_Tunnel::put_LocalPort(uint32_t newVal)
{
    if (newVal > kMaxPort) {
        return E_INVALIDARG;
    }
    settings.localPort = static_cast<uint16_t>(newVal);
    return S_OK;
}

// ---------------------------------------------------------------------------
// Recording

HRESULT CZAN_Tunnel::get_Filename(BSTR* pVal)
{
    if (pVal == nullptr) {
        return E_POINTER;
    }
    std::string name;
    if (engine) {
        CZAN_AutoLock guard(&engine->Recorder().Lock());
        name = engine->Recorder().FileName();
    }
    const std::u16string wide = Utf8ToUtf16(name);
    *pVal = SysAllocStringLen(wide.data(), static_cast<uint32_t>(wide.size()));
    return S_OK;
}

HRESULT CZAN_Tunnel::put_Filename(BSTR newVal)
{
    return InvokeWithinBoundary(u"CZAN_Tunnel::put_Filename", [this, newVal] {
        settings.fileName = FromBstr(newVal);
        if (engine) {
            (void)engine->SetRecordFile(EngineText(settings.fileName).value);
        }
        return S_OK;
    });
}

HRESULT CZAN_Tunnel::SaveExternalData(int32_t port, int32_t len, char* buff)
{
    if (len < 0 || (buff == nullptr && len > 0)) {
        return E_INVALIDARG;
    }
    return InvokeWithinBoundary(u"CZAN_Tunnel::SaveExternalData", [&] {
        if (engine) {
            CZAN_AutoLock guard(&engine->Recorder().Lock());
            (void)engine->Recorder().SaveExternalData(
                static_cast<uint32_t>(port),
                std::span<const std::byte>(reinterpret_cast<const std::byte*>(buff), static_cast<size_t>(len)));
        }
        return S_OK;
    });
}

HRESULT CZAN_Tunnel::StartRecording()
{
    if (!engine) {
        return S_FALSE;
    }
    return engine->Recorder().StartRecording() ? S_OK : E_FAIL;
}

HRESULT CZAN_Tunnel::StopRecording()
{
    return InvokeWithinBoundary(u"CZAN_Tunnel::StopRecording", [this] {
        if (engine) {
            CZAN_AutoLock guard(&engine->Recorder().Lock());
            engine->Recorder().Close();
        }
        return S_OK;
    });
}

HRESULT CZAN_Tunnel::RecordingModeState(uint8_t* state)
{
    if (state == nullptr) {
        return E_POINTER;
    }
    *state = 0;
    if (engine) {
        CZAN_AutoLock guard(&engine->Recorder().Lock());
        *state = engine->Recorder().RecordingModeState();
    }
    return S_OK;
}

HRESULT CZAN_Tunnel::SetHeader(int32_t len, char* header)
{
    if (len < 0 || (header == nullptr && len > 0)) {
        return E_INVALIDARG;
    }
    return InvokeWithinBoundary(u"CZAN_Tunnel::SetHeader", [&] {
        if (engine) {
            CZAN_AutoLock guard(&engine->Recorder().Lock());
            (void)engine->Recorder().SetHeader(
                std::span<const std::byte>(reinterpret_cast<const std::byte*>(header), static_cast<size_t>(len)));
        }
        return S_OK;
    });
}

// ---------------------------------------------------------------------------
// Named properties

HRESULT CZAN_Tunnel::SetProperties(BSTR prop, BSTR newVal)
{
    return InvokeWithinBoundary(u"CZAN_Tunnel::SetProperties", [&] {
        return TunnelProperties::Set(properties, settings, engine.get(), prop, newVal);
    });
}

HRESULT CZAN_Tunnel::GetProperties(BSTR prop, BSTR* pVal)
{
    if (pVal == nullptr) {
        return E_POINTER;
    }
    *pVal = nullptr;
    return InvokeWithinBoundary(u"CZAN_Tunnel::GetProperties", [&] {
        const std::u16string answer = TunnelProperties::Get(properties, settings, prop, [this] {
            return reinterpret_cast<intptr_t>(EnsureEngine().StackFactory());
        });
        *pVal = SysAllocStringLen(answer.data(), static_cast<uint32_t>(answer.size()));
        return S_OK;
    });
}

std::optional<TunnelStatistics::Snapshot> CZAN_Tunnel::Statistics() const
{
    if (!engine) {
        return std::nullopt;
    }
    return engine->Statistics();
}

} // namespace zan

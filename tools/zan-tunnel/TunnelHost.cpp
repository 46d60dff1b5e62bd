#include "TunnelHost.h"

#include "Apartment.h"
#include "DispatchCall.h"
#include "EventPrinter.h"
#include "HostLog.h"
#include "HostText.h"
#include "MessagePresenter.h"
#include "ObjectCreation.h"
#include "PropertyList.h"
#include "Tunnel.h"
#include "TunnelStatisticsSnapshot.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace zan {

std::atomic<bool> TunnelHost::stopRequested{false};

namespace {

using Clock = std::chrono::steady_clock;

// How long after Start the host waits for the engine's set-up reports
// (ports bound by worker threads) before it calls the tunnel started.
constexpr int kStartSettleMs = 300;

// Exception reports of the control. While a caller holds them (a setting
// or Start under way) they are kept for its one-line message; otherwise
// each is logged as it comes.
class Reports {
public:
    static Reports& Instance()
    {
        static Reports reports;
        return reports;
    }
    void Hold()
    {
        std::lock_guard guard(lock);
        holding = true;
        held.clear();
    }
    // The reports that came since Hold, each on one line, joined.
    std::string Release()
    {
        std::lock_guard guard(lock);
        holding = false;
        return std::exchange(held, {});
    }
    void Present(const std::string& caption, const std::string& text)
    {
        const std::string line = caption + ": " + EventPrinter::OneLine(text);
        {
            std::lock_guard guard(lock);
            if (holding) {
                held += (held.empty() ? "" : " | ") + line;
                return;
            }
        }
        LogError("report", line, {{"caption", caption}, {"detail", EventPrinter::OneLine(text)}});
    }

private:
    std::mutex lock;  // guards: holding, held
    bool holding = false;
    std::string held;
};

void PresentOnOneLine(const char16_t* caption, const char16_t* text, uint32_t /*flags*/, void* /*ctx*/)
{
    Reports::Instance().Present(caption != nullptr ? Utf16ToUtf8(caption) : "",
                                text != nullptr ? Utf16ToUtf8(text) : "");
}

void OnSignal(int)
{
    TunnelHost::stopRequested.store(true);
}

std::string Hex(uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

std::optional<TunnelStatisticsSnapshot> ReadStatistics(IZAN_Tunnel& control)
{
    TunnelStatisticsSnapshot snapshot;
    void* statistics = nullptr;
    const bool known = control.QueryInterface(IID_IZAN_TunnelStatistics, &statistics) == S_OK &&
                       static_cast<IZAN_TunnelStatistics*>(statistics)->GetStatistics(&snapshot) == S_OK;
    if (statistics != nullptr) {
        static_cast<IZAN_TunnelStatistics*>(statistics)->Release();
    }
    return known ? std::optional(snapshot) : std::nullopt;
}

bool IsTcpReport(const std::string& text)
{
    return text.rfind("TCPTunnel", 0) == 0 || text.rfind("Proxy login", 0) == 0;
}

// The ports the tunnel binds, for a bind failure's message.
std::string PortsOf(const TunnelPlan& plan)
{
    std::string ports;
    if (!plan.receivePorts.empty()) {
        ports = "receive " + plan.Local();
    }
    if (plan.mode == TunnelPlan::Mode::kUdpListen) {
        ports += (ports.empty() ? "" : ", ") + std::string("tunnel ") + plan.receiverNic + ":" +
                 std::to_string(plan.learnPort);
    }
    return ports.empty() ? "the tunnel's" : ports;
}

bool IsBindError(const std::string& text)
{
    return text.find("Bind Error") != std::string::npos;
}

// A control created here (built in, or from the registered module) and
// released on every way out; a module loaded for it is unloaded after.
struct ControlRef {
    IZAN_Tunnel* control = nullptr;
    CZAN_Tunnel* builtIn = nullptr;  // the same object when it is the built-in control
    ~ControlRef()
    {
        if (control != nullptr) {
            control->Release();
        }
        FreeUnusedModules();
    }

    bool Create(const std::string& progId)
    {
        if (progId.empty()) {
            if (CZAN_Tunnel::CreateInstance(&builtIn) != S_OK) {
                LogError("create", "zan-tunnel: the control could not be created");
                return false;
            }
            control = builtIn;
            return true;
        }
        void* out = nullptr;
        std::string message;
        const HRESULT hr = CreateRegisteredObject(progId, IID_IZAN_Tunnel, &out, &message);
        if (hr < 0) {
            LogError("create", "zan-tunnel: cannot create " + progId + " (" + Hex(static_cast<uint32_t>(hr)) +
                                   "): " + message + "; register the module with zan-regsvr or drop --progid");
            return false;
        }
        control = static_cast<IZAN_Tunnel*>(out);
        return true;
    }
};

const char* OptionOf(HostOptions::Kind kind)
{
    using Kind = HostOptions::Kind;
    switch (kind) {
    case Kind::Destination: return "--destination";
    case Kind::LearnPort: return "--learn-port";
    case Kind::LocalPort: return "--local-port";
    case Kind::ReceiveAddress: return "--receive-address";
    case Kind::ReceivePort: return "--receive-port";
    case Kind::SendAddress: return "--send-address";
    case Kind::SourceTag: return "--source-tag";
    case Kind::CryptoType: return "--crypto-type";
    case Kind::CryptoKey: return "--crypto-key-file";
    case Kind::SetProperty: return "--set";
    }
    return "a setting";
}

} // namespace

void TunnelHost::InstallSignalHandlers()
{
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

bool TunnelHost::Apply(IZAN_Tunnel& control)
{
    using Kind = HostOptions::Kind;
    for (const HostOptions::Action& action : options.actions) {
        HRESULT hr = S_OK;
        Reports::Instance().Hold();
        switch (action.kind) {
        case Kind::Destination:
            hr = control.SetDestinationAddress(HostText(action.text), action.number, 0);
            break;
        case Kind::LearnPort:
            hr = control.SetDestinationPort(action.number, 0);
            break;
        case Kind::LocalPort:
            hr = control.put_LocalPort(action.number);
            break;
        case Kind::ReceiveAddress:
            hr = control.SetReceiveAddress(HostText(action.text));
            break;
        case Kind::ReceivePort:
            hr = control.AddReceivePort(action.number);
            break;
        case Kind::SendAddress:
            hr = control.SetSendAddress(HostText(action.text));
            break;
        case Kind::SourceTag:
            hr = control.SetSourceTag(action.signedNumber);
            break;
        case Kind::CryptoType:
            hr = control.put_CryptoType(action.number);
            break;
        case Kind::CryptoKey:
            hr = control.put_CryptoKey(HostText(action.text));
            break;
        case Kind::SetProperty:
            hr = control.SetProperties(HostText(action.name), HostText(action.text));
            break;
        }
        // A refused setting answers a failure code; a property the control
        // does not handle answers S_OK after its report: both stop here.
        const std::string report = Reports::Instance().Release();
        if (hr < 0 || !report.empty()) {
            const std::string why = report.empty() ? Hex(static_cast<uint32_t>(hr)) : report;
            LogError("setting", action.kind == Kind::SetProperty
                                    ? "zan-tunnel: " + PropertyErrorMessage(action.name, why)
                                    : std::string("zan-tunnel: ") + OptionOf(action.kind) + " was refused (" + why + ")");
            return false;
        }
        // Names only for text settings: a key file's or property's value may be secret.
        const bool numeric = action.kind == Kind::LearnPort || action.kind == Kind::LocalPort ||
                             action.kind == Kind::ReceivePort || action.kind == Kind::CryptoType ||
                             action.kind == Kind::Destination;
        LogDebug("setting", std::string("applied ") + OptionOf(action.kind) + " " +
                                (action.kind == Kind::SetProperty ? action.name
                                 : action.kind == Kind::CryptoKey ? std::string("(from its file)")
                                 : numeric ? action.text + (action.text.empty() ? "" : ":") + std::to_string(action.number)
                                           : action.text));
    }
    return true;
}

bool TunnelHost::StartRecording(IZAN_Tunnel& control)
{
    if (options.recordFile.empty()) {
        return true;
    }
    if (options.recordHeader) {
        std::vector<char> header = *options.recordHeader;
        control.SetHeader(static_cast<int32_t>(header.size()), header.data());
    }
    control.put_Filename(HostText(options.recordFile));
    const HRESULT hr = control.StartRecording();
    if (hr != S_OK) {
        LogError("record", "zan-tunnel: recording to '" + options.recordFile + "' could not start (" +
                               Hex(static_cast<uint32_t>(hr)) + "); check that its folder exists and is writable");
        return false;
    }
    return true;
}

void TunnelHost::PrintGets(IZAN_Tunnel& control)
{
    for (const std::string& name : options.gets) {
        BSTR value = nullptr;
        if (control.GetProperties(HostText(name), &value) == S_OK) {
            std::printf("%s=%s\n", name.c_str(), HostText::Take(value).c_str());
        } else {
            SysFreeString(value);
        }
    }
    std::fflush(stdout);
}

void TunnelHost::Report(IZAN_Tunnel& control, EventPrinter& printer, const char* state, bool statsLine)
{
    const auto snapshot = ReadStatistics(control);
    const nlohmann::json counters = snapshot ? CountersOf(*snapshot) : nlohmann::json::object();
    if (statsLine) {
        LogInfo("stats", snapshot ? "stats: " + CountersText(counters) : "stats: no engine", {{"counters", counters}});
    }
    if (options.statusFile.empty()) {
        return;
    }
    std::string now = state;
    if (now == "running" && plan.mode == TunnelPlan::Mode::kTcp) {
        now = snapshot && snapshot->tcpConnected ? "up" : "down";
    }
    const nlohmann::json status = {
        {"time", HostLog::Now()},
        {"state", now},
        {"mode", plan.ModeName()},
        {"local", plan.Local()},
        {"peer", plan.Remote()},
        {"crypto_type", plan.cryptoType},
        {"counters", counters},
        {"last_error", printer.LastError()},
    };
    if (!WriteFileAtomically(options.statusFile, status.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) +
                                                     "\n")) {
        LogWarning("status", "zan-tunnel: the status file '" + options.statusFile + "' cannot be written: " +
                                 std::strerror(errno));
    }
}

int TunnelHost::StartTunnel(IZAN_Tunnel& control, EventPrinter& printer)
{
    Reports::Instance().Hold();
    printer.HoldErrors(true);
    const HRESULT hr = control.Start();
    // An engine exception answers S_OK after its report: still a failed start.
    std::string report = Reports::Instance().Release();
    // Ports are bound by worker threads; their reports come soon after.
    Apartment* apartment = Apartment::Current();
    const auto settled = Clock::now() + std::chrono::milliseconds(kStartSettleMs);
    while (Clock::now() < settled) {
        apartment->PumpFor(20);
    }
    printer.HoldErrors(false);
    for (std::string& error : printer.TakeErrors()) {
        if (!IsTcpReport(error)) {
            report += (report.empty() ? "" : " | ") + error;
        }
    }
    if (hr != S_OK || !report.empty()) {
        const bool bind = IsBindError(report);
        LogError("start-failed",
                 "zan-tunnel: the tunnel could not start: " + (report.empty() ? Hex(static_cast<uint32_t>(hr)) : report) +
                     (bind ? "; a port (" + PortsOf(plan) + ") is taken by another program or its address is "
                             "not on this machine: free it or choose another"
                           : "; check the settings with --check"),
                 {{"reason", bind ? "bind" : "start"}});
        return kExitFailure;
    }
    if (!StartRecording(control)) {
        return kExitFailure;
    }
    const nlohmann::json fields = {{"mode", plan.ModeName()},
                                   {"local", plan.Local()},
                                   {"remote", plan.Remote()},
                                   {"crypto_type", plan.cryptoType},
                                   {"key_id", plan.keyId ? nlohmann::json(*plan.keyId) : nlohmann::json()}};
    LogInfo("start",
            "started: " + plan.ModeName() + " tunnel, local " + plan.Local() + ", remote " + plan.Remote() +
                ", crypto type " + std::to_string(plan.cryptoType) +
                (plan.keyId ? ", key id " + std::to_string(*plan.keyId) : ""),
            fields);
    if (plan.mode == TunnelPlan::Mode::kTcp && printer.Connects() == 0) {
        const std::string last = printer.LastError();
        LogWarning("down", "the TCP tunnel to " + plan.Remote() + " is not connected yet" +
                               (last.empty() ? "" : " (" + last + ")") + "; trying again until it is",
                   {{"peer", plan.Remote()}});
    }
    return kExitOk;
}

int TunnelHost::RunUntilStopped(IZAN_Tunnel& control, EventPrinter& printer)
{
    const auto begin = Clock::now();
    const double statusSeconds = options.statsSeconds > 0 ? options.statsSeconds : 5;
    const auto period = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(statusSeconds));
    auto nextReport = begin + period;
    auto nextCheck = begin;
    Apartment* apartment = Apartment::Current();
    Report(control, printer, "running", false);
    while (!stopRequested.load()) {
        apartment->PumpFor(100);
        const auto now = Clock::now();
        if (options.durationSeconds > 0 && now - begin >= std::chrono::duration<double>(options.durationSeconds)) {
            break;
        }
        for (const std::string& error : printer.TakeErrors()) {
            if (IsBindError(error)) {
                LogError("start-failed", "zan-tunnel: a port could not be bound (" + error + "); free it or choose "
                                         "another", {{"reason", "bind"}});
                return kExitFailure;
            }
        }
        if (now >= nextCheck) {
            nextCheck = now + std::chrono::seconds(1);
            if (const auto snapshot = ReadStatistics(control)) {
                if (snapshot->tcpGivenUp) {
                    LogError("gave-up",
                             "zan-tunnel: the TCP tunnel to " + plan.Remote() + " gave up after " +
                                 std::to_string(options.reconnectLimit) + " failed tries in a row (" +
                                 printer.LastError() + "); check that the relay runs and is reachable, or give a "
                                 "larger --reconnect",
                             {{"peer", plan.Remote()}});
                    return kExitFailure;
                }
                for (const DropWarnings::Warning& warning : dropWarnings.Check(*snapshot, now)) {
                    LogWarning("drops", warning.message, {{"reason", warning.reason}, {"count", warning.count}});
                }
            }
        }
        if (now >= nextReport) {
            Report(control, printer, "running", options.statsSeconds > 0);
            nextReport = now + period;
        }
    }
    return kExitOk;
}

int TunnelHost::Run()
{
    // The checks are about a tunnel that starts; --call only calls a member.
    std::vector<CheckFinding> findings;
    if (options.call.empty()) {
        findings = CheckSettings(options.actions, ResolveIPv4);
    }
    plan = PlanOf(options.actions);
    bool faulty = false;
    for (const CheckFinding& finding : findings) {
        if (finding.fatal) {
            faulty = true;
            LogError("check", "zan-tunnel: " + finding.message);
        } else {
            LogWarning("check", "zan-tunnel: " + finding.message);
        }
    }
    if (faulty && !options.check) {
        return kExitUsage;
    }

    Apartment::Enter();
    SetMessagePresenter(PresentOnOneLine, nullptr);
    EventPrinter printer;
    printer.SetPeer(plan.Remote());
    int exitCode = kExitOk;
    {
        ControlRef ref;
        if (!ref.Create(options.progId)) {
            SetMessagePresenter(nullptr, nullptr);
            Apartment::Leave();
            return kExitFailure;
        }
        IZAN_Tunnel& control = *ref.control;
        IConnectionPoint* point = nullptr;
        uint32_t cookie = 0;
        void* container = nullptr;
        if (control.QueryInterface(IID_IConnectionPointContainer, &container) == S_OK) {
            if (static_cast<IConnectionPointContainer*>(container)->FindConnectionPoint(DIID__IZAN_TunnelEvents,
                                                                                        &point) == S_OK) {
                point->Advise(&printer, &cookie);
            }
            static_cast<IConnectionPointContainer*>(container)->Release();
        }

        // The reconnection limit is a setting of the built-in control only;
        // a registered module's control keeps its default.
        if (ref.builtIn != nullptr) {
            ref.builtIn->SetTcpReconnectLimit(options.reconnectLimit);
        }
        const bool applied = Apply(control);
        if (options.check) {
            faulty = faulty || !applied;
            if (!faulty) {
                LogInfo("check", "zan-tunnel: the settings pass every check (" + plan.ModeName() + " tunnel, remote " +
                                     plan.Remote() + ")");
            }
            exitCode = faulty ? kExitFailure : kExitOk;
        } else if (!applied) {
            exitCode = kExitUsage;
        } else if (!options.call.empty()) {
            exitCode = CallByName(control, options.call);
        } else if ((exitCode = StartTunnel(control, printer)) == kExitOk) {
            PrintGets(control);
            exitCode = RunUntilStopped(control, printer);
            Report(control, printer, exitCode == kExitOk ? "stopped" : "failed", options.statsSeconds > 0);
        } else {
            Report(control, printer, "failed", false);
        }
        control.Stop();
        if (point != nullptr) {
            point->Unadvise(cookie);
            point->Release();
        }
    }
    SetMessagePresenter(nullptr, nullptr);
    Apartment::Leave();
    return exitCode;
}

} // namespace zan

#include "TunnelHost.h"

#include "Apartment.h"
#include "DispatchCall.h"
#include "EventPrinter.h"
#include "HostText.h"
#include "MessagePresenter.h"
#include "ObjectCreation.h"
#include "Tunnel.h"
#include "TunnelStatisticsSnapshot.h"

#include <chrono>
#include <csignal>
#include <cstdio>

namespace zan {

std::atomic<bool> TunnelHost::stopRequested{false};

namespace {

std::atomic<int> reportsShown{0};

// Exception reports become one line each, like the events.
void PresentOnOneLine(const char16_t* caption, const char16_t* text, uint32_t /*flags*/, void* /*ctx*/)
{
    ++reportsShown;
    const std::string captionText = caption != nullptr ? Utf16ToUtf8(caption) : "";
    const std::string body = text != nullptr ? Utf16ToUtf8(text) : "";
    std::fprintf(stderr, "%s: %s\n", captionText.c_str(), EventPrinter::OneLine(body).c_str());
    std::fflush(stderr);
}

void OnSignal(int)
{
    TunnelHost::stopRequested.store(true);
}

void PrintStatistics(IZAN_Tunnel& control)
{
    TunnelStatisticsSnapshot snapshot;
    void* statistics = nullptr;
    const bool known = control.QueryInterface(IID_IZAN_TunnelStatistics, &statistics) == S_OK &&
                       static_cast<IZAN_TunnelStatistics*>(statistics)->GetStatistics(&snapshot) == S_OK;
    if (statistics != nullptr) {
        static_cast<IZAN_TunnelStatistics*>(statistics)->Release();
    }
    const TunnelStatisticsSnapshot* stats = &snapshot;
    if (!known) {
        std::fprintf(stderr, "stats: no engine\n");
        return;
    }
    std::fprintf(stderr,
                 "stats: sent %llu datagrams (%llu bytes), received %llu (%llu bytes), keep-alives %llu out / %llu "
                 "in, drops %llu, send failures %llu, ring overwrites %llu, tcp %s (%llu connects, %llu losses, "
                 "%llu tries, %llu stale)\n",
                 static_cast<unsigned long long>(stats->datagramsSent),
                 static_cast<unsigned long long>(stats->bytesSent),
                 static_cast<unsigned long long>(stats->datagramsReceived),
                 static_cast<unsigned long long>(stats->bytesReceived),
                 static_cast<unsigned long long>(stats->keepAlivesSent),
                 static_cast<unsigned long long>(stats->keepAlivesReceived),
                 static_cast<unsigned long long>(stats->Drops()),
                 static_cast<unsigned long long>(stats->sendFailures),
                 static_cast<unsigned long long>(stats->ringOverwrites), stats->tcpConnected ? "up" : "down",
                 static_cast<unsigned long long>(stats->tcpConnects),
                 static_cast<unsigned long long>(stats->tcpLosses),
                 static_cast<unsigned long long>(stats->tcpReconnects),
                 static_cast<unsigned long long>(stats->staleDatagrams));
    std::fprintf(stderr,
                 "stats: kernel drops %llu, empty datagrams %llu, unauthenticated non-data %llu, peer changes %llu\n",
                 static_cast<unsigned long long>(stats->kernelDrops),
                 static_cast<unsigned long long>(stats->emptyDatagrams),
                 static_cast<unsigned long long>(stats->unauthenticatedControl),
                 static_cast<unsigned long long>(stats->peerChanges));
    std::fflush(stderr);
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
                std::fprintf(stderr, "zan-tunnel: the control could not be created\n");
                return false;
            }
            control = builtIn;
            return true;
        }
        void* out = nullptr;
        std::string message;
        const HRESULT hr = CreateRegisteredObject(progId, IID_IZAN_Tunnel, &out, &message);
        if (hr < 0) {
            std::fprintf(stderr, "zan-tunnel: cannot create %s (0x%08X): %s\n", progId.c_str(),
                         static_cast<uint32_t>(hr), message.c_str());
            return false;
        }
        control = static_cast<IZAN_Tunnel*>(out);
        return true;
    }
};

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
        if (hr < 0) {
            std::fprintf(stderr, "zan-tunnel: a setting was refused (0x%08X)\n", static_cast<uint32_t>(hr));
            return false;
        }
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
        std::fprintf(stderr, "zan-tunnel: recording to '%s' could not start (0x%08X)\n", options.recordFile.c_str(),
                     static_cast<uint32_t>(hr));
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

void TunnelHost::RunUntilStopped(IZAN_Tunnel& control)
{
    using Clock = std::chrono::steady_clock;
    const auto begin = Clock::now();
    auto nextStats = begin + std::chrono::duration<double>(options.statsSeconds);
    Apartment* apartment = Apartment::Current();
    while (!stopRequested.load()) {
        apartment->PumpFor(100);
        const auto now = Clock::now();
        if (options.durationSeconds > 0 && now - begin >= std::chrono::duration<double>(options.durationSeconds)) {
            break;
        }
        if (options.statsSeconds > 0 && now >= nextStats) {
            PrintStatistics(control);
            nextStats = now + std::chrono::duration<double>(options.statsSeconds);
        }
    }
}

int TunnelHost::Run()
{
    Apartment::Enter();
    SetMessagePresenter(PresentOnOneLine, nullptr);
    EventPrinter printer;
    int exitCode = 0;
    {
        ControlRef ref;
        if (!ref.Create(options.progId)) {
            SetMessagePresenter(nullptr, nullptr);
            Apartment::Leave();
            return 1;
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

        // A refused setting answers a failure code; a property the control
        // does not handle answers S_OK after its report: both stop here.
        // The reconnection limit is a setting of the built-in control only;
        // a registered module's control keeps its default.
        if (ref.builtIn != nullptr) {
            ref.builtIn->SetTcpReconnectLimit(options.reconnectLimit);
        }
        const int reportsBefore = reportsShown.load();
        if (!Apply(control) || reportsShown.load() != reportsBefore) {
            exitCode = 2;
        } else if (!options.call.empty()) {
            exitCode = CallByName(control, options.call);
        } else if (const HRESULT hr = control.Start(); hr != S_OK || reportsShown.load() != reportsBefore) {
            // An engine exception answers S_OK after its report: still a failed start.
            std::fprintf(stderr, "zan-tunnel: Start failed (0x%08X)\n", static_cast<uint32_t>(hr));
            exitCode = 1;
        } else if (!StartRecording(control)) {
            exitCode = 1;
        } else {
            PrintGets(control);
            RunUntilStopped(control);
            if (options.statsSeconds > 0) {
                PrintStatistics(control);
            }
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

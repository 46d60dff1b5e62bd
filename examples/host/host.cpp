// A host of the tunnel module: makes the control through the module's class
// factory, prints its events, runs a UDP tunnel that listens on PORT and
// learns its peer from the first packet, and prints what it received.
//   host PORT SECONDS
#include <zan_tunnel/IClassFactory.h>
#include <zan_tunnel/IConnectionPoint.h>
#include <zan_tunnel/IZAN_Tunnel.h>
#include <zan_tunnel/TunnelStatisticsSnapshot.h>
#include <zan_tunnel/ZanModule.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

using namespace zan;

// Prints every event; events come from the tunnel's own threads.
class EventSink : public IDispatch {
public:
    HRESULT QueryInterface(const IID& iid, void** out) override
    {
        const bool mine = iid == IID_IUnknown || iid == IID_IDispatch || iid == DIID__IZAN_TunnelEvents;
        *out = mine ? this : nullptr;
        return mine ? S_OK : E_NOINTERFACE;
    }
    uint32_t AddRef() override { return 1; }  // lives on main's stack
    uint32_t Release() override { return 1; }
    HRESULT GetTypeInfoCount(uint32_t* count) override { return *count = 0, S_OK; }
    HRESULT GetTypeInfo(uint32_t, uint32_t, void**) override { return E_NOTIMPL; }
    HRESULT GetIDsOfNames(const IID&, const char16_t**, uint32_t, uint32_t, DISPID*) override { return E_NOTIMPL; }
    HRESULT Invoke(DISPID id, const IID&, uint32_t, uint16_t, DISPPARAMS* params, VARIANT*, void*, uint32_t*) override
    {
        std::printf("event %d with %u arguments\n", id, params != nullptr ? params->cArgs : 0u);
        std::fflush(stdout);
        return S_OK;
    }
};

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: host PORT SECONDS\n");
        return 2;
    }
    void* out = nullptr;
    if (DllGetClassObject(CLSID_ZAN_Tunnel, IID_IClassFactory, &out) != S_OK) {
        return 1;
    }
    auto* factory = static_cast<IClassFactory*>(out);
    const HRESULT created = factory->CreateInstance(nullptr, IID_IZAN_Tunnel, &out);
    factory->Release();
    if (created != S_OK) {
        return 1;
    }
    auto* control = static_cast<IZAN_Tunnel*>(out);

    EventSink sink;
    IConnectionPoint* point = nullptr;
    uint32_t cookie = 0;
    if (control->QueryInterface(IID_IConnectionPointContainer, &out) == S_OK) {
        auto* container = static_cast<IConnectionPointContainer*>(out);
        if (container->FindConnectionPoint(DIID__IZAN_TunnelEvents, &point) == S_OK) {
            point->Advise(&sink, &cookie);
        }
        container->Release();
    }

    BSTR nic = SysAllocString(u"receiver_nic");
    BSTR loopback = SysAllocString(u"127.0.0.1");
    control->SetDestinationPort(static_cast<uint32_t>(std::atoi(argv[1])), 0);
    control->SetProperties(nic, loopback);
    SysFreeString(nic);
    SysFreeString(loopback);
    const HRESULT started = control->Start();
    std::printf("Start: 0x%08X\n", static_cast<unsigned>(started));
    std::fflush(stdout);
    std::this_thread::sleep_for(std::chrono::seconds(std::atoi(argv[2])));

    TunnelStatisticsSnapshot stats;
    if (control->QueryInterface(IID_IZAN_TunnelStatistics, &out) == S_OK) {
        static_cast<IZAN_TunnelStatistics*>(out)->GetStatistics(&stats);
        static_cast<IZAN_TunnelStatistics*>(out)->Release();
    }
    control->Stop();
    std::printf("received %llu datagrams\n", static_cast<unsigned long long>(stats.datagramsReceived));
    if (point != nullptr) {
        point->Unadvise(cookie);
        point->Release();
    }
    control->Release();
    return started == S_OK ? 0 : 1;
}

// A host of the tunnel module: makes the control through the module's class
// factory, prints its events, runs a UDP tunnel that listens on PORT and
// learns its peer from the first packet, and says how much it received.
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

// Prints every event (they arrive on the tunnel's own threads). Only the
// control's connection point asks it for an interface: the event interface.
struct EventSink : IDispatch {
    HRESULT QueryInterface(const IID&, void** out) override { return *out = this, S_OK; }
    uint32_t AddRef() override { return 1; }
    uint32_t Release() override { return 1; }
    HRESULT GetTypeInfoCount(uint32_t*) override { return E_NOTIMPL; }
    HRESULT GetTypeInfo(uint32_t, uint32_t, void**) override { return E_NOTIMPL; }
    HRESULT GetIDsOfNames(const IID&, const char16_t**, uint32_t, uint32_t, DISPID*) override { return E_NOTIMPL; }
    HRESULT Invoke(DISPID id, const IID&, uint32_t, uint16_t, DISPPARAMS*, VARIANT*, void*, uint32_t*) override
    {
        return std::printf("event %d\n", id), S_OK;
    }
};

int main(int argc, char** argv)
{
    void* out = nullptr;
    if (argc != 3 || DllGetClassObject(CLSID_ZAN_Tunnel, IID_IClassFactory, &out) != S_OK) {
        return 2;
    }
    auto* factory = static_cast<IClassFactory*>(out);
    factory->CreateInstance(nullptr, IID_IZAN_Tunnel, &out);
    factory->Release();
    auto* control = static_cast<IZAN_Tunnel*>(out);

    EventSink sink;
    IConnectionPoint* point = nullptr;
    uint32_t cookie = 0;
    control->QueryInterface(IID_IConnectionPointContainer, &out);
    static_cast<IConnectionPointContainer*>(out)->FindConnectionPoint(DIID__IZAN_TunnelEvents, &point);
    static_cast<IConnectionPointContainer*>(out)->Release();
    point->Advise(&sink, &cookie);

    BstrOwner name(SysAllocString(u"receiver_nic")), value(SysAllocString(u"127.0.0.1"));
    control->SetDestinationPort(static_cast<uint32_t>(std::atoi(argv[1])), 0);
    control->SetProperties(name.Get(), value.Get());
    const HRESULT started = control->Start();
    std::printf("Start: 0x%08X\n", static_cast<unsigned>(started));
    std::fflush(stdout);
    std::this_thread::sleep_for(std::chrono::seconds(std::atoi(argv[2])));

    TunnelStatisticsSnapshot stats;
    control->QueryInterface(IID_IZAN_TunnelStatistics, &out);
    static_cast<IZAN_TunnelStatistics*>(out)->GetStatistics(&stats);
    static_cast<IZAN_TunnelStatistics*>(out)->Release();
    control->Stop();
    std::printf("received %llu datagrams\n", static_cast<unsigned long long>(stats.datagramsReceived));
    point->Unadvise(cookie);
    point->Release();
    control->Release();
    return started == S_OK ? 0 : 1;
}

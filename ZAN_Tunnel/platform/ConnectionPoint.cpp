#include "ConnectionPoint.h"

#include <utility>

namespace zan {

EventConnectionPoint::EventConnectionPoint(const IID& eventIid, IConnectionPointContainer* container)
    : eventIid(eventIid), container(container)
{
}

EventConnectionPoint::~EventConnectionPoint()
{
    for (auto& [cookie, connection] : connections) {
        connection.sink->Release();
    }
}

HRESULT EventConnectionPoint::QueryInterface(const IID& iid, void** out)
{
    if (out == nullptr) {
        return E_POINTER;
    }
    if (iid == IID_IUnknown || iid == IID_IConnectionPoint) {
        *out = static_cast<IConnectionPoint*>(this);
        AddRef();
        return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
}

uint32_t EventConnectionPoint::AddRef()
{
    return container != nullptr ? container->AddRef() : 1;
}

uint32_t EventConnectionPoint::Release()
{
    return container != nullptr ? container->Release() : 1;
}

HRESULT EventConnectionPoint::GetConnectionInterface(IID* iid)
{
    if (iid == nullptr) {
        return E_POINTER;
    }
    *iid = eventIid;
    return S_OK;
}

HRESULT EventConnectionPoint::GetConnectionPointContainer(IConnectionPointContainer** out)
{
    if (out == nullptr) {
        return E_POINTER;
    }
    *out = container;
    if (container == nullptr) {
        return E_FAIL;
    }
    container->AddRef();
    return S_OK;
}

HRESULT EventConnectionPoint::Advise(IUnknown* sink, uint32_t* cookie)
{
    if (cookie != nullptr) {
        *cookie = 0;
    }
    if (sink == nullptr || cookie == nullptr) {
        return E_POINTER;
    }
    void* events = nullptr;
    if (sink->QueryInterface(eventIid, &events) < 0 || events == nullptr) {
        return CONNECT_E_CANNOTCONNECT;
    }
    // The event interface is a dispatch interface: its first slots are
    // IDispatch's, so the pointer serves as one.
    auto* dispatch = static_cast<IDispatch*>(events);
    std::lock_guard guard(lock);
    const uint32_t assigned = nextCookie++;
    if (nextCookie == 0) {
        nextCookie = 1;  // 0 is never a valid cookie
    }
    connections.emplace(assigned, Connection{dispatch, Apartment::CurrentShared()});
    *cookie = assigned;
    return S_OK;
}

HRESULT EventConnectionPoint::Unadvise(uint32_t cookie)
{
    IDispatch* sink = nullptr;
    {
        std::lock_guard guard(lock);
        const auto found = connections.find(cookie);
        if (found == connections.end()) {
            return CONNECT_E_NOCONNECTION;
        }
        sink = found->second.sink;
        connections.erase(found);
    }
    // Outside the lock: the sink's last release may run arbitrary code.
    sink->Release();
    return S_OK;
}

HRESULT EventConnectionPoint::EnumConnections(std::vector<CONNECTDATA>& out)
{
    std::lock_guard guard(lock);
    out.clear();
    out.reserve(connections.size());
    for (const auto& [cookie, connection] : connections) {
        connection.sink->AddRef();
        out.push_back(CONNECTDATA{connection.sink, cookie});
    }
    return S_OK;
}

size_t EventConnectionPoint::ConnectionCount()
{
    std::lock_guard guard(lock);
    return connections.size();
}

void EventConnectionPoint::Disable()
{
    enabled.store(false, std::memory_order_release);
}

std::vector<uint32_t> EventConnectionPoint::Cookies()
{
    std::lock_guard guard(lock);
    std::vector<uint32_t> cookies;
    cookies.reserve(connections.size());
    for (const auto& entry : connections) {
        cookies.push_back(entry.first);
    }
    return cookies;
}

EventConnectionPoint::Fetched EventConnectionPoint::Fetch(uint32_t cookie)
{
    std::lock_guard guard(lock);
    const auto found = connections.find(cookie);
    if (found == connections.end()) {
        return {};
    }
    found->second.sink->AddRef();
    return Fetched{found->second.sink, found->second.apartment};
}

HRESULT EventConnectionPoint::Raise(DISPID member, DISPPARAMS& params)
{
    HRESULT result = S_OK;
    for (const uint32_t cookie : Cookies()) {
        if (!enabled.load(std::memory_order_acquire)) {
            break;
        }
        const Fetched target = Fetch(cookie);
        if (target.sink != nullptr) {
            result = Deliver(target, member, params);
        }
    }
    return result;
}

HRESULT EventConnectionPoint::Deliver(const Fetched& target, DISPID member, DISPPARAMS& params)
{
    // Identity rather than thread id: a thread that ends may pass its id on
    // to a new one, which must not call the old apartment's sinks directly.
    if (!target.apartment || target.apartment.get() == Apartment::Current()) {
        const HRESULT hr = InvokeSink(target.sink, member, params);
        target.sink->Release();
        return hr;
    }
    // The sink is called, and its delivery reference dropped, on the thread
    // that advised it; this thread waits meanwhile.
    HRESULT invoked = S_OK;
    bool ran = false;
    const HRESULT called = target.apartment->Call([&] {
        ran = true;
        invoked = InvokeSink(target.sink, member, params);
        target.sink->Release();
    });
    if (!ran) {
        target.sink->Release();
        return called;
    }
    return invoked;
}

HRESULT EventConnectionPoint::InvokeSink(IDispatch* sink, DISPID member, DISPPARAMS& params)
{
    VARIANT result;
    VariantInit(&result);
    HRESULT hr = S_OK;
    try {
        hr = sink->Invoke(member, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, &result,
                          nullptr, nullptr);
    } catch (...) {
        // A sink must not throw across the interface; the raiser goes on.
        hr = DISP_E_EXCEPTION;
    }
    static_cast<void>(VariantClear(&result));
    return hr;
}

} // namespace zan

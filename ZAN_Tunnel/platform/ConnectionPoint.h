#pragma once

#include "Apartment.h"
#include "ComBase.h"
#include "IConnectionPoint.h"
#include "IDispatch.h"

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace zan {

// The connection point of one dispatch event interface, embedded in its
// event source: AddRef and Release go to the container given at
// construction (with none, the owner of this object controls its life and
// they do nothing).
//
// Who calls what, on which thread:
//   host thread     Advise / Unadvise / EnumConnections (under `lock`)
//   any thread      Raise: for each cookie present at the start, fetch the
//                   sink under `lock` (one reference), release the lock,
//                   then Invoke it: through its apartment's queue when it was
//                   advised from an apartment thread other than the raising
//                   one (the raiser waits), else directly. The lock is never
//                   held during Invoke, so a sink may advise or unadvise from
//                   inside an event.
class EventConnectionPoint final : public IConnectionPoint {
public:
    EventConnectionPoint(const IID& eventIid, IConnectionPointContainer* container);
    ~EventConnectionPoint();
    EventConnectionPoint(const EventConnectionPoint&) = delete;
    EventConnectionPoint& operator=(const EventConnectionPoint&) = delete;

    HRESULT QueryInterface(const IID& iid, void** out) override;
    uint32_t AddRef() override;
    uint32_t Release() override;

    HRESULT GetConnectionInterface(IID* iid) override;
    HRESULT GetConnectionPointContainer(IConnectionPointContainer** container) override;
    // Queries the sink for the event interface (CONNECT_E_CANNOTCONNECT
    // without it, E_POINTER for null arguments) and keeps that reference.
    HRESULT Advise(IUnknown* sink, uint32_t* cookie) override;
    // CONNECT_E_NOCONNECTION for a cookie not advised.
    HRESULT Unadvise(uint32_t cookie) override;
    HRESULT EnumConnections(std::vector<CONNECTDATA>& connections) override;

    // Delivers one event to every sink; returns the last Invoke's result
    // (S_OK with no sink). `params` is passed to every sink in turn, so a
    // sink's change of a by-reference argument is seen by the next one.
    HRESULT Raise(DISPID member, DISPPARAMS& params);
    // Every later Raise does nothing; one already delivering completes.
    void Disable();
    size_t ConnectionCount();

private:
    struct Connection {
        IDispatch* sink;                       // one reference, ours
        std::shared_ptr<Apartment> apartment;  // null: called directly
    };
    struct Fetched {
        IDispatch* sink = nullptr;  // one reference for this delivery
        std::shared_ptr<Apartment> apartment;
    };

    std::vector<uint32_t> Cookies();
    Fetched Fetch(uint32_t cookie);
    static HRESULT Deliver(const Fetched& target, DISPID member, DISPPARAMS& params);
    static HRESULT InvokeSink(IDispatch* sink, DISPID member, DISPPARAMS& params);

    const IID eventIid;
    IConnectionPointContainer* const container;
    std::atomic<bool> enabled{true};
    std::mutex lock;  // guards: connections, nextCookie
    std::map<uint32_t, Connection> connections;
    uint32_t nextCookie = 1;
};

} // namespace zan

#pragma once

#include "ComBase.h"
#include "ComResults.h"

#include <cstdint>
#include <vector>

namespace zan {

inline constexpr IID IID_IConnectionPoint{0xB196B286, 0xBAB4, 0x101A,
                                          {0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34, 0x1D, 0x07}};
inline constexpr IID IID_IConnectionPointContainer{0xB196B284, 0xBAB4, 0x101A,
                                                   {0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34, 0x1D, 0x07}};

class IConnectionPointContainer;

// One advised sink as EnumConnections reports it; `sink` carries a reference
// that the receiver releases.
struct CONNECTDATA {
    IUnknown* sink;
    uint32_t cookie;
};

// The outgoing side of one event interface. Slot order as on the platform;
// the enumeration is a plain vector instead of an enumerator object.
class IConnectionPoint : public IUnknown {
public:
    virtual HRESULT GetConnectionInterface(IID* iid) = 0;
    virtual HRESULT GetConnectionPointContainer(IConnectionPointContainer** container) = 0;
    virtual HRESULT Advise(IUnknown* sink, uint32_t* cookie) = 0;
    virtual HRESULT Unadvise(uint32_t cookie) = 0;
    virtual HRESULT EnumConnections(std::vector<CONNECTDATA>& connections) = 0;

protected:
    IConnectionPoint() = default;
    ~IConnectionPoint() = default;
    IConnectionPoint(const IConnectionPoint&) = default;
    IConnectionPoint& operator=(const IConnectionPoint&) = default;
};

// An event source: finds its connection point by event interface.
// EnumConnectionPoints keeps the platform's slot; a source with a single
// point may leave it at E_NOTIMPL.
class IConnectionPointContainer : public IUnknown {
public:
    virtual HRESULT EnumConnectionPoints(std::vector<IConnectionPoint*>& points)
    {
        static_cast<void>(points);
        return E_NOTIMPL;
    }
    virtual HRESULT FindConnectionPoint(const IID& iid, IConnectionPoint** point) = 0;

protected:
    IConnectionPointContainer() = default;
    ~IConnectionPointContainer() = default;
    IConnectionPointContainer(const IConnectionPointContainer&) = default;
    IConnectionPointContainer& operator=(const IConnectionPointContainer&) = default;
};

} // namespace zan

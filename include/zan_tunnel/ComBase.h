#pragma once

#include "ComResults.h"

#include <atomic>
#include <cstdint>
#include <limits>
#include <new>
#include <utility>

namespace zan {

// Interface identifiers, laid out as the platform lays them out.
struct GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
};
using IID = GUID;

inline bool operator==(const GUID& a, const GUID& b)
{
    if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) {
        return false;
    }
    for (int i = 0; i < 8; ++i) {
        if (a.Data4[i] != b.Data4[i]) {
            return false;
        }
    }
    return true;
}

inline constexpr IID IID_NULL{0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};
inline constexpr IID IID_IUnknown{0x00000000, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
inline constexpr IID IID_IDispatch{0x00020400, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

// The root of every interface. The virtual functions keep the platform's
// slot order (QueryInterface, AddRef, Release), so no interface declares a
// virtual destructor: objects are destroyed by the object that implements
// them (ComObject below), never through an interface pointer.
class IUnknown {
public:
    virtual HRESULT QueryInterface(const IID& iid, void** out) = 0;
    virtual uint32_t AddRef() = 0;
    virtual uint32_t Release() = 0;

protected:
    IUnknown() = default;
    ~IUnknown() = default;
    IUnknown(const IUnknown&) = default;
    IUnknown& operator=(const IUnknown&) = default;
};

// Base of a class whose objects are made with CreateComObject. The class
// derives from its interfaces and from ComObjectRoot, implements their
// methods except the three of IUnknown, and provides
//     void* GetInterface(const IID& iid);
// returning the pointer to the requested interface (one fixed pointer for
// IID_IUnknown) or null. It may hide FinalConstruct / FinalRelease below.
class ComObjectRoot {
public:
    // Runs once, right after construction; a failure result destroys the
    // object again (FinalRelease runs first).
    HRESULT FinalConstruct() { return S_OK; }
    // Runs once, when the last reference is released, before destruction.
    void FinalRelease() {}
};

// The most derived class of every object: it implements IUnknown's three
// methods once for all of T's interfaces. The count is atomic, so references
// may be taken and released on any thread.
template <class T>
class ComObject final : public T {
public:
    template <class... Args>
    explicit ComObject(Args&&... args) : T(std::forward<Args>(args)...)
    {
    }

    HRESULT QueryInterface(const IID& iid, void** out) override
    {
        if (out == nullptr) {
            return E_POINTER;
        }
        *out = this->GetInterface(iid);
        if (*out == nullptr) {
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }

    uint32_t AddRef() override { return count.fetch_add(1, std::memory_order_relaxed) + 1; }

    uint32_t Release() override
    {
        const uint32_t left = count.fetch_sub(1, std::memory_order_acq_rel) - 1;
        if (left == 0) {
            Destroy();
        }
        return left;
    }

    // Called by the creators below only: the object starts with one
    // reference, which the creator hands to its caller.
    HRESULT Construct()
    {
        count.store(1, std::memory_order_relaxed);
        return this->FinalConstruct();
    }

    void Destroy()
    {
        // References taken and dropped inside FinalRelease must not bring
        // the count to zero a second time.
        count.store(kDestroying, std::memory_order_relaxed);
        this->FinalRelease();
        delete this;
    }

private:
    static constexpr uint32_t kDestroying = std::numeric_limits<uint32_t>::max() / 2;
    std::atomic<uint32_t> count{0};
};

// Makes an object of T holding one reference (the caller's) and runs its
// FinalConstruct. On failure *out is null and the result is E_OUTOFMEMORY or
// FinalConstruct's failure; the object is gone again. Any other exception
// of T's constructor reaches the caller.
template <class T, class... Args>
HRESULT TryCreateComObject(T** out, Args&&... args)
{
    if (out == nullptr) {
        return E_POINTER;
    }
    *out = nullptr;
    ComObject<T>* object = nullptr;
    try {
        object = new ComObject<T>(std::forward<Args>(args)...);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    const HRESULT hr = object->Construct();
    if (hr < 0) {
        object->Destroy();
        return hr;
    }
    *out = object;
    return S_OK;
}

// The same, for callers that only need the object: null on failure.
template <class T, class... Args>
T* CreateComObject(Args&&... args)
{
    T* out = nullptr;
    static_cast<void>(TryCreateComObject<T>(&out, std::forward<Args>(args)...));
    return out;
}

} // namespace zan

#pragma once

// Helpers for the control's tests: automation strings, a message presenter
// that records what the user would see, an event sink that records events
// with the thread they arrived on, and a temporary log folder.

#include "Apartment.h"
#include "Bstr.h"
#include "IZAN_Tunnel.h"
#include "LoopbackSockets.h"
#include "MessagePresenter.h"
#include "ScopedEnvironment.h"
#include "TextConversion.h"
#include "Tunnel.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace zan {

namespace controltest {

class Text {
public:
    explicit Text(std::string_view utf8)
    {
        const std::u16string wide = Utf8ToUtf16(utf8);
        text = SysAllocStringLen(wide.data(), static_cast<uint32_t>(wide.size()));
    }
    ~Text() { SysFreeString(text); }
    Text(const Text&) = delete;
    Text& operator=(const Text&) = delete;
    operator BSTR() const { return text; }

private:
    BSTR text;
};

inline std::string Take(BSTR text)
{
    std::string utf8 = text == nullptr ? "<null>" : Utf16ToUtf8(std::u16string_view(text, SysStringLen(text)));
    SysFreeString(text);
    return utf8;
}

// Records the messages the boundary shows, for the life of the object.
class ShownMessages {
public:
    ShownMessages() { SetMessagePresenter(&ShownMessages::Present, this); }
    ~ShownMessages() { SetMessagePresenter(nullptr, nullptr); }

    std::vector<std::string> Texts()
    {
        std::lock_guard guard(lock);
        return texts;
    }

private:
    static void Present(const char16_t*, const char16_t* text, uint32_t, void* self)
    {
        auto* shown = static_cast<ShownMessages*>(self);
        std::lock_guard guard(shown->lock);
        shown->texts.push_back(text != nullptr ? Utf16ToUtf8(text) : "");
    }

    std::mutex lock;
    std::vector<std::string> texts;
};

// An event sink recording each event with the thread it ran on.
class RecordingSink : public IDispatch {
public:
    struct Received {
        DISPID id;
        std::string message;
        int32_t code;
        std::thread::id thread;
    };

    HRESULT QueryInterface(const IID& iid, void** out) override
    {
        if (iid == IID_IUnknown || iid == IID_IDispatch || iid == DIID__IZAN_TunnelEvents) {
            *out = static_cast<IDispatch*>(this);
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    uint32_t AddRef() override { return 2; }
    uint32_t Release() override { return 1; }
    HRESULT GetTypeInfoCount(uint32_t* count) override
    {
        *count = 0;
        return S_OK;
    }
    HRESULT GetTypeInfo(uint32_t, uint32_t, void**) override { return E_NOTIMPL; }
    HRESULT GetIDsOfNames(const IID&, const char16_t**, uint32_t, uint32_t, DISPID*) override { return E_NOTIMPL; }
    HRESULT Invoke(DISPID id, const IID&, uint32_t, uint16_t, DISPPARAMS* params, VARIANT*, void*,
                   uint32_t*) override
    {
        Received r{id, {}, 0, std::this_thread::get_id()};
        for (uint32_t i = 0; i < params->cArgs; ++i) {
            const VARIANT& arg = params->rgvarg[i];
            if (arg.vt == VT_I4) {
                r.code = arg.lVal;
            } else if (arg.vt == (VT_BSTR | VT_BYREF)) {
                r.message = Utf16ToUtf8(std::u16string_view(*arg.pbstrVal, SysStringLen(*arg.pbstrVal)));
            }
        }
        std::lock_guard guard(lock);
        received.push_back(r);
        return S_OK;
    }

    std::vector<Received> Events()
    {
        std::lock_guard guard(lock);
        return received;
    }

private:
    std::mutex lock;
    std::vector<Received> received;
};

// A control created for a test, released at its end.
class Control {
public:
    Control() { EXPECT_EQ(CZAN_Tunnel::CreateInstance(&control), S_OK); }
    ~Control()
    {
        if (control != nullptr) {
            control->ReleaseControl();
        }
    }
    CZAN_Tunnel* operator->() const { return control; }
    CZAN_Tunnel& operator*() const { return *control; }
    // Releases now (final release), e.g. to test what follows it.
    void Release()
    {
        control->ReleaseControl();
        control = nullptr;
    }

private:
    CZAN_Tunnel* control = nullptr;
};

// ZAN_COMMON_APPDATA pointed at a fresh folder for the life of the object.
class TemporaryAppData {
public:
    explicit TemporaryAppData(bool withLogFolder)
    {
        if (withLogFolder) {
            std::filesystem::create_directories(folder.path / "Corvana/Client/Log");
        }
    }
    std::filesystem::path LogFile() const { return folder.path / "Corvana/Client/Log/zan_debug.txt"; }

private:
    TempFolder folder{"zan-control-test"};
    ScopedEnvironment environment{"ZAN_COMMON_APPDATA", folder.path.string()};
};

// A UDP port on 127.0.0.1 that was free a moment ago.
inline uint16_t FreePort()
{
    return sockettest::FreePort(SOCK_DGRAM);
}

} // namespace controltest

} // namespace zan

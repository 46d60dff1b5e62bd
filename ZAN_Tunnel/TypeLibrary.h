#pragma once

#include "ComBase.h"
#include "DispatchTypeInfo.h"

#include <string_view>

namespace zan {

// The module's type library, compiled in: what a host learns about the
// control by name. The control's IDispatch is served from it.
struct TypeLibraryDescription {
    struct CoClass {
        std::u16string_view name;
        GUID clsid;
        std::u16string_view help;
        IID defaultInterface;
        IID defaultSource;
    };
    struct Alias {
        std::u16string_view name;
        VARTYPE type;
    };

    std::u16string_view name;
    GUID libid;
    uint16_t majorVersion;
    uint16_t minorVersion;
    uint32_t lcid;
    std::u16string_view help;
    const DispatchInterface& control;  // IZAN_Tunnel: dual, non-extensible, automation-compatible
    const DispatchInterface& events;   // _IZAN_TunnelEvents: a dispatch interface
    CoClass coClass;
    Alias pointerAlias;  // LONG_PTR: an integer as wide as a pointer
};

const TypeLibraryDescription& ZanTunnelTypeLibrary();

// The type information of IZAN_Tunnel and of _IZAN_TunnelEvents.
DispatchTypeInfo& ZanTunnelTypeInfo();
DispatchTypeInfo& ZanTunnelEventsTypeInfo();

} // namespace zan

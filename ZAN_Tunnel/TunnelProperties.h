#pragma once

#include "ControlSettings.h"
#include "ResultCodes.h"

#include <cstdint>
#include <functional>
#include <string>

namespace zan {

class CTunnel;
class ZAN_Properties;

// The control's named properties: parses a host's name and value texts and
// applies them to the control's settings (SetProperties), and answers the
// readable ones (GetProperties). A value is parsed completely before any
// field changes, so a refused value leaves the settings as they were.
//
// Failures throw exc_tunnel for the control's boundary to report: a name
// this control does not handle gives "Unknown property :<name>" with code 0,
// a value that does not fit its name's format gives "Set property error:"
// (or "Get property error:") and the property text, with E_INVALIDARG.
class TunnelProperties {
public:
    // Sets `prop` to `value` (either may be null). `engine` may be null; when
    // there is one, a tunnel_cc key is also added to it at once. Returns S_OK,
    // or E_NOTIMPL for the recording names that are parsed and then refused.
    static HRESULT Set(const ZAN_Properties& names, ControlSettings& settings, CTunnel* engine,
                       const char16_t* prop, const char16_t* value);

    // The answer for `prop`; only its first space-separated part names the
    // property. `factoryAddress` gives t_instance (it may create the engine).
    static std::u16string Get(const ZAN_Properties& names, const ControlSettings& settings, const char16_t* prop,
                              const std::function<intptr_t()>& factoryAddress);
};

} // namespace zan

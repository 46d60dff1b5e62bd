#include "PropertyList.h"

#include "TextConversion.h"
#include "ZAN_Properties.h"

#include <string_view>

namespace zan {

namespace {

struct HandledProperty {
    std::string_view name;
    std::string_view use;     // "set", "get" or "set, get"
    std::string_view format;  // of the value
    std::string_view example;
};

constexpr HandledProperty kHandled[] = {
    {"cv_version", "get", "the control's version", "--get cv_version"},
    {"tos", "set, get", "N: IP type-of-service byte of the tunnel's packets", "--set tos=184"},
    {"video_tos", "set, get", "N: the same as tos", "--set video_tos=184"},
    {"audio_tos", "set, get", "N: the same as tos", "--set audio_tos=184"},
    {"ttl", "set, get", "N: time to live of the tunnel's packets", "--set ttl=16"},
    {"tunnel_rec_buffer", "set", "BYTES: receive buffer of the tunnel socket (0: the system's)",
     "--set tunnel_rec_buffer=1048576"},
    {"tunnel_snd_buffer", "set", "BYTES: send buffer of the tunnel socket (0: the system's)",
     "--set tunnel_snd_buffer=1048576"},
    {"sender_nic", "set", "ADDR: local address the tunnel sends from", "--set sender_nic=192.0.2.10"},
    {"receiver_nic", "set", "ADDR: local address a listening tunnel binds", "--set receiver_nic=192.0.2.10"},
    {"tunnel_cc", "set",
     "KEY-ID KEY SALT REKEY: key of crypto type 8 (64 and 28 hex digits; zan-tunnel genkey), or N: the source tag",
     "--set-file tunnel_cc=site.key"},
    {"t_rec_type", "set", "N: parsed, not implemented (refused)", "--set t_rec_type=1"},
    {"t_rec_config", "set", "N N N: parsed, not implemented (refused)", "--set \"t_rec_config=1 2 3\""},
    {"t_rcv_address", "set", "ADDR: multicast group the tunnel receives", "--set t_rcv_address=239.1.2.3"},
    {"t_instance", "get", "the address of the socket stack factory", "--get t_instance"},
    {"tcp_tunnel_type", "set", "1: the tunnel uses TCP (--tcp sets it)", "--set tcp_tunnel_type=1"},
    {"tcp_tunnel", "set, get", "HOST X: switches the TCP tunnel on (--tcp sets it)", "--set \"tcp_tunnel=relay.example -\""},
    {"tcp_tunnel_connect", "set", "HOST PORT: the relay (--tcp sets it)", "--set \"tcp_tunnel_connect=relay.example 443\""},
    {"tcp_tunnel_proxy", "set", "FLAG [HOST PORT [USER PASSWORD]]: HTTP proxy (--proxy sets it)",
     "--proxy proxy.corp:3128"},
};

const HandledProperty* Handled(std::string_view name)
{
    for (const HandledProperty& property : kHandled) {
        if (property.name == name) {
            return &property;
        }
    }
    return nullptr;
}

} // namespace

void PrintPropertyList(std::FILE* out)
{
    const ZAN_Properties table;
    std::fprintf(out, "%zu property names; this control uses %zu of them:\n", table.Names().size(),
                 std::size(kHandled));
    for (const std::u16string& wide : table.Names()) {
        const std::string name = Utf16ToUtf8(wide);
        if (const HandledProperty* property = Handled(name)) {
            std::fprintf(out, "%-22s %-9s %s (e.g. %s)\n", name.c_str(), std::string(property->use).c_str(),
                         std::string(property->format).c_str(), std::string(property->example).c_str());
        } else {
            std::fprintf(out, "%-22s %-9s known, not used by this control\n", name.c_str(), "-");
        }
    }
}

std::string PropertyErrorMessage(const std::string& name, const std::string& report)
{
    const ZAN_Properties table;
    if (table.Lookup(Utf8ToUtf16(name)) == 0) {
        return "--set " + name + ": no property has this name (zan-tunnel --list-properties lists them)";
    }
    const HandledProperty* property = Handled(name);
    if (property == nullptr || property->use == "get") {
        return "--set " + name + ": " + name + " is a known property name, but this control does not use it "
               "(zan-tunnel --list-properties)";
    }
    return "--set " + name + ": the value was refused (" + report + "); it wants " + std::string(property->format) +
           ", e.g. " + std::string(property->example);
}

} // namespace zan

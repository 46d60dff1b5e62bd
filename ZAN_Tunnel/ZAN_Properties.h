#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace zan {

// The table of property names shared by the client's controls: every name
// any of them knows, mapped to its number. This control handles only the
// numbers named below and refuses every other name, listed or not.
//
// Numbering. The handled names have fixed numbers (tos, video_tos and
// audio_tos share 11). dpi_scale_factor is 107. Every other name takes the
// next free number in insertion order from 2-10, then 13-54, then 68-106,
// so the table's numbers are: cv_version 1, draw_logo .. enable_fec 2-10,
// tos 11, ttl 12, snapshot .. pck_lost 13-54 (skipping the handled names in
// between), tunnel_rec_buffer .. tcp_tunnel_proxy 55-67, recording_status ..
// st_stop 68-106, dpi_scale_factor 107.
class ZAN_Properties {
public:
    static constexpr int32_t kCvVersion = 1;
    static constexpr int32_t kTos = 11;  // also video_tos and audio_tos
    static constexpr int32_t kTtl = 12;
    static constexpr int32_t kTunnelRecBuffer = 55;
    static constexpr int32_t kTunnelSndBuffer = 56;
    static constexpr int32_t kSenderNic = 57;
    static constexpr int32_t kReceiverNic = 58;
    static constexpr int32_t kTunnelCc = 59;
    static constexpr int32_t kTRecType = 60;
    static constexpr int32_t kTRecConfig = 61;
    static constexpr int32_t kTRcvAddress = 62;
    static constexpr int32_t kTInstance = 63;
    static constexpr int32_t kTcpTunnelType = 64;
    static constexpr int32_t kTcpTunnel = 65;
    static constexpr int32_t kTcpTunnelConnect = 66;
    static constexpr int32_t kTcpTunnelProxy = 67;
    static constexpr int32_t kDpiScaleFactor = 107;
    static constexpr size_t kNameCount = 109;

    ZAN_Properties();

    // The number of `name` (exact, case-sensitive match), 0 when absent.
    [[nodiscard]] int32_t Lookup(std::u16string_view name) const;
    // Every name, in insertion order.
    [[nodiscard]] const std::vector<std::u16string>& Names() const { return names; }

private:
    // Lets Lookup find a view without building a string.
    struct NameHash {
        using is_transparent = void;
        size_t operator()(std::u16string_view name) const { return std::hash<std::u16string_view>{}(name); }
    };

    std::vector<std::u16string> names;
    std::unordered_map<std::u16string, int32_t, NameHash, std::equal_to<>> numbers;
};

} // namespace zan

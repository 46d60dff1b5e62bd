#include "ZAN_Properties.h"

#include <utility>

namespace zan {

namespace {

struct NamedNumber {
    const char16_t* name;
    int32_t number;
};

// Insertion order; numbers as the class comment explains.
constexpr NamedNumber kTable[] = {
    {u"cv_version", ZAN_Properties::kCvVersion},
    {u"draw_logo", 2}, {u"enable_tunnel", 3}, {u"enable_pck_reordering", 4}, {u"enable_aec", 5},
    {u"activate_aec", 6}, {u"init_aec", 7}, {u"enable_vol_control_aec", 8}, {u"deinit_aec", 9},
    {u"enable_fec", 10},
    {u"snapshot", 13}, {u"snapshot_len", 14}, {u"use_http_webcam", 15}, {u"deinterlace", 16},
    {u"mirror_preview", 17}, {u"list_devices", 18}, {u"volume", 19}, {u"volume_up", 20},
    {u"volume_down", 21}, {u"use_video_receiver_2", 22},
    {u"tos", ZAN_Properties::kTos}, {u"ttl", ZAN_Properties::kTtl},
    {u"dpi_scale_factor", ZAN_Properties::kDpiScaleFactor},
    {u"vs_change_device", 23}, {u"vs_send_preview", 24}, {u"enable_preview", 25}, {u"vs_cbr", 26},
    {u"vr_sync", 27}, {u"video_pck_lost", 28}, {u"audio_pck_lost", 29}, {u"vr_fullscreen_always_on", 30},
    {u"vr_disable_mc_loop", 31}, {u"vr_sound_level", 32}, {u"vr_mute", 33}, {u"is_active", 34},
    {u"video_buffer_full", 35}, {u"audio_buffer_full", 36}, {u"force_gdi", 37}, {u"vr_ar_mode", 38},
    {u"fs_loop", 39}, {u"fr_loop", 40}, {u"fr_play", 41}, {u"vc_codec", 42}, {u"vc_codec_rc", 43},
    {u"speaker_idx", 44}, {u"speaker_name", 45}, {u"sender_throughput", 46}, {u"vs_crop", 47},
    {u"deinit", 48}, {u"save_preview", 49}, {u"create_audio_graph", 50}, {u"seek_pos", 51},
    {u"duration", 52}, {u"ms_use_libav", 53},
    {u"video_tos", ZAN_Properties::kTos}, {u"audio_tos", ZAN_Properties::kTos},
    {u"pck_lost", 54},
    {u"tunnel_rec_buffer", ZAN_Properties::kTunnelRecBuffer},
    {u"tunnel_snd_buffer", ZAN_Properties::kTunnelSndBuffer},
    {u"sender_nic", ZAN_Properties::kSenderNic},
    {u"receiver_nic", ZAN_Properties::kReceiverNic},
    {u"tunnel_cc", ZAN_Properties::kTunnelCc},
    {u"t_rec_type", ZAN_Properties::kTRecType},
    {u"t_rec_config", ZAN_Properties::kTRecConfig},
    {u"t_rcv_address", ZAN_Properties::kTRcvAddress},
    {u"t_instance", ZAN_Properties::kTInstance},
    {u"tcp_tunnel_type", ZAN_Properties::kTcpTunnelType},
    {u"tcp_tunnel", ZAN_Properties::kTcpTunnel},
    {u"tcp_tunnel_connect", ZAN_Properties::kTcpTunnelConnect},
    {u"tcp_tunnel_proxy", ZAN_Properties::kTcpTunnelProxy},
    {u"recording_status", 68}, {u"draw_image", 69}, {u"pause", 70}, {u"status", 71}, {u"ss_codec", 72},
    {u"ss_k_interval", 73}, {u"ss_quality", 74}, {u"ss_ext_input", 75}, {u"ss_win_rect", 76},
    {u"ss_app_hwnd", 77}, {u"ss_app_hwnd_not", 78}, {u"ss_app_hwnd_cv", 79}, {u"ss_app_list", 80},
    {u"ss_app_list_size", 81}, {u"ss_app_name", 82}, {u"g_enable_audio", 83}, {u"g_audio_all", 84},
    {u"g_snd_nic", 85}, {u"g_rcv_nic", 86}, {u"g_send_dtmf", 87}, {u"g_enable_video", 88},
    {u"g_start_streaming", 89}, {u"run", 90}, {u"cam_index", 91}, {u"cam_num", 92}, {u"cam_name", 93},
    {u"cam_config", 94}, {u"save_image", 95}, {u"jpg_file", 96}, {u"do_training", 97}, {u"face", 98},
    {u"no_face_time", 99}, {u"no_face_reset", 100}, {u"face_sleep_time", 101}, {u"wm_push_address", 102},
    {u"wm_user", 103}, {u"wm_password", 104}, {u"st_cmd", 105}, {u"st_stop", 106},
};

static_assert(std::size(kTable) == ZAN_Properties::kNameCount);

} // namespace

ZAN_Properties::ZAN_Properties()
{
    names.reserve(kNameCount);
    numbers.reserve(kNameCount);
    for (const NamedNumber& entry : kTable) {
        names.emplace_back(entry.name);
        numbers.emplace(entry.name, entry.number);
    }
}

int32_t ZAN_Properties::Lookup(std::u16string_view name) const
{
    const auto found = numbers.find(name);
    return found != numbers.end() ? found->second : 0;
}

} // namespace zan

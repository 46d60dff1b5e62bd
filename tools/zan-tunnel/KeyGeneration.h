#pragma once

#include <optional>
#include <string>

namespace zan {

// A fresh tunnel_cc value for a key file: key id 1, a 32-byte key and a
// 14-byte salt from OpenSSL's random generator in hexadecimal, rekey
// period 0. Nothing when the generator fails.
std::optional<std::string> GenerateTunnelKey();

} // namespace zan

#pragma once

#include <cstdint>

namespace zan {

// CAST-128 S-boxes S1..S8, indexed [0..7].
extern const uint32_t kCast128SBox[8][256];

} // namespace zan

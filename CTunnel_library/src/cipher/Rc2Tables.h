#pragma once

#include <cstdint>

namespace zan {

// RC2 key-expansion permutation table.
extern const uint8_t kRc2PiTable[256];

} // namespace zan

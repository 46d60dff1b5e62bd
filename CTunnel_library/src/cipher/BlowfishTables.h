#pragma once

#include <cstdint>

namespace zan {

// Blowfish's initial P-array and S-boxes (hexadecimal digits of pi).
extern const uint32_t kBlowfishInitP[18];
extern const uint32_t kBlowfishInitS[4][256];

} // namespace zan

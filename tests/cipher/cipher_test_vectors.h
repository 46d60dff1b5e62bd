#pragma once

// Known-answer vectors for the block ciphers, all given as hexadecimal byte
// strings in the order the bytes enter and leave the cipher.

#include <cstdint>

namespace zan {

struct BlockVector {
    const char* key;
    const char* plain;
    const char* cipher;
};

struct Rc2Vector {
    const char* key;
    uint32_t effectiveBits;
    const char* plain;
    const char* cipher;
};

// IDEA: the worked example of the IDEA reference description (Lai and
// Massey), key 0001 0002 ... 0008.
inline constexpr BlockVector kIdeaVectors[] = {
    {"00010002000300040005000600070008", "0000000100020003", "11fbed2b01986de5"},
};

// AES-128: FIPS-197 appendix B (cipher example) and appendix C.1.
inline constexpr BlockVector kAesVectors[] = {
    {"2b7e151628aed2a6abf7158809cf4f3c", "3243f6a8885a308d313198a2e0370734", "3925841d02dc09fbdc118597196a0b32"},
    {"000102030405060708090a0b0c0d0e0f", "00112233445566778899aabbccddeeff", "69c4e0d86a7b0430d8cdb78070b4c55a"},
};

// CAST-128: RFC 2144 appendix B.1, the 128-bit key.
inline constexpr BlockVector kCast128Vectors[] = {
    {"0123456712345678234567893456789a", "0123456789abcdef", "238b4fe5847e44b2"},
};

// Blowfish: Schneier's published test vectors (from Eric Young's ECB set and,
// for a 16-byte key, the variable-key-length set with plaintext FEDCBA9876543210).
inline constexpr BlockVector kBlowfishVectors[] = {
    {"0000000000000000", "0000000000000000", "4ef997456198dd78"},
    {"1111111111111111", "1111111111111111", "2466dd878b963c9d"},
    {"0123456789abcdef", "1111111111111111", "61f9c3802281b096"},
    {"f0e1d2c3b4a5968778695a4b3c2d1e0f", "fedcba9876543210", "93142887ee3be15c"},
};

// RC2: RFC 2268 section 5, the vectors of distinct key and effective lengths
// (the fifth is the 16-byte key with an effective key length of 128 bits).
inline constexpr Rc2Vector kRc2Vectors[] = {
    {"0000000000000000", 63, "0000000000000000", "ebb773f993278eff"},
    {"88", 64, "0000000000000000", "61a8a244adacccf0"},
    {"88bca90e90875a", 64, "0000000000000000", "6ccf4308974c267f"},
    {"88bca90e90875a7f0f79c384627bafb2", 64, "0000000000000000", "1a807d272bbe5db1"},
    {"88bca90e90875a7f0f79c384627bafb2", 128, "0000000000000000", "2269552ab0f85ca6"},
    {"88bca90e90875a7f0f79c384627bafb216f80a6f85920584c42fceb0be255daf1e", 129, "0000000000000000",
     "5b78d3a43dfff1f1"},
};

// RC5-32/12/16: the first examples of Rivest's RC5 paper, as printed there
// (the block bytes in order; RC5 reads them as two little-endian words).
inline constexpr BlockVector kRc5Vectors[] = {
    {"00000000000000000000000000000000", "0000000000000000", "21a5dbee154b8f6d"},
    {"915f4619be41b2516355a50110a9ce91", "21a5dbee154b8f6d", "f7c013ac5b2b8952"},
};

} // namespace zan

#pragma once

#include <cstdint>

namespace zan {

// The selectable block ciphers of the legacy packet format, in CBC mode with
// a fixed initial vector (00 01 02 ...) that every Crypt call starts from.
// One engine serves one thread: Crypt writes the chaining state.
//
// Types: 0 and 7 copy; 1 IDEA, 2 AES-128, 3 CAST-128, 4 Blowfish,
// 5 RC2 (effective key length 128 bits), 6 RC5-32/12.
class CipherEngine {
public:
    static constexpr int32_t kEncrypt = 1;
    static constexpr int32_t kDecrypt = 0;

    // Results of SetKey.
    static constexpr int32_t kKeyOk = 0;
    static constexpr int32_t kKeyRefused = 1;  // null key text or type above 7
    static constexpr int32_t kKeyEmpty = 4;    // empty key text for a cipher type

    CipherEngine();
    ~CipherEngine();

    CipherEngine(const CipherEngine&) = delete;
    CipherEngine& operator=(const CipherEngine&) = delete;

    // Selects the cipher and builds its key schedules from the key text
    // repeated to fill a 256-byte key buffer.
    int32_t SetKey(const char* keyText, int32_t type);

    // mode kEncrypt: writes `length` rounded up to the block size (a final
    // partial block is zero-padded); kDecrypt: writes exactly `length`
    // bytes, reading a whole block at a final partial position. `in` and
    // `out` are distinct and sized for the rounded-up length.
    void Crypt(const uint8_t* in, uint8_t* out, uint32_t length, int32_t mode);

    int32_t Type() const { return type; }

    // Block size in bytes of a crypto type (1 for the copying types).
    static uint32_t BlockSize(int32_t type);
    // `length` rounded up to a whole number of blocks of the type.
    static uint32_t CipherLength(int32_t type, uint32_t length);

private:
    struct State;  // key schedules and chaining vectors
    int32_t type = 0;
    State* state;
};

} // namespace zan

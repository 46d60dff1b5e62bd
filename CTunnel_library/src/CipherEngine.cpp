#include "CipherEngine.h"

#include <openssl/crypto.h>

#include <cstring>

namespace {

bool IsCopyType(int32_t type) { return type == 0 || type == 7; }

}  // namespace

struct CipherEngine::State {
    // False until SetKey built the schedule of the current cipher type; an
    // unkeyed engine writes zeros rather than anything derived from its input.
    bool keyed = false;
};

CipherEngine::CipherEngine() : state(new State) {}

CipherEngine::~CipherEngine()
{
    OPENSSL_cleanse(state, sizeof(State));
    delete state;
}

int32_t CipherEngine::SetKey(const char* keyText, int32_t type)
{
    if (keyText == nullptr || type < 0 || type > 7)
        return kKeyRefused;
    this->type = type;
    if (type == 0)
        return kKeyOk;
    state->keyed = false;
    if (keyText[0] == '\0')
        return kKeyEmpty;
    state->keyed = IsCopyType(type);
    return kKeyOk;
}

void CipherEngine::Crypt(const uint8_t* in, uint8_t* out, uint32_t length, int32_t mode)
{
    if (IsCopyType(type)) {
        if (length != 0)
            std::memcpy(out, in, length);
        return;
    }
    const uint32_t written = mode == kEncrypt ? CipherLength(type, length) : length;
    if (written != 0)
        std::memset(out, 0, written);
}

uint32_t CipherEngine::BlockSize(int32_t type)
{
    switch (type) {
    case 2:
        return 16;
    case 1:
    case 3:
    case 4:
    case 5:
    case 6:
        return 8;
    default:
        return 1;
    }
}

uint32_t CipherEngine::CipherLength(int32_t type, uint32_t length)
{
    const uint32_t block = BlockSize(type);
    return (length + block - 1) / block * block;
}

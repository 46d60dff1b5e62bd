#include "TunnelKeyRecord.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <cstring>

namespace zan {

TunnelKeyRecord& TunnelKeyRecord::operator=(const TunnelKeyRecord& other)
{
    if (this != &other) {
        // Member-wise copy overwrites every buffer whole, so no byte of the
        // previous keys survives.
        id = other.id;
        masterKey = other.masterKey;
        masterKeyLength = other.masterKeyLength;
        masterSalt = other.masterSalt;
        masterSaltLength = other.masterSaltLength;
        trafficKey = other.trafficKey;
        trafficKeyLength = other.trafficKeyLength;
        authKey = other.authKey;
        authKeyLength = other.authKeyLength;
        trafficSalt = other.trafficSalt;
        trafficSaltLength = other.trafficSaltLength;
    }
    return *this;
}

TunnelKeyRecord::~TunnelKeyRecord()
{
    Wipe();
}

void TunnelKeyRecord::Wipe()
{
    OPENSSL_cleanse(masterKey.data(), masterKey.size());
    OPENSSL_cleanse(masterSalt.data(), masterSalt.size());
    OPENSSL_cleanse(trafficKey.data(), trafficKey.size());
    OPENSSL_cleanse(authKey.data(), authKey.size());
    OPENSSL_cleanse(trafficSalt.data(), trafficSalt.size());
    id = 0;
    masterKeyLength = 32;
    masterSaltLength = 14;
    trafficKeyLength = 16;
    authKeyLength = 16;
    trafficSaltLength = kTrafficSaltSize;
}

void TunnelKeyRecord::SetMaster(uint32_t keyId, const uint8_t* key, uint32_t keyLength,
                                const uint8_t* salt, uint32_t saltLength)
{
    Wipe();
    id = keyId;
    masterKeyLength = key != nullptr ? std::min(keyLength, kBufferSize) : 0;
    masterSaltLength = salt != nullptr ? std::min(saltLength, kBufferSize) : 0;
    if (masterKeyLength != 0) {
        std::memcpy(masterKey.data(), key, masterKeyLength);
    }
    if (masterSaltLength != 0) {
        std::memcpy(masterSalt.data(), salt, masterSaltLength);
    }
}

} // namespace zan

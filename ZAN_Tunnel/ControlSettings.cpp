#include "ControlSettings.h"

#include <openssl/crypto.h>

namespace zan {

void ControlSettings::WipeSecrets()
{
    OPENSSL_cleanse(masterKey.data(), masterKey.size());
    OPENSSL_cleanse(masterSalt.data(), masterSalt.size());
    if (cryptoKey) {
        OPENSSL_cleanse(cryptoKey->data(), cryptoKey->size() * sizeof(char16_t));
    }
    OPENSSL_cleanse(proxyPassword.data(), proxyPassword.size() * sizeof(char16_t));
}

} // namespace zan

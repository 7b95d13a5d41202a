#include "common/SrtpKeyMaterial.hpp"

#include <openssl/crypto.h>

namespace rtc::impl {

SrtpKeyMaterial::~SrtpKeyMaterial() {
    for (auto* bytes : {&clientKey, &clientSalt, &serverKey, &serverSalt})
        if (!bytes->empty())
            OPENSSL_cleanse(bytes->data(), bytes->size());
}

} // namespace rtc::impl

#include "common/OpenSsl.hpp"

#include <new>

namespace rtc::impl {

CipherContextPtr newCipherContext() {
    CipherContextPtr context(EVP_CIPHER_CTX_new());
    if (!context)
        throw std::bad_alloc();
    return context;
}

} // namespace rtc::impl

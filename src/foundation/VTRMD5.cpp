#include "foundation/VTRMD5.h"

#include <cstdlib>

#include <openssl/evp.h>

#include "logging/VTRLog.h"

namespace vtr {

namespace {

// Fetched once: an implicit fetch on every initialisation costs a lock and a look-up, which
// shows when thousands of chunks are hashed.
const EVP_MD* md5Algorithm() {
    static const EVP_MD* algorithm = EVP_MD_fetch(nullptr, "MD5", nullptr);
    return algorithm;
}

// MD5 is part of OpenSSL's default provider; if it cannot be used the installation is broken
// and no checksum this process computed could be trusted, so it stops rather than guess.
[[noreturn]] void md5Unavailable() {
    VTRConsoleLog("MD5 is not available from OpenSSL's libcrypto");
    std::abort();
}

}  // namespace

VTRMD5::VTRMD5() : context_(EVP_MD_CTX_new()) {
    if (!context_ || !md5Algorithm() || EVP_DigestInit_ex2(context_, md5Algorithm(), nullptr) != 1)
        md5Unavailable();
}

VTRMD5::~VTRMD5() {
    EVP_MD_CTX_free(context_);
}

void VTRMD5::update(const uint8_t* bytes, size_t size) {
    if (size == 0) return;
    if (EVP_DigestUpdate(context_, bytes, size) != 1) md5Unavailable();
}

VTRBytes VTRMD5::finish() {
    VTRBytes digest(16);
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(context_, digest.data(), &length) != 1 || length != 16) md5Unavailable();
    return digest;
}

}  // namespace vtr

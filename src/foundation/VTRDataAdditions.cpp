#include "foundation/VTRDataAdditions.h"

#include <algorithm>
#include <climits>
#include <memory>

#include <openssl/evp.h>
#include <openssl/provider.h>

#include "foundation/VTRError.h"
#include "foundation/VTRMD5.h"

namespace vtr {

namespace {

// EVP_EncodeBlock takes an int length, so large buffers go through in slices of whole
// three-byte groups; the slices' outputs simply concatenate.
constexpr size_t kBase64Slice = 3 * (size_t{1} << 20);

struct CipherContextFree {
    void operator()(EVP_CIPHER_CTX* context) const { EVP_CIPHER_CTX_free(context); }
};

// DES lives only in the legacy provider. It is loaded into a library context of its own so
// that loading it changes nothing for the rest of the process's OpenSSL use. Created once,
// on first use, and kept for the life of the process.
class DESCipher {
  public:
    DESCipher() {
        context_ = OSSL_LIB_CTX_new();
        if (!context_) return;
        legacy_ = OSSL_PROVIDER_load(context_, "legacy");
        if (legacy_) cipher_ = EVP_CIPHER_fetch(context_, "DES-CBC", nullptr);
    }
    ~DESCipher() {
        EVP_CIPHER_free(cipher_);
        if (legacy_) OSSL_PROVIDER_unload(legacy_);
        OSSL_LIB_CTX_free(context_);
    }
    DESCipher(const DESCipher&) = delete;
    DESCipher& operator=(const DESCipher&) = delete;

    const EVP_CIPHER* cipher() const { return cipher_; }

  private:
    OSSL_LIB_CTX* context_ = nullptr;
    OSSL_PROVIDER* legacy_ = nullptr;
    EVP_CIPHER* cipher_ = nullptr;
};

std::nullopt_t desFailure(VTRError* error, const std::string& reason) {
    setError(error, VTRError::withDescription(VTRErrorDomain, 0, "DES encryption failed", reason));
    return std::nullopt;
}

}  // namespace

std::string base64String(const uint8_t* bytes, size_t size) {
    std::string text;
    if (size == 0) return text;
    text.resize(4 * ((size + 2) / 3) + 1);  // EVP_EncodeBlock writes a terminating NUL
    size_t written = 0;
    for (size_t offset = 0; offset < size; offset += kBase64Slice) {
        size_t slice = std::min(kBase64Slice, size - offset);
        written += static_cast<size_t>(
            EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()) + written, bytes + offset,
                            static_cast<int>(slice)));
    }
    text.resize(written);
    return text;
}

std::string base64String(const VTRBytes& bytes) {
    return base64String(bytes.data(), bytes.size());
}

std::string base64String(std::string_view bytes) {
    return base64String(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

VTRBytes md5Digest(const uint8_t* bytes, size_t size) {
    VTRMD5 md5;
    md5.update(bytes, size);
    return md5.finish();
}

VTRBytes md5Digest(const VTRBytes& bytes) {
    return md5Digest(bytes.data(), bytes.size());
}

VTRBytes md5Digest(std::string_view bytes) {
    return md5Digest(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

std::optional<VTRBytes> encryptDataWithDESKey(const VTRBytes& data, const VTRBytes& key,
                                              const VTRBytes& iv, VTRError* error) {
    if (key.size() != 8 || iv.size() != 8)
        return desFailure(error, "The key and the initialisation vector must be 8 bytes each.");
    if (data.size() > static_cast<size_t>(INT_MAX) - 8)
        return desFailure(error, "The buffer is too large to encrypt in one call.");
    static const DESCipher des;
    if (!des.cipher()) return desFailure(error, "DES-CBC is not available from OpenSSL.");

    std::unique_ptr<EVP_CIPHER_CTX, CipherContextFree> context(EVP_CIPHER_CTX_new());
    // PKCS#7 adds between 1 and 8 bytes.
    VTRBytes output(data.size() + 8);
    int written = 0;
    int finalWritten = 0;
    if (!context ||
        EVP_EncryptInit_ex2(context.get(), des.cipher(), key.data(), iv.data(), nullptr) != 1 ||
        EVP_EncryptUpdate(context.get(), output.data(), &written, data.data(),
                          static_cast<int>(data.size())) != 1 ||
        EVP_EncryptFinal_ex(context.get(), output.data() + written, &finalWritten) != 1)
        return desFailure(error, "OpenSSL refused the DES-CBC encryption.");
    output.resize(static_cast<size_t>(written + finalWritten));
    return output;
}

}  // namespace vtr

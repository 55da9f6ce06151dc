// Byte-buffer utilities: Base64 text, MD5 digests and DES-CBC encryption, through OpenSSL's
// libcrypto. Pure functions of their arguments; any thread may call them at any time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "foundation/VTRValue.h"

namespace vtr {

class VTRError;

// Standard-alphabet Base64 with "=" padding: exactly 4 * ceil(n / 3) characters and never a
// line break, whatever the length. Checksums go on the wire in this form.
std::string base64String(const uint8_t* bytes, size_t size);
std::string base64String(const VTRBytes& bytes);
std::string base64String(std::string_view bytes);

// The 16 raw bytes of the MD5 digest of the buffer.
VTRBytes md5Digest(const uint8_t* bytes, size_t size);
VTRBytes md5Digest(const VTRBytes& bytes);
VTRBytes md5Digest(std::string_view bytes);

// DES in CBC mode with PKCS#7 padding; key and iv must be 8 bytes each. Nothing, with the
// error filled, when they are not or when the cipher is unavailable (it lives in OpenSSL's
// legacy provider, which some installations lack).
std::optional<VTRBytes> encryptDataWithDESKey(const VTRBytes& data, const VTRBytes& key,
                                              const VTRBytes& iv, VTRError* error = nullptr);

}  // namespace vtr

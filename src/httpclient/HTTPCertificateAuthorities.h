// HTTPCertificateAuthorities: certificate authorities trusted for HTTPS in addition to the
// system's store, read once from a PEM file (the daemon's "-c"). Immutable once made, so any
// thread may use it; the network thread adds it to the store of each new TLS connection.
#pragma once

#include <openssl/types.h>

#include <memory>
#include <string>
#include <vector>

namespace vtr {

class HTTPCertificateAuthorities {
  public:
    // Every certificate in the PEM file at `path`; nullptr with `problem` set when the file
    // cannot be read, is not PEM or holds no certificate.
    static std::shared_ptr<const HTTPCertificateAuthorities> fromPEMFile(const std::string& path,
                                                                         std::string* problem);
    ~HTTPCertificateAuthorities();
    HTTPCertificateAuthorities(const HTTPCertificateAuthorities&) = delete;
    HTTPCertificateAuthorities& operator=(const HTTPCertificateAuthorities&) = delete;

    size_t count() const { return certificates_.size(); }
    // Adds every certificate to `store` (one already there is skipped).
    void addToStore(X509_STORE* store) const;

  private:
    HTTPCertificateAuthorities() = default;

    std::vector<X509*> certificates_;  // owned
};

}  // namespace vtr

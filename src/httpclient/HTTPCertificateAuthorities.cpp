#include "httpclient/HTTPCertificateAuthorities.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace vtr {

std::shared_ptr<const HTTPCertificateAuthorities> HTTPCertificateAuthorities::fromPEMFile(
    const std::string& path, std::string* problem) {
    std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path.c_str(), "re"), std::fclose);
    if (!file) {
        *problem = std::strerror(errno);
        return nullptr;
    }
    STACK_OF(X509_INFO)* items = PEM_X509_INFO_read(file.get(), nullptr, nullptr, nullptr);
    ERR_clear_error();
    if (!items) {
        *problem = "it is not a PEM file of certificates";
        return nullptr;
    }
    std::shared_ptr<HTTPCertificateAuthorities> authorities(new HTTPCertificateAuthorities);
    for (int i = 0; i < sk_X509_INFO_num(items); ++i) {
        X509_INFO* item = sk_X509_INFO_value(items, i);
        if (!item->x509) continue;
        authorities->certificates_.push_back(item->x509);
        item->x509 = nullptr;  // ours now
    }
    sk_X509_INFO_pop_free(items, X509_INFO_free);
    if (authorities->certificates_.empty()) {
        *problem = "it holds no certificate";
        return nullptr;
    }
    return authorities;
}

HTTPCertificateAuthorities::~HTTPCertificateAuthorities() {
    for (X509* certificate : certificates_) X509_free(certificate);
}

void HTTPCertificateAuthorities::addToStore(X509_STORE* store) const {
    for (X509* certificate : certificates_) X509_STORE_add_cert(store, certificate);
    ERR_clear_error();  // a certificate the store holds already is no failure
}

}  // namespace vtr

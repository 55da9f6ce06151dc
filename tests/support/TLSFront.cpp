#include "support/TLSFront.h"

#include <poll.h>
#include <sys/socket.h>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <csignal>

#include <gtest/gtest.h>

#include "logging/VTRFileDescriptor.h"

namespace vtr::test {

namespace {

template <typename T, void (*Free)(T*)>
struct Deleter {
    void operator()(T* pointer) const { Free(pointer); }
};
using KeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using CertPtr = std::unique_ptr<X509, Deleter<X509, X509_free>>;
using SSLPtr = std::unique_ptr<SSL, Deleter<SSL, SSL_free>>;

bool addExtension(X509* certificate, X509* issuer, int nid, const char* value) {
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
    if (!extension) return false;
    bool added = X509_add_ext(certificate, extension, -1) == 1;
    X509_EXTENSION_free(extension);
    return added;
}

// A certificate for `key` named `commonName`, valid from a minute ago for a day, signed by
// `issuerKey` as `issuer` (itself when null).
CertPtr makeCertificate(EVP_PKEY* key, const char* commonName, long serial, X509* issuer,
                        EVP_PKEY* issuerKey, const std::vector<std::pair<int, const char*>>& ext) {
    CertPtr certificate(X509_new());
    if (!certificate) return nullptr;
    X509* cert = certificate.get();
    X509_set_version(cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), serial);
    X509_gmtime_adj(X509_getm_notBefore(cert), -60);
    X509_gmtime_adj(X509_getm_notAfter(cert), 24 * 3600);
    X509_set_pubkey(cert, key);
    X509_NAME* name = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(commonName), -1, -1, 0);
    X509* signer = issuer ? issuer : cert;
    X509_set_issuer_name(cert, X509_get_subject_name(signer));
    for (const auto& [nid, value] : ext)
        if (!addExtension(cert, signer, nid, value)) return nullptr;
    if (X509_sign(cert, issuerKey, EVP_sha256()) <= 0) return nullptr;
    return certificate;
}

}  // namespace

TLSFront::TLSFront(uint16_t backendPort) : backendPort_(backendPort) {
    start();
}

void TLSFront::start() {
    // SSL_write() to a client that has gone writes to a closed socket: that must fail the
    // relay, not kill the test process.
    std::signal(SIGPIPE, SIG_IGN);
    KeyPtr caKey(EVP_EC_gen("P-256"));
    KeyPtr serverKey(EVP_EC_gen("P-256"));
    ASSERT_TRUE(caKey && serverKey);
    CertPtr ca = makeCertificate(caKey.get(), "Throw-away test authority", 1, nullptr, caKey.get(),
                                 {{NID_basic_constraints, "critical,CA:TRUE"},
                                  {NID_key_usage, "critical,keyCertSign,cRLSign"},
                                  {NID_subject_key_identifier, "hash"}});
    ASSERT_TRUE(ca);
    std::unique_ptr<BIO, Deleter<BIO, BIO_free_all>> pem(BIO_new(BIO_s_mem()));
    ASSERT_TRUE(pem && PEM_write_bio_X509(pem.get(), ca.get()) == 1);
    char* bytes = nullptr;
    long pemLength = BIO_get_mem_data(pem.get(), &bytes);
    authorityPEM_.assign(bytes, static_cast<size_t>(pemLength));
    CertPtr server = makeCertificate(serverKey.get(), "127.0.0.1", 2, ca.get(), caKey.get(),
                                     {{NID_basic_constraints, "critical,CA:FALSE"},
                                      {NID_key_usage, "critical,digitalSignature"},
                                      {NID_ext_key_usage, "serverAuth"},
                                      {NID_subject_alt_name, "IP:127.0.0.1,DNS:localhost"},
                                      {NID_authority_key_identifier, "keyid"}});
    ASSERT_TRUE(server);

    context_.reset(SSL_CTX_new(TLS_server_method()), SSL_CTX_free);
    ASSERT_TRUE(context_);
    ASSERT_EQ(SSL_CTX_use_certificate(context_.get(), server.get()), 1);
    ASSERT_EQ(SSL_CTX_use_PrivateKey(context_.get(), serverKey.get()), 1);

    server_ = std::make_unique<LoopbackServer>([this](int client) { serve(client); });
}

std::string TLSFront::url(const std::string& path) const {
    return "https://127.0.0.1:" + std::to_string(port()) + path;
}

void TLSFront::serve(int client) {
    SSLPtr ssl(SSL_new(context_.get()));
    if (!ssl || SSL_set_fd(ssl.get(), client) != 1 || SSL_accept(ssl.get()) != 1) {
        ERR_clear_error();
        return;
    }
    VTRFileDescriptor backend(connectToLoopback(backendPort_));
    if (backend.valid()) {
        char buffer[16384];
        for (bool open = true; open;) {
            // Bytes already decrypted inside the TLS layer do not show on the socket.
            if (SSL_pending(ssl.get()) == 0) {
                pollfd fds[3] = {{client, POLLIN, 0},
                                 {backend.get(), POLLIN, 0},
                                 {server_->stopFd(), POLLIN, 0}};
                if (::poll(fds, 3, -1) < 0) continue;
                if (fds[2].revents) break;
                if (fds[1].revents) {
                    ssize_t got = ::recv(backend.get(), buffer, sizeof buffer, 0);
                    open = got > 0 && SSL_write(ssl.get(), buffer, static_cast<int>(got)) > 0;
                    continue;
                }
                if (!fds[0].revents) continue;
            }
            int got = SSL_read(ssl.get(), buffer, sizeof buffer);
            open = got > 0 && sendAll(backend.get(), buffer, static_cast<size_t>(got));
        }
        SSL_shutdown(ssl.get());
    }
    ERR_clear_error();
}

}  // namespace vtr::test

// TLSFront: an https front for tests. It makes a throw-away certificate authority and a server
// certificate for 127.0.0.1 signed by it, listens on 127.0.0.1, completes a TLS handshake with
// each client and relays the decrypted bytes to a plain TCP port on 127.0.0.1 (a fake recording
// service, say) and the answers back. A client that does not trust the authority fails its
// handshake, as with a server whose certificate the system does not know; one given the
// authority's certificate (authorityPEM()) trusts the front. Its methods may be called from any
// thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "support/LoopbackServer.h"
#include "support/TestSupport.h"

struct ssl_ctx_st;  // OpenSSL's SSL_CTX

namespace vtr::test {

class TLSFront {
  public:
    // Relays to 127.0.0.1:`backendPort`. Fails the current test (and port() is 0) when the
    // certificates or the listening socket cannot be made.
    explicit TLSFront(uint16_t backendPort);
    TLSFront(const TLSFront&) = delete;
    TLSFront& operator=(const TLSFront&) = delete;

    uint16_t port() const { return server_ ? server_->port() : 0; }
    // "https://127.0.0.1:<port>" followed by `path`.
    std::string url(const std::string& path = "/") const;
    // The throw-away authority's certificate, in PEM.
    const std::string& authorityPEM() const { return authorityPEM_; }

  private:
    // Makes the certificates, then starts listening.
    void start();
    void serve(int client);

    uint16_t backendPort_;
    std::shared_ptr<ssl_ctx_st> context_;
    std::string authorityPEM_;
    std::unique_ptr<LoopbackServer> server_;  // last: stops first
};

}  // namespace vtr::test

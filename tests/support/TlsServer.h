#pragma once
// A cpp-httplib HTTPS server on an ephemeral port of 127.0.0.1, with a certificate of the
// test CA in tests/support/certs (make-certs.sh there): "server" (for 127.0.0.1 and
// localhost), "wronghost" (for another name), "expired", or the weak "sha1signed" and
// "rsa1024" (served at OpenSSL's security level 0, so that the client is the one to refuse).
// Clients trust it through certsFile("ca.pem"). Register the handlers first, as with
// HttplibServer.

#include "support/HttplibServer.h"

#include <openssl/ssl.h>

namespace vxtest {

// Full path of a file of the test certificates' folder.
inline std::string certsFile(const std::string& name) {
    std::string here = __FILE__;
    return here.substr(0, here.find_last_of('/') + 1) + "certs/" + name;
}

class TlsServer : public LoopbackServer<httplib::SSLServer> {
public:
    explicit TlsServer(const std::string& certificate = "server")
        : LoopbackServer([certificate](SSL_CTX& ctx) {
              SSL_CTX_set_security_level(&ctx, 0);
              return SSL_CTX_use_certificate_chain_file(
                         &ctx, certsFile(certificate + ".pem").c_str()) == 1 &&
                     SSL_CTX_use_PrivateKey_file(&ctx, certsFile(certificate + ".key").c_str(),
                                                 SSL_FILETYPE_PEM) == 1;
          }) {}

    bool valid() const { return m_server.is_valid(); }
    // https://127.0.0.1:PORT/path (or another host name that resolves to loopback).
    std::string url(const std::string& path, const std::string& host = "127.0.0.1") const {
        return "https://" + host + ":" + std::to_string(port()) + "/" +
               (path.starts_with("/") ? path.substr(1) : path);
    }
};

} // namespace vxtest

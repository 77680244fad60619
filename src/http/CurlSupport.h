#pragma once
// What every libcurl transfer of the client and of its downloader does alike: sockets that
// no started program inherits, the system's proxy settings with loopback kept direct
// (docs/http.md, "Proxy"), and the extra certificate authorities of config.xml's cafile
// trusted beside the system's (docs/security.md).

#include <curl/curl.h>

#include <optional>
#include <string>
#include <string_view>

namespace vx::http {

// CURLOPT_OPENSOCKETFUNCTION: connections of the client must not leak into the programs it
// starts (they would keep a closed connection open for the service).
curl_socket_t openPrivateSocket(void* unused, curlsocktype purpose, curl_sockaddr* address);

// A bypass list with the loopback addresses added, as CURLOPT_NOPROXY takes it. libcurl
// reads "*" (every host) only when it stands alone.
std::string withLoopback(std::string_view bypass);

// Sends the next transfer, to `url`, where the system's proxy settings say.
void useSystemProxy(CURL* curl, const std::string& url);

// The PEM text of a file of certificate authorities (`path` in UTF-8), or nullopt when the
// file cannot be read or holds no certificate.
std::optional<std::string> readCaFile(const std::string& path);

// Adds every certificate of `pem` to the certificate store of an OpenSSL SSL_CTX, as
// CURLOPT_SSL_CTX_FUNCTION hands it over. False when the store cannot take them.
bool addCertificates(void* sslCtx, const std::string& pem);

// Makes the transfers of `curl` trust the certificates of `pem` beside the system's;
// `pem` must outlive them. Verification of the peer and its name stays on.
void trustExtraCas(CURL* curl, const std::string* pem);

} // namespace vx::http

#pragma once
// What every libcurl transfer of the client and of its downloader does alike: sockets that
// no started program inherits, and the system's proxy settings with loopback kept direct
// (docs/http.md, "Proxy").

#include <curl/curl.h>

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

} // namespace vx::http

#include "http/CurlSupport.h"

#include <cstdint>
#include <cstdlib>

#include "platform/Platform.h"

namespace vx::http {

namespace {

// Loopback addresses never go through a proxy: no proxy can reach this machine's own
// services, and the page's engine (Chromium) keeps them direct as well.
constexpr std::string_view kLoopback = "localhost,127.0.0.0/8,::1";

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() &&
           (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n'))
        s.remove_suffix(1);
    return s;
}

} // namespace

curl_socket_t openPrivateSocket(void*, curlsocktype purpose, curl_sockaddr* a) {
    if (purpose != CURLSOCKTYPE_IPCXN)
        return CURL_SOCKET_BAD;
    const std::intptr_t s = platform::openPrivateSocket(a->family, a->socktype, a->protocol);
    return s < 0 ? CURL_SOCKET_BAD : static_cast<curl_socket_t>(s);
}

std::string withLoopback(std::string_view bypass) {
    for (std::string_view rest = bypass; !rest.empty();) {
        const auto end = rest.find_first_of(", \t");
        if (trim(rest.substr(0, end)) == "*")
            return "*";
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    }
    const std::string_view list = trim(bypass);
    return list.empty() ? std::string(kLoopback) : std::string(list) + "," + std::string(kLoopback);
}

void useSystemProxy(CURL* curl, const std::string& url) {
    const platform::SystemProxy p = platform::systemProxy(url);
    std::string bypass = p.bypass;
    if (p.fromEnvironment) {
        // libcurl picks the proxy from the environment itself; the bypass list it would read
        // there is handed over explicitly, to add the loopback addresses. Like libcurl, an
        // empty variable counts as unset.
        curl_easy_setopt(curl, CURLOPT_PROXY, nullptr);
        const char* env = std::getenv("no_proxy");
        if (!env || !*env)
            env = std::getenv("NO_PROXY");
        bypass = env ? env : "";
    } else {
        curl_easy_setopt(curl, CURLOPT_PROXY, p.proxy.c_str());
    }
    curl_easy_setopt(curl, CURLOPT_NOPROXY, withLoopback(bypass).c_str());
}

} // namespace vx::http

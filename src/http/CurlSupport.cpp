#include "http/CurlSupport.h"

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

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

struct BioFree {
    void operator()(BIO* b) const { BIO_free(b); }
};
struct InfoStackFree {
    void operator()(STACK_OF(X509_INFO) * s) const { sk_X509_INFO_pop_free(s, X509_INFO_free); }
};
using InfoStack = std::unique_ptr<STACK_OF(X509_INFO), InfoStackFree>;

// Every PEM block of `pem`; blocks that are no certificate (keys, lists) are in it too, with
// no x509. Parsing leaves nothing in the thread's OpenSSL error queue, which libcurl reads
// for its own error texts on the same thread.
InfoStack readPem(const std::string& pem) {
    std::unique_ptr<BIO, BioFree> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    InfoStack infos(bio ? PEM_X509_INFO_read_bio(bio.get(), nullptr, nullptr, nullptr) : nullptr);
    ERR_clear_error();
    return infos;
}

// CURLOPT_SSL_CTX_FUNCTION: the authorities go into the new connection's store, into which
// libcurl loads the system's as well (7.88 does so right after this callback, later
// versions before it), so that both are trusted.
CURLcode addExtraCas(CURL*, void* sslCtx, void* pem) {
    try {
        return addCertificates(sslCtx, *static_cast<const std::string*>(pem)) ? CURLE_OK
                                                                              : CURLE_OUT_OF_MEMORY;
    } catch (...) {
        return CURLE_OUT_OF_MEMORY;
    }
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

std::optional<std::string> readCaFile(const std::string& path) {
    std::ifstream in(std::filesystem::path(std::u8string(path.begin(), path.end())),
                     std::ios::binary);
    if (!in)
        return std::nullopt;
    std::string pem(std::istreambuf_iterator<char>(in), {});
    if (in.bad())
        return std::nullopt;
    InfoStack infos = readPem(pem);
    if (!infos)
        return std::nullopt;
    for (int i = 0; i < sk_X509_INFO_num(infos.get()); ++i)
        if (sk_X509_INFO_value(infos.get(), i)->x509)
            return pem;
    return std::nullopt;
}

bool addCertificates(void* sslCtx, const std::string& pem) {
    X509_STORE* store = SSL_CTX_get_cert_store(static_cast<SSL_CTX*>(sslCtx));
    InfoStack infos = readPem(pem);
    if (!store || !infos)
        return false;
    bool ok = true;
    for (int i = 0; i < sk_X509_INFO_num(infos.get()); ++i)
        if (X509* cert = sk_X509_INFO_value(infos.get(), i)->x509)
            // A certificate that the store holds already (the system's too) counts as added.
            ok = X509_STORE_add_cert(store, cert) == 1 && ok;
    ERR_clear_error();
    return ok;
}

void trustExtraCas(CURL* curl, const std::string* pem) {
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(curl, CURLOPT_SSL_CTX_FUNCTION, &addExtraCas);
    curl_easy_setopt(curl, CURLOPT_SSL_CTX_DATA, pem);
    // Without libcurl's cache of the system's store each connection gets a store of its
    // own: the added authorities can neither be dropped for a cached store nor stay in one
    // that a later connection takes.
    curl_easy_setopt(curl, CURLOPT_CA_CACHE_TIMEOUT, 0L);
}

} // namespace vx::http

#include "shell/PageTrust.h"

#include <QFile>
#include <QSslCertificate>
#include <QUrl>
#include <QWebEngineCertificateError>
#include <ctime>
#include <map>
#include <memory>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include "core/Trust.h"

namespace vx::shell {

namespace {

struct BioFree {
    void operator()(BIO* b) const { BIO_free(b); }
};
struct X509Free {
    void operator()(X509* x) const { X509_free(x); }
};
struct StoreFree {
    void operator()(X509_STORE* s) const { X509_STORE_free(s); }
};
struct StoreCtxFree {
    void operator()(X509_STORE_CTX* c) const { X509_STORE_CTX_free(c); }
};
struct StackFree {
    void operator()(STACK_OF(X509) * s) const { sk_X509_pop_free(s, X509_free); }
};
using StorePtr = std::unique_ptr<X509_STORE, StoreFree>;

// The extra authorities of one file, or why there are none.
struct Authorities {
    StorePtr store;
    std::string problem;
};

Authorities readAuthorities(const std::string& path) {
    QFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::ReadOnly))
        return {nullptr, "cannot read " + path + ": " + file.errorString().toStdString()};
    const QByteArray pem = file.readAll();
    std::unique_ptr<BIO, BioFree> bio(BIO_new_mem_buf(pem.constData(), int(pem.size())));
    StorePtr store(X509_STORE_new());
    if (!bio || !store)
        return {nullptr, "out of memory reading " + path};
    ERR_clear_error();
    int count = 0;
    while (X509* raw = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr)) {
        std::unique_ptr<X509, X509Free> cert(raw);
        if (X509_STORE_add_cert(store.get(), cert.get()) != 1)
            return {nullptr, "cannot use a certificate of " + path};
        ++count;
    }
    // The end of the text shows as "no start line"; anything else is a broken certificate.
    // A file read only in part would trust less than the operator wrote without saying so:
    // the whole file is refused, as libcurl refuses it.
    const unsigned long last = ERR_peek_last_error();
    ERR_clear_error();
    if (last != 0 &&
        !(ERR_GET_LIB(last) == ERR_LIB_PEM && ERR_GET_REASON(last) == PEM_R_NO_START_LINE))
        return {nullptr, "a certificate of " + path + " cannot be read"};
    if (count == 0)
        return {nullptr, path + " holds no certificate"};
    return {std::move(store), {}};
}

// Read once per path: the settings do not change while the client runs, and a page asks
// for every connection whose authority Chromium does not know.
const Authorities& authoritiesOf(const std::string& path) {
    static std::map<std::string, Authorities> cache;
    auto found = cache.find(path);
    if (found == cache.end()) {
        found = cache.emplace(path, readAuthorities(path)).first;
        if (!found->second.store)
            qWarning("cafile not used: %s", found->second.problem.c_str());
    }
    return found->second;
}

std::unique_ptr<X509, X509Free> fromDer(const QByteArray& der) {
    const auto* p = reinterpret_cast<const unsigned char*>(der.constData());
    const unsigned char* const end = p + der.size();
    std::unique_ptr<X509, X509Free> cert(d2i_X509(nullptr, &p, long(der.size())));
    if (p != end)
        cert.reset(); // trailing bytes: not one certificate
    return cert;
}

} // namespace

Status verifyServerChain(const std::string& caFile, const std::vector<QByteArray>& chainDer,
                         const QString& host) {
    if (caFile.empty())
        return Error{"no extra authority is configured"};
    if (chainDer.empty())
        return Error{"the server sent no certificate"};
    if (host.isEmpty())
        return Error{"the address has no host"};
    const Authorities& authorities = authoritiesOf(caFile);
    if (!authorities.store)
        return Error{authorities.problem};

    ERR_clear_error();
    auto leaf = fromDer(chainDer.front());
    std::unique_ptr<STACK_OF(X509), StackFree> untrusted(sk_X509_new_null());
    if (!leaf || !untrusted)
        return Error{"the server's certificate cannot be read"};
    for (size_t i = 1; i < chainDer.size(); ++i) {
        auto cert = fromDer(chainDer[i]);
        if (!cert || !sk_X509_push(untrusted.get(), cert.get()))
            return Error{"a certificate of the server's chain cannot be read"};
        cert.release(); // the stack owns it now
    }

    std::unique_ptr<X509_STORE_CTX, StoreCtxFree> ctx(X509_STORE_CTX_new());
    if (!ctx ||
        X509_STORE_CTX_init(ctx.get(), authorities.store.get(), leaf.get(), untrusted.get()) != 1)
        return Error{"cannot start the verification"};
    // A certificate for a TLS server (key usage, extended key usage, and CA flags up the
    // chain), valid now, for this very host.
    X509_STORE_CTX_set_purpose(ctx.get(), X509_PURPOSE_SSL_SERVER);
    X509_VERIFY_PARAM* param = X509_STORE_CTX_get0_param(ctx.get());
    X509_VERIFY_PARAM_set_time(param, std::time(nullptr));
    // The strength the worker and the downloader require too (OpenSSL's default security
    // level of their TLS): no signature by SHA-1 or MD5, no RSA key under 2048 bits, no
    // curve under 224.
    X509_VERIFY_PARAM_set_auth_level(param, 2);
    // Every certificate of the file is an anchor, an intermediate authority too, as libcurl
    // treats the same file for the client's own requests.
    X509_VERIFY_PARAM_set_flags(param, X509_V_FLAG_PARTIAL_CHAIN);
    const QByteArray name = host.toLower().toUtf8();
    if (X509_VERIFY_PARAM_set1_ip_asc(param, name.constData()) != 1) {
        ERR_clear_error(); // not an address: a DNS name
        X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
        if (X509_VERIFY_PARAM_set1_host(param, name.constData(), size_t(name.size())) != 1)
            return Error{"the host name " + name.toStdString() + " cannot be checked"};
    }
    const int verified = X509_verify_cert(ctx.get());
    const int code = X509_STORE_CTX_get_error(ctx.get());
    ERR_clear_error();
    if (verified != 1)
        return Error{X509_verify_cert_error_string(code)};
    return Status::success();
}

bool mayAcceptCertificate(const QWebEngineCertificateError& error, std::string* reason) {
    auto refuse = [reason](std::string why) {
        if (reason)
            *reason = std::move(why);
        return false;
    };
    // Only an unknown authority is ours to judge. Chromium reports one fault per certificate,
    // and for an authority it does not know that is the authority even when the name or the
    // date is wrong too: the verification below checks both itself.
    if (error.type() != QWebEngineCertificateError::CertificateAuthorityInvalid)
        return refuse(error.description().toStdString());
    if (!error.isOverridable())
        return refuse("the browser allows no exception for this host");
    std::vector<QByteArray> chain;
    for (const QSslCertificate& cert : error.certificateChain())
        chain.push_back(cert.toDer());
    const Status verified =
        verifyServerChain(Trust.caFile, chain, error.url().host(QUrl::FullyEncoded));
    if (!verified)
        return refuse(verified.error());
    return true;
}

} // namespace vx::shell

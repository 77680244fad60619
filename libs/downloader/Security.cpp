#include "Security.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <new>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

namespace vxdl {

namespace {

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

} // namespace

struct Sha256::Context {
    EVP_MD_CTX* ctx = nullptr;
    ~Context() { EVP_MD_CTX_free(ctx); }
};

Sha256::Sha256() : m_ctx(std::make_unique<Context>()) {
    m_ctx->ctx = EVP_MD_CTX_new();
    if (!m_ctx->ctx)
        throw std::bad_alloc();
    reset();
}

Sha256::~Sha256() = default;

void Sha256::reset() {
    if (EVP_DigestInit_ex(m_ctx->ctx, EVP_sha256(), nullptr) != 1)
        throw std::bad_alloc();
}

void Sha256::update(const void* data, std::size_t size) {
    if (size > 0 && EVP_DigestUpdate(m_ctx->ctx, data, size) != 1)
        throw std::bad_alloc();
}

std::string Sha256::hex() const {
    // Ended on a copy, so that the running digest can go on.
    std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> copy(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!copy || EVP_MD_CTX_copy_ex(copy.get(), m_ctx->ctx) != 1 ||
        EVP_DigestFinal_ex(copy.get(), digest, &length) != 1)
        throw std::bad_alloc();
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (unsigned int i = 0; i < length; ++i) {
        out += digits[digest[i] >> 4];
        out += digits[digest[i] & 15];
    }
    return out;
}

std::optional<std::string> normalSha256(std::string_view text) {
    if (text.empty())
        return std::string();
    if (text.size() != 64)
        return std::nullopt;
    std::string out(text);
    for (char& c : out) {
        if (c >= 'A' && c <= 'F')
            c = static_cast<char>(c - 'A' + 'a');
        else if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return std::nullopt;
    }
    return out;
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

} // namespace vxdl

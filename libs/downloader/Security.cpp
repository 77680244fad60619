#include "Security.h"

#include "core/Signing.h"
#include "core/Text.h"

#include <new>
#include <openssl/evp.h>

namespace vxdl {

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
    if (!vx::isSha256Hex(text))
        return std::nullopt;
    return vx::asciiLower(text);
}

} // namespace vxdl

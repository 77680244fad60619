#include "core/Signing.h"

#include "core/Crypto.h"
#include "platform/Platform.h"

#include <memory>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <vector>

namespace vx {

namespace {

constexpr std::size_t kPublicKeySize = 32;
constexpr std::size_t kSignatureSize = 64;

struct PkeyFree {
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct PkeyCtxFree {
    void operator()(EVP_PKEY_CTX* c) const { EVP_PKEY_CTX_free(c); }
};
struct MdCtxFree {
    void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};
struct BioFree {
    void operator()(BIO* b) const { BIO_free(b); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;

const unsigned char* bytes(std::string_view s) {
    return reinterpret_cast<const unsigned char*>(s.data());
}

std::string hexLower(const unsigned char* data, std::size_t n) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string out(n * 2, '\0');
    for (std::size_t i = 0; i < n; ++i) {
        out[2 * i] = digits[data[i] >> 4];
        out[2 * i + 1] = digits[data[i] & 15];
    }
    return out;
}

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// Base64 of a fixed number of raw bytes, the way keys and signatures are written by hand or
// by tools that wrap lines: white space anywhere is dropped first.
Expected<std::string> decodeFixed(std::string_view text, std::size_t size, const char* what) {
    std::string compact;
    compact.reserve(text.size());
    for (char c : text)
        if (!isSpace(c))
            compact += c;
    if (compact.empty())
        return Error{std::string(what) + " is empty"};
    auto raw = base64Decode(compact);
    if (!raw)
        return Error{std::string(what) + " is not base64: " + raw.error()};
    if (raw->size() != size)
        return Error{std::string(what) + " has " + std::to_string(raw->size()) +
                     " bytes; an Ed25519 " + what + " has " + std::to_string(size)};
    return raw;
}

Expected<Pkey> readPrivateKey(std::string_view pem) {
    if (pem.size() > 64 * 1024)
        return Error{"the private key file is too large to be a PEM key"};
    std::unique_ptr<BIO, BioFree> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    if (!bio)
        return Error{"out of memory"};
    // No password callback: a key with a pass phrase fails here instead of asking on a
    // terminal that a service does not have.
    Pkey key(PEM_read_bio_PrivateKey(
        bio.get(), nullptr, [](char*, int, int, void*) { return 0; }, nullptr));
    if (!key)
        return Error{"not a PEM private key (or one protected by a pass phrase)"};
    if (EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_ED25519)
        return Error{"the private key is not an Ed25519 key"};
    return key;
}

Expected<std::string> rawPublicKey(EVP_PKEY* key) {
    unsigned char raw[kPublicKeySize];
    std::size_t len = sizeof raw;
    if (EVP_PKEY_get_raw_public_key(key, raw, &len) != 1 || len != kPublicKeySize)
        return Error{"cannot take the public key of the private key"};
    return std::string(reinterpret_cast<const char*>(raw), len);
}

} // namespace

std::string sha256Hex(std::string_view data) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    EVP_Digest(data.data(), data.size(), digest, &len, EVP_sha256(), nullptr);
    return hexLower(digest, len);
}


bool isSha256Hex(std::string_view text) {
    if (text.size() != 64)
        return false;
    for (char c : text)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')))
            return false;
    return true;
}

Expected<std::string> parsePublicKey(std::string_view base64) {
    return decodeFixed(base64, kPublicKeySize, "public key");
}

Expected<std::string> parseSignature(std::string_view text) {
    return decodeFixed(text, kSignatureSize, "signature");
}

bool verifyEd25519(std::string_view publicKey, std::string_view message,
                   std::string_view signature) {
    if (publicKey.size() != kPublicKeySize || signature.size() != kSignatureSize)
        return false;
    Pkey key(
        EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, bytes(publicKey), publicKey.size()));
    if (!key)
        return false;
    std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
    // Ed25519 hashes the message itself: no digest is named, and the message goes in whole.
    if (!ctx || EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) != 1)
        return false;
    return EVP_DigestVerify(ctx.get(), bytes(signature), signature.size(), bytes(message),
                            message.size()) == 1;
}

Expected<SigningKeyPair> generateSigningKey() {
    std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree> ctx(EVP_PKEY_CTX_new_id(EVP_PKEY_ED25519, nullptr));
    EVP_PKEY* made = nullptr;
    if (!ctx || EVP_PKEY_keygen_init(ctx.get()) != 1 || EVP_PKEY_keygen(ctx.get(), &made) != 1)
        return Error{"cannot generate an Ed25519 key"};
    Pkey key(made);
    std::unique_ptr<BIO, BioFree> bio(BIO_new(BIO_s_mem()));
    if (!bio ||
        PEM_write_bio_PrivateKey(bio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1)
        return Error{"cannot write the private key as PEM"};
    char* data = nullptr;
    long len = BIO_get_mem_data(bio.get(), &data);
    if (len <= 0 || !data)
        return Error{"cannot write the private key as PEM"};
    auto pub = rawPublicKey(key.get());
    if (!pub)
        return Error{pub.error()};
    return SigningKeyPair{std::string(data, static_cast<std::size_t>(len)), base64Bytes(*pub)};
}

Expected<std::string> publicKeyOf(std::string_view privatePem) {
    auto key = readPrivateKey(privatePem);
    if (!key)
        return Error{key.error()};
    auto pub = rawPublicKey(key->get());
    if (!pub)
        return Error{pub.error()};
    return base64Bytes(*pub);
}

Expected<std::string> signEd25519(std::string_view privatePem, std::string_view message) {
    auto key = readPrivateKey(privatePem);
    if (!key)
        return Error{key.error()};
    std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
    if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, key->get()) != 1)
        return Error{"cannot sign with the private key"};
    unsigned char sig[kSignatureSize];
    std::size_t len = sizeof sig;
    if (EVP_DigestSign(ctx.get(), sig, &len, bytes(message), message.size()) != 1 ||
        len != kSignatureSize)
        return Error{"cannot sign with the private key"};
    return std::string(reinterpret_cast<const char*>(sig), len);
}

std::string signatureFileText(std::string_view signature) {
    return base64Bytes(signature) + "\n";
}

} // namespace vx

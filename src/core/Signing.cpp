#include "core/Signing.h"

#include "core/Crypto.h"
#include "platform/Platform.h"

#include <cstdio>
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

namespace {

// Days from 1970-01-01 to the given date of the proleptic Gregorian calendar.
std::int64_t daysFromCivil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

} // namespace

std::optional<std::int64_t> parseUtcTime(std::string_view t) {
    std::size_t i = 0;
    auto number = [&](std::size_t digits) -> std::optional<int> {
        if (i + digits > t.size())
            return std::nullopt;
        int v = 0;
        for (std::size_t k = 0; k < digits; ++k) {
            const char c = t[i + k];
            if (c < '0' || c > '9')
                return std::nullopt;
            v = v * 10 + (c - '0');
        }
        i += digits;
        return v;
    };
    auto expect = [&](char c) {
        if (i < t.size() && t[i] == c) {
            ++i;
            return true;
        }
        return false;
    };
    while (!t.empty() && isSpace(t.front()))
        t.remove_prefix(1);
    while (!t.empty() && isSpace(t.back()))
        t.remove_suffix(1);
    auto year = number(4);
    if (!year || !expect('-'))
        return std::nullopt;
    auto month = number(2);
    if (!month || !expect('-'))
        return std::nullopt;
    auto day = number(2);
    if (!day || *month < 1 || *month > 12 || *day < 1)
        return std::nullopt;
    static constexpr int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (*year % 4 == 0 && *year % 100 != 0) || *year % 400 == 0;
    if (*day > kDays[*month - 1] || (*month == 2 && *day == 29 && !leap))
        return std::nullopt;
    std::int64_t seconds = daysFromCivil(*year, unsigned(*month), unsigned(*day)) * 86400;
    if (i == t.size())
        return seconds;
    if (!expect('T') && !expect('t') && !expect(' '))
        return std::nullopt;
    auto hour = number(2);
    if (!hour || !expect(':'))
        return std::nullopt;
    auto minute = number(2);
    if (!minute)
        return std::nullopt;
    int second = 0;
    if (expect(':')) {
        auto s = number(2);
        if (!s)
            return std::nullopt;
        second = *s;
        if (expect('.') || expect(',')) {
            const std::size_t start = i;
            while (i < t.size() && t[i] >= '0' && t[i] <= '9')
                ++i;
            if (i == start)
                return std::nullopt;
        }
    }
    if (*hour > 23 || *minute > 59 || second > 60)
        return std::nullopt;
    seconds += *hour * 3600 + *minute * 60 + second;
    if (expect('Z') || expect('z'))
        return i == t.size() ? std::optional<std::int64_t>(seconds) : std::nullopt;
    const bool plus = expect('+');
    if (!plus && !expect('-'))
        return std::nullopt; // a time without its zone is not UTC for sure
    auto oh = number(2);
    if (!oh)
        return std::nullopt;
    expect(':');
    auto om = number(2);
    if (!om || *oh > 23 || *om > 59 || i != t.size())
        return std::nullopt;
    const std::int64_t offset = *oh * 3600 + *om * 60;
    return plus ? seconds - offset : seconds + offset;
}

std::string utcTimeText(std::int64_t s) {
    std::int64_t days = s / 86400, rest = s % 86400;
    if (rest < 0) {
        rest += 86400;
        --days;
    }
    // The civil date of a day number (the inverse of daysFromCivil).
    days += 719468;
    const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(days - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    const unsigned d = doy - (153 * mp + 2) / 5 + 1;
    const unsigned m = mp < 10 ? mp + 3 : mp - 9;
    const std::int64_t y = static_cast<std::int64_t>(yoe) + era * 400 + (m <= 2);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04lld-%02u-%02uT%02d:%02d:%02dZ", static_cast<long long>(y),
                  m, d, int(rest / 3600), int(rest / 60 % 60), int(rest % 60));
    return buf;
}

} // namespace vx

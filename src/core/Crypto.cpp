#include "core/Crypto.h"
#include "core/Signing.h"

#include <cstdio>
#include <memory>
#include <openssl/evp.h>
#include <vector>
#include <zlib.h>

#include "core/Text.h"
#include "platform/Platform.h"

namespace vx {

namespace {

constexpr std::string_view kScramblerKey = "w5k8n2p7s_d4h6v";

std::string hex(const unsigned char* data, std::size_t n, bool upper) {
    const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    std::string out(n * 2, '\0');
    for (std::size_t i = 0; i < n; ++i) {
        out[2 * i] = digits[data[i] >> 4];
        out[2 * i + 1] = digits[data[i] & 15];
    }
    return out;
}

const std::string& scramblerPad() {
    static const std::string pad = md5HexLower(kScramblerKey);
    return pad;
}

struct MdCtxFree {
    void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};

} // namespace

std::string base64Bytes(std::string_view bytes) {
    if (bytes.empty())
        return {};
    std::string out(4 * ((bytes.size() + 2) / 3), '\0');
    // EVP_EncodeBlock takes an int length; encode in chunks that are multiples of 3.
    constexpr std::size_t kChunk = 3u * (1u << 28);
    std::size_t in = 0, o = 0;
    while (in < bytes.size()) {
        std::size_t n = std::min(kChunk, bytes.size() - in);
        int w = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data() + o),
                                reinterpret_cast<const unsigned char*>(bytes.data() + in),
                                static_cast<int>(n));
        in += n;
        o += static_cast<std::size_t>(w);
    }
    out.resize(o);
    return out;
}

Expected<std::string> base64Decode(std::string_view text) {
    if (text.size() % 4 != 0)
        return Error{"base64 text length is not a multiple of 4"};
    if (text.empty())
        return std::string{};
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        bool alpha = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                     c == '+' || c == '/';
        bool pad = c == '=' && i >= text.size() - 2 &&
                   (i == text.size() - 1 || text[text.size() - 1] == '=');
        if (!alpha && !pad)
            return Error{"invalid base64 character at position " + std::to_string(i)};
    }
    std::size_t padding = text.ends_with("==") ? 2 : text.ends_with("=") ? 1 : 0;
    std::string out(text.size() / 4 * 3, '\0');
    int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                            reinterpret_cast<const unsigned char*>(text.data()),
                            static_cast<int>(text.size()));
    if (n < 0)
        return Error{"invalid base64 text"};
    out.resize(static_cast<std::size_t>(n) - padding);
    return out;
}

std::string md5HexLower(std::string_view bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest, &len, EVP_md5(), nullptr);
    return hex(digest, len, false);
}

std::string Base64Encode(std::string_view text) {
    // ASCII is its own ANSI form: skip the conversion and its copy.
    for (unsigned char c : text)
        if (c >= 0x80)
            return base64Bytes(toAnsi(text));
    return base64Bytes(text);
}

std::string ScrambleParam(std::string_view text) {
    std::string a = Base64Encode(text);
    const std::string& pad = scramblerPad();
    for (std::size_t j = 0; j < a.size(); ++j)
        a[j] = static_cast<char>(a[j] ^ pad[j % pad.size()]);
    // `a` is now ASCII (possibly with NUL characters), which the ANSI step leaves as it is.
    return base64Bytes(a);
}

Expected<std::string> UnscrambleParam(std::string_view token) {
    auto b = base64Decode(token);
    if (!b)
        return Error{"not a scrambled token: " + b.error()};
    std::string a = *b;
    const std::string& pad = scramblerPad();
    for (std::size_t j = 0; j < a.size(); ++j) {
        if (static_cast<unsigned char>(a[j]) >= 0x80)
            return Error{"not a scrambled token: wrong inner characters"};
        a[j] = static_cast<char>(a[j] ^ pad[j % pad.size()]);
    }
    auto ansi = base64Decode(a);
    if (!ansi)
        return Error{"not a scrambled token: " + ansi.error()};
    return fromAnsi(*ansi);
}

namespace {

// A file's digest, read in large blocks through the platform layer (other processes may go on
// writing and deleting it); "" when no file exists at the path.
Expected<std::string> fileDigest(const std::string& path, const EVP_MD* md, const char* name,
                                 bool upper) {
    if (!platform::fileExists(path))
        return std::string{};
    platform::SharedReadFile file;
    if (Status st = file.open(path); !st)
        return Error{st.error()};
    std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
    if (!ctx || EVP_DigestInit_ex(ctx.get(), md, nullptr) != 1)
        return Error{std::string(name) + " is not available"};
    std::vector<char> buf(1 << 20);
    for (;;) {
        long long n = file.read(buf.data(), buf.size());
        if (n < 0)
            return Error{"cannot read " + path};
        if (n == 0)
            break;
        EVP_DigestUpdate(ctx.get(), buf.data(), static_cast<std::size_t>(n));
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    EVP_DigestFinal_ex(ctx.get(), digest, &len);
    return hex(digest, len, upper);
}

} // namespace

Expected<std::string> FileMD5(const std::string& path) {
    return fileDigest(path, EVP_md5(), "MD5", true);
}

Expected<std::string> FileCRC32(const std::string& path) {
    if (!platform::fileExists(path))
        return std::string{};
    platform::SharedReadFile file;
    if (Status st = file.open(path); !st)
        return Error{st.error()};
    uLong crc = crc32(0L, Z_NULL, 0);
    std::vector<char> buf(1 << 20);
    for (long long n; (n = file.read(buf.data(), buf.size())) != 0;) {
        if (n < 0)
            return Error{"cannot read " + path};
        crc = crc32(crc, reinterpret_cast<const Bytef*>(buf.data()), static_cast<uInt>(n));
    }
    char text[9];
    std::snprintf(text, sizeof text, "%08lx", static_cast<unsigned long>(crc));
    return std::string(text);
}

// Declared in core/Signing.h, with the other SHA-256 functions.
Expected<std::string> FileSHA256(const std::string& path) {
    return fileDigest(path, EVP_sha256(), "SHA-256", false);
}

} // namespace vx

#pragma once
// What the downloader checks beyond HTTP: the SHA-256 of a file's bytes, computed while they
// arrive (OpenSSL's libcrypto). The extra certificate authorities of its https transfers are
// the client's own (http/CurlSupport.h).

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace vxdl {

// An incremental SHA-256. Throws std::bad_alloc when OpenSSL cannot make its context.
class Sha256 {
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    // Starts over, as for no bytes.
    void reset();
    void update(const void* data, std::size_t size);
    // The digest of every byte since the last reset, as 64 lowercase hexadecimal digits. The
    // running digest is not ended: more bytes may follow.
    std::string hex() const;

private:
    struct Context;
    std::unique_ptr<Context> m_ctx;
};

// `text` made a digest to compare: 64 hexadecimal digits in any case give them in lowercase,
// an empty text gives an empty one (nothing to check); anything else gives nullopt.
std::optional<std::string> normalSha256(std::string_view text);

} // namespace vxdl

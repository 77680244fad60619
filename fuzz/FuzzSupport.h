#pragma once
// Shared pieces of the fuzz targets: a scratch folder for the whole run, file helpers, and
// the check that turns a broken promise into a crash that the fuzzer reports.

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <unistd.h>

namespace vxfuzz {

// Aborts with a message: the fuzzer records the input as a crash.
[[noreturn]] inline void fail(const char* what) {
    std::fprintf(stderr, "fuzz check failed: %s\n", what);
    std::abort();
}

#define VXFUZZ_CHECK(cond)                                                                         \
    do {                                                                                           \
        if (!(cond))                                                                               \
            ::vxfuzz::fail(#cond);                                                                 \
    } while (0)

// A folder of this process, removed when it exits.
inline const std::filesystem::path& scratch() {
    struct Dir {
        std::filesystem::path path;
        Dir() {
            std::error_code ec;
            auto base = std::filesystem::temp_directory_path(ec);
            if (ec)
                base = "/tmp";
            path = base / ("vxfuzz-" + std::to_string(::getpid()));
            std::filesystem::remove_all(path, ec);
            std::filesystem::create_directories(path);
        }
        ~Dir() {
            std::error_code ec;
            std::filesystem::remove_all(path, ec);
        }
    };
    static Dir dir;
    return dir.path;
}

inline void writeFile(const std::filesystem::path& p, std::string_view bytes) {
    std::ofstream f(p, std::ios::binary | std::ios::trunc);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!f)
        fail("cannot write a scratch file");
}

// Well-formed UTF-8 (RFC 3629): no overlong forms, no surrogates, nothing above U+10FFFF.
inline bool validUtf8(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size()) {
        const auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[i + k]); };
        const unsigned char c = b(0);
        std::size_t len = 1;
        unsigned char lo = 0x80, hi = 0xBF;
        if (c < 0x80)
            len = 1;
        else if (c >= 0xC2 && c <= 0xDF)
            len = 2;
        else if (c >= 0xE0 && c <= 0xEF)
            len = 3, lo = c == 0xE0 ? 0xA0 : 0x80, hi = c == 0xED ? 0x9F : 0xBF;
        else if (c >= 0xF0 && c <= 0xF4)
            len = 4, lo = c == 0xF0 ? 0x90 : 0x80, hi = c == 0xF4 ? 0x8F : 0xBF;
        else
            return false;
        if (i + len > s.size())
            return false;
        if (len > 1 && (b(1) < lo || b(1) > hi))
            return false;
        for (std::size_t k = 2; k < len; ++k)
            if ((b(k) & 0xC0) != 0x80)
                return false;
        i += len;
    }
    return true;
}

} // namespace vxfuzz

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

inline bool validUtf8(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size()) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        std::size_t len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        if (len == 0 || i + len > s.size())
            return false;
        for (std::size_t k = 1; k < len; ++k)
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80)
                return false;
        i += len;
    }
    return true;
}

} // namespace vxfuzz

#pragma once
// Bytes for tests and benchmarks: `size` pseudo-random bytes, the same for the same seed and
// different for different seeds (they neither compress nor patch away by chance).

#include <cstddef>
#include <string>

namespace vxtest {

inline std::string pattern(std::size_t size, unsigned seed) {
    std::string s(size, '\0');
    unsigned x = seed * 2654435761u + 1;
    for (auto& c : s) {
        x = x * 1103515245u + 12345u;
        c = static_cast<char>(x >> 16);
    }
    return s;
}

} // namespace vxtest

// The zip entry-name check: whatever name a package carries, an accepted name stands for
// plain folder components that cannot leave the unpacking folder on any system.

#include <cctype>
#include <cstdint>
#include <string>

#include "FuzzSupport.h"
#include "Unpack.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string name(reinterpret_cast<const char*>(data), size);
    std::string why;
    auto parts = vxdl::entryParts(name, why);
    if (!parts) {
        VXFUZZ_CHECK(!why.empty());
        return 0;
    }
    VXFUZZ_CHECK(!parts->empty());
    for (const auto& p : *parts) {
        VXFUZZ_CHECK(!p.empty() && p != "." && p != "..");
        VXFUZZ_CHECK(p.find_first_of("/\\:") == std::string::npos);
        VXFUZZ_CHECK(p.back() != '.' && p.back() != ' ');
        for (unsigned char c : p)
            VXFUZZ_CHECK(c >= 0x20 && c != 0x7F);
    }
    return 0;
}

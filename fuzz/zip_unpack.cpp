// Unpacking a package of any bytes into an empty folder: a refusal or an unpacking, and
// never a file outside the folder.

#include <cstdint>
#include <filesystem>
#include <string_view>

#include "FuzzSupport.h"
#include "Unpack.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    namespace fs = std::filesystem;
    const fs::path root = vxfuzz::scratch() / "unpack";
    const fs::path folder = root / "into";
    std::error_code ec;
    fs::remove_all(root, ec);
    fs::create_directories(folder);
    const fs::path package = root / "package.zip";
    vxfuzz::writeFile(package, std::string_view(reinterpret_cast<const char*>(data), size));

    auto result = vxdl::unpackZip(package.string(), folder.string(), [] { return false; });
    // The package lies outside the folder: no entry can have replaced it.
    VXFUZZ_CHECK(fs::exists(package));
    if (!result)
        VXFUZZ_CHECK(!result.error().empty());
    // Only the package and the folder may be there afterwards.
    for (const auto& e : fs::directory_iterator(root))
        VXFUZZ_CHECK(e.path() == package || e.path() == folder);
    for (const auto& e : fs::recursive_directory_iterator(folder))
        VXFUZZ_CHECK(!e.is_symlink());
    return 0;
}

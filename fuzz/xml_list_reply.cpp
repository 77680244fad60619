// The list reply of the service (myApps.php, userAppAdd.php) merged into the application
// list: every application that is taken has a folder one plain level below the
// applications folder, and a reply that is not XML changes nothing.

#include <cstdint>
#include <filesystem>
#include <string>

#include "FuzzSupport.h"
#include "api/UJsExterned.h"
#include "core/Global.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static bool init = [] {
        vx::InitSharedState((vxfuzz::scratch() / "vxclient").string());
        return true;
    }();
    (void)init;
    std::error_code ec;
    std::filesystem::remove_all(vx::AppsPath, ec);
    std::filesystem::create_directories(vx::AppsPath);
    vx::AppList.clear();

    const std::string reply(reinterpret_cast<const char*>(data), size);
    if (!vx::mergeAppList(reply)) {
        VXFUZZ_CHECK(vx::AppList.empty());
        return 0;
    }
    for (const auto& app : vx::AppList) {
        VXFUZZ_CHECK(app->appDir.rfind(vx::AppsPath, 0) == 0);
        const std::string dir = app->appDir.substr(vx::AppsPath.size());
        VXFUZZ_CHECK(dir.size() >= 2 && dir.back() == '/');
        const std::string name = dir.substr(0, dir.size() - 1);
        VXFUZZ_CHECK(name != "." && name != ".." && name.find_first_of("/\\:") == std::string::npos);
    }
    // Nothing but folders of applications appears.
    for (const auto& e : std::filesystem::directory_iterator(vx::AppsPath))
        VXFUZZ_CHECK(e.is_directory() && !e.is_symlink());
    return 0;
}

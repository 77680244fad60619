// Update descriptors: an application's version.xml read for an update, and the client's own
// descriptor read by its update check. Every file is fetched to a path inside the
// application's folder (or the client's Update folder), one path per address.

#include <cstdint>
#include <string>

#include "ApiHarness.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto& h = vxfuzz::ApiHarness::get();
    h.reset();
    h.setReply(std::string(reinterpret_cast<const char*>(data), size));
    h.api->_UpdateApp("1");
    h.settle();
    h.api->CheckMainVer();
    h.settle();

    const vx::TMyApp* app = vx::FindApp(1);
    VXFUZZ_CHECK(app);
    for (const auto& call : h.downloader.calls) {
        const std::string below = call.appId == 1 ? app->appDir : vx::AppPath + "Update/";
        const auto urls = vxfuzz::crlfLines(call.urls);
        const auto paths = vxfuzz::crlfLines(call.paths);
        VXFUZZ_CHECK(!paths.empty() && urls.size() == paths.size());
        for (const auto& p : paths)
            VXFUZZ_CHECK(vxfuzz::staysBelow(p, below));
    }
    return 0;
}

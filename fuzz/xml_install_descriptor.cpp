// An application's descriptor (version.xml) read for an install: the package is fetched only
// to a path inside the application's folder, and every failure ends the operation.

#include <cstdint>
#include <string>

#include "ApiHarness.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto& h = vxfuzz::ApiHarness::get();
    h.reset();
    h.setReply(std::string(reinterpret_cast<const char*>(data), size));
    h.api->_InstallApp("1");
    h.settle();

    const vx::TMyApp* app = vx::FindApp(1);
    VXFUZZ_CHECK(app);
    VXFUZZ_CHECK(h.downloader.calls.size() <= 1);
    if (h.downloader.calls.empty()) {
        VXFUZZ_CHECK(!vx::installBusy);
        return 0;
    }
    const auto& call = h.downloader.calls[0];
    VXFUZZ_CHECK(call.appId == 1);
    VXFUZZ_CHECK(vxfuzz::crlfLines(call.paths).size() == 1);
    VXFUZZ_CHECK(vxfuzz::staysBelow(call.paths, app->appDir));
    return 0;
}

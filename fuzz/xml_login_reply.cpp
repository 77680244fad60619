// The service's login reply, through a real login of the page API: the page always hears an
// outcome, and a refused or unreadable reply never counts as a login.

#include <cstdint>
#include <string>

#include "ApiHarness.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto& h = vxfuzz::ApiHarness::get();
    h.reset();
    std::error_code ec;
    std::filesystem::remove(vx::UsersXml, ec);
    h.setReply(std::string(reinterpret_cast<const char*>(data), size));
    h.api->_LoginFun("张三", "secret", "1", "0");
    h.settle();

    int outcomes = 0;
    bool success = false;
    for (const auto& c : h.host.calls)
        if (c.rfind("ST_Login(", 0) == 0) {
            ++outcomes;
            success = success || c.rfind("ST_Login(true", 0) == 0;
        }
    VXFUZZ_CHECK(outcomes >= 1);
    if (success)
        VXFUZZ_CHECK(!vx::UserInfo.uid.empty());
    if (vx::UserInfo.uid.empty())
        VXFUZZ_CHECK(!success);
    return 0;
}

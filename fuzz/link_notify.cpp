// One message of a running application, as the link server hands it to the client (text in
// the ANSI code page), through the client's message handling with a host, link server and
// launcher that only record. Every answer goes to an application by id; nothing is started.

#include <cstdint>
#include <string>

#include "FuzzSupport.h"
#include "core/Global.h"
#include "link/HelperLibraries.h"
#include "link/LinkNotify.h"

namespace {

class RecordingLink : public vx::ILinkServer {
public:
    std::vector<std::string> sent;
    int closeAll = 0;
    std::vector<std::string> uids;
    void CloseAll() override { ++closeAll; }
    void SetUid(const std::string& uid) override { uids.push_back(uid); }
    void sendToApp(const std::string& m) override { sent.push_back(m); }
};

void setUp() {
    static bool done = false;
    if (done)
        return;
    done = true;
    vx::SetShowMsgHook([](const std::string&, const std::string&) {});
    vx::InitSharedState((vxfuzz::scratch() / "vxclient").string());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    setUp();
    vx::AppList.clear();
    vx::TMyApp& app = vx::AddApp(1);
    app.appPrice = "9.9";
    app.myAppVersionName = "专业版";
    app.VideoUrl = "http://help/1";
    vx::UserInfo = {};

    RecordingLink link;
    std::vector<std::pair<int32_t, std::string>> runs;
    int timers = 0;
    std::vector<std::string> status;
    vx::LinkContext ctx{link, [&](bool) { ++timers; },
                        [&](const std::string& t) { status.push_back(t); },
                        [&](int32_t id, const std::string& parma) { runs.emplace_back(id, parma); }};
    vx::LinkNotify(std::string(reinterpret_cast<const char*>(data), size), ctx);

    for (const auto& m : link.sent) {
        VXFUZZ_CHECK(m.rfind("appID=", 0) == 0);
        VXFUZZ_CHECK(m.find("&parma=") != std::string::npos);
        // The payload is form-URL encoded: no separator of its own can appear in it.
        const std::string payload = m.substr(m.find("&parma=") + 7);
        VXFUZZ_CHECK(payload.find_first_of("&\r\n") == std::string::npos);
    }
    VXFUZZ_CHECK(runs.size() <= 1);
    return 0;
}

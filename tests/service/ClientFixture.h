#pragma once
// The client's core against the demo service: the page API object with a fake main window,
// the real downloader and link server libraries bound as the client binds them, the service
// in-process on an ephemeral loopback port.

#include "core/Background.h"
#include "core/Signing.h"
#include "core/Trust.h"
#include "ServiceFixture.h"
#include "api/ApiFixture.h"
#include "core/Text.h"
#include "support/Loopback.h"

#include <dlfcn.h>
#include <map>
#include <sstream>

namespace servicetest {

inline std::map<std::string, std::string> readResult(const std::string& path) {
    std::map<std::string, std::string> out;
    std::istringstream in(vxtest::readFile(path));
    for (std::string line; std::getline(in, line);)
        if (auto eq = line.find('='); eq != std::string::npos)
            out[line.substr(0, eq)] = line.substr(eq + 1);
    return out;
}

class ClientRoadTest : public ServiceFixture {
protected:
    void SetUp() override {
        ServiceFixture::SetUp();
        vx::setMainThread(&loop);
        vx::InitSharedState(client.str() + "vxclient");
        std::filesystem::create_directories(vx::ConfigPath);
        client.write("Config/config.xml", "<?xml version=\"1.0\" encoding=\"utf-8\"?><config>"
                                          "<title>应用中心</title><pid>77</pid></config>");
        vx::installBusy = false;
        vx::UserInfo = {};
        vx::SetBaseUrl(base());
        ASSERT_TRUE(libs.bindDownloader(VX_LIB_DIR).ok());
        apitest::shortenDownloaderTimings();
        api = std::make_unique<vx::TVX_JS>(host, libs, libs);
        api->scriptFolder = client.path().string();
        api->clientProcessId = 0; // no update script waits for the test to end
        vx::setDownloadMessageHandler(
            [this](int id, const std::string& text) { api->DownloadNotify(id, text); });
        vx::setLinkMessageHandler([this](const std::string& t) {
            linkTexts.push_back(vx::fromAnsi(t));
            api->LinkNotify(t);
        });
    }
    void TearDown() override {
        loop.runUntil([] {
            return vx::THttpThread::liveCount() == 0 && vx::backgroundJobsRunning() == 0 &&
                   vx::HelperLibraries::downloadsRunning() == 0;
        });
        vx::setDownloadMessageHandler(nullptr);
        vx::setLinkMessageHandler(nullptr);
        libs.DisconnectAllAndUnload();
        loop.processPending();
        api.reset();
        vx::AppList.clear();
        vx::setMainThread(nullptr);
        vx::SetBaseUrl(vx::kBuildBaseUrl);
        ServiceFixture::TearDown();
    }

    void waitFor(const std::function<bool()>& pred, const char* what) {
        ASSERT_TRUE(loop.runUntil(pred, std::chrono::seconds(90))) << "waited in vain for " << what;
    }
    void waitIdle(const char* what) {
        waitFor([] { return !vx::installBusy && vx::THttpThread::liveCount() == 0 && vx::backgroundJobsRunning() == 0; }, what);
    }
    void login() {
        api->_LoginFun("demo", "demo123", "1", "1");
        waitFor([this] { return !host.callsStarting("ST_Login(").empty(); }, "the login");
        waitIdle("the list");
    }

    // How many texts from the link server began with `prefix` (UTF-8).
    int linkCount(const std::string& prefix) const {
        int n = 0;
        for (const auto& t : linkTexts)
            n += t.rfind(prefix, 0) == 0;
        return n;
    }

    vx::LoopMainThread loop;
    std::vector<std::string> linkTexts; // what the link server handed over, in order
    vxtest::TempDir client{"road"};
    apitest::FakeHost host;
    vx::HelperLibraries libs;
    std::unique_ptr<vx::TVX_JS> api;
};

// The same with a service that signs its descriptors with a fresh key, which the client's
// core trusts (as config.xml's signkey would make it).
class SignedServiceTest : public ClientRoadTest {
protected:
    void SetUp() override {
        auto key = vx::generateSigningKey();
        ASSERT_TRUE(key.ok()) << key.error();
        signingKey = *key;
        ClientRoadTest::SetUp();
        vx::Trust = {};
        vx::Trust.signKeys = {*vx::parsePublicKey(signingKey.publicKeyBase64)};
        vx::Trust.signingRequired = true;
    }
    void TearDown() override {
        ClientRoadTest::TearDown();
        vx::Trust = {};
    }
    void adjust(vxdemo::ServiceOptions& o) override { o.signingKeyPem = signingKey.privatePem; }

    bool statusHas(const std::string& text) const {
        for (const auto& c : host.callsStarting("ST_softStatu("))
            if (c.find(text) != std::string::npos)
                return true;
        return false;
    }

    vx::SigningKeyPair signingKey;
};

} // namespace servicetest

#pragma once
// Shared set-up of the page-API tests: a client folder in a temporary place, a main thread
// pumped by the test, a fake main window that records page calls, a fake or real link
// server, the real downloader, and an in-process service on 127.0.0.1.

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <httplib.h>

#include <map>
#include <optional>
#include <mutex>
#include <thread>

#include "api/PageHost.h"
#include "api/UJsExterned.h"
#include "core/Global.h"
#include "core/Digests.h"
#include "core/MainThread.h"
#include "http/HttpThread.h"
#include "link/HelperLibraries.h"
#include "support/TempDir.h"

namespace apitest {

class FakeHost : public vx::IPageHost {
public:
    bool browser = true;
    std::vector<std::string> calls;
    std::vector<std::pair<std::string, std::optional<std::pair<int, int>>>> popups;
    std::vector<std::string> browserUrls;
    int timerEnabled = 0;
    int closed = 0;

    bool hasBrowserView() const override { return browser; }
    void executeInMainFrame(const std::string& script) override { calls.push_back(script); }
    void openPopup(const std::string& url, std::optional<std::pair<int, int>> size) override {
        popups.emplace_back(url, size);
    }
    void openInSystemBrowser(const std::string& url) override { browserUrls.push_back(url); }
    void enableRefreshTimer() override { ++timerEnabled; }
    void closeMainWindow() override { ++closed; }

    // The calls whose text starts with `prefix`, in order.
    std::vector<std::string> callsStarting(const std::string& prefix) const {
        std::vector<std::string> out;
        for (const auto& c : calls)
            if (c.rfind(prefix, 0) == 0)
                out.push_back(c);
        return out;
    }
    bool has(const std::string& call) const {
        return std::find(calls.begin(), calls.end(), call) != calls.end();
    }
};

class FakeLink : public vx::ILinkServer {
public:
    std::vector<std::string> events; // "CloseAll", "SetUid:<id>", "send:<message>"
    void CloseAll() override { events.push_back("CloseAll"); }
    void SetUid(const std::string& uid) override { events.push_back("SetUid:" + uid); }
    void sendToApp(const std::string& m) override { events.push_back("send:" + m); }
    // The messages sent to applications, in order.
    std::vector<std::string> sent() const {
        std::vector<std::string> out;
        for (const auto& e : events)
            if (e.rfind("send:", 0) == 0)
                out.push_back(e.substr(5));
        return out;
    }
};

class FakeDownloader : public vx::IDownloader {
public:
    struct Call {
        std::string urls, paths, folder;
        int attempts, appId;
        std::optional<std::string> sha256s; // set for DownFileSha256
    };
    std::vector<Call> calls;
    void DownFile(const std::string& u, const std::string& p, const std::string& f, int a,
                  int id) override {
        calls.push_back({u, p, f, a, id, std::nullopt});
    }
    bool canCheck = true; // whether it offers DownFileSha256
    void DownFileSha256(const std::string& u, const std::string& p, const std::string& f,
                        const std::string& d, int a, int id) override {
        calls.push_back({u, p, f, a, id, d});
    }
    bool canCheckSha256() const override { return canCheck; }
    std::vector<int> cancels;  // the ids CancelDown was asked for
    bool cancelAccepted = true; // what CancelDown answers
    bool canCancel = true;
    bool CancelDown(int id) override {
        cancels.push_back(id);
        return cancelAccepted;
    }
    bool canCancelDown() const override { return canCancel; }
};

// A service on an ephemeral loopback port; routes are added by each test.
class Service {
public:
    httplib::Server server;
    int port = 0;
    std::mutex mutex;
    std::vector<std::string> requests; // "METHOD path" in order of arrival

    void start() {
        // Recorded before the reply goes out: the logger runs after it, so a test that has
        // already seen the reply could miss the request.
        server.set_pre_routing_handler([this](const httplib::Request& r, httplib::Response&) {
            std::lock_guard lock(mutex);
            requests.push_back(r.method + " " + r.target);
            return httplib::Server::HandlerResponse::Unhandled;
        });
        port = server.bind_to_any_port("127.0.0.1");
        m_thread = std::thread([this] { server.listen_after_bind(); });
        // stop() before the loop runs would be lost and the join would hang.
        while (!server.is_running())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ~Service() { stop(); }
    // Stops serving and waits for every handler to return (idempotent).
    void stop() {
        server.stop();
        if (m_thread.joinable())
            m_thread.join();
    }
    std::string base() const { return "http://127.0.0.1:" + std::to_string(port) + "/"; }
    int count(const std::string& prefix) {
        std::lock_guard lock(mutex);
        int n = 0;
        for (const auto& r : requests)
            n += r.rfind(prefix, 0) == 0;
        return n;
    }

private:
    std::thread m_thread;
};

// The reply of myApps.php for the given application elements.
inline std::string listReply(const std::vector<std::string>& apps) {
    std::string s = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<apps>";
    for (const auto& a : apps)
        s += a;
    return s + "</apps>";
}

// One application element of a list reply.
inline std::string appElement(int id, const std::string& dir, const std::string& version,
                              const std::string& nessary = "否", const std::string& extra = "") {
    return "<app><appId>" + std::to_string(id) + "</appId><Name>应用" + std::to_string(id) +
           "</Name><Dir>" + dir + "</Dir><Ico>ico.png</Ico><MainFile>run.sh</MainFile>"
           "<Version>" + version + "</Version><price>9.9</price><Statu>显示</Statu><nessary>" +
           nessary + "</nessary><Note>n</Note><Img>i.png</Img><Url>http://help/" +
           std::to_string(id) + "</Url><Sort>1</Sort><myAppVersionName>专业版</myAppVersionName>" +
           extra + "</app>";
}

// Makes failures and retries of the real downloader (in VX_LIB_DIR) quick, so that no test
// waits for them.
inline void shortenDownloaderTimings() {
    void* h = ::dlopen((std::string(VX_LIB_DIR) + "/libDownLoader.so").c_str(), RTLD_NOW);
    using Tune = void (*)(int, int, int);
    if (auto tune = h ? reinterpret_cast<Tune>(::dlsym(h, "DownLoaderSetTimingsForTests")) : nullptr)
        tune(2000, 5, 10);
}

class ApiTest : public ::testing::Test {
protected:
    void SetUp() override {
        vx::setMainThread(&loop);
        vx::InitSharedState(dir.str() + "vxclient");
        std::filesystem::create_directories(vx::ConfigPath);
        dir.write("Config/config.xml",
                  "<?xml version=\"1.0\" encoding=\"utf-8\"?><config><title>应用中心</title>"
                  "<salesid>1</salesid><aid>2</aid><pid>77</pid><nested><deep>x</deep></nested>"
                  "</config>");
        vx::installBusy = false;
        vx::UserInfo = {};
        service.start();
        vx::SetBaseUrl(service.base());
        api = std::make_unique<vx::TVX_JS>(host, link, downloader);
        api->scriptFolder = dir.path().string();
        api->clientProcessId = 0; // no update script waits for the test to end
    }
    void TearDown() override {
        // Let every worker finish before the fixture goes.
        loop.runUntil(
            [] { return vx::THttpThread::liveCount() == 0 && vx::digestJobsRunning() == 0; });
        // The service's handlers may use the test's own members: none may run once they go.
        service.stop();
        api.reset();
        vx::AppList.clear();
        vx::setMainThread(nullptr);
        vx::SetBaseUrl(vx::kBuildBaseUrl);
    }

    // Hands one link message (UTF-8 here, ANSI on the wire) to the client.
    void notify(const std::string& utf8) { api->LinkNotify(vx::toAnsi(utf8)); }
    std::vector<std::string> sent() const { return link.sent(); }

    // Pumps the main thread until pred() holds; fails the test when it never does.
    void waitFor(const std::function<bool()>& pred, const char* what) {
        ASSERT_TRUE(loop.runUntil(pred, std::chrono::seconds(60))) << "waited in vain for " << what;
    }
    // Pumps until no HTTP worker and no digest job is left.
    void settle() {
        waitFor([] { return vx::THttpThread::liveCount() == 0 && vx::digestJobsRunning() == 0; },
                "the workers to end");
    }

    vx::LoopMainThread loop;
    vxtest::TempDir dir{"api"};
    FakeHost host;
    FakeLink link;
    FakeDownloader downloader;
    Service service;
    std::unique_ptr<vx::TVX_JS> api;
};

} // namespace apitest

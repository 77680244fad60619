#pragma once
// The page API set up once per fuzz process, headless: a client folder in the scratch
// folder, a main thread pumped by the target, a host, link server and downloader that only
// record, and a service on 127.0.0.1 that answers every request with the text the target
// sets (the list request has its own answer). Replies go through the real HTTP worker.

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/Background.h"
#include "FuzzSupport.h"
#include "api/PageHost.h"
#include "api/UJsExterned.h"
#include "core/Global.h"
#include "core/MainThread.h"
#include "core/Xml.h"
#include "http/HttpThread.h"
#include "link/HelperLibraries.h"

namespace vxfuzz {

class RecordingHost : public vx::IPageHost {
public:
    std::vector<std::string> calls;
    bool hasBrowserView() const override { return true; }
    void executeInMainFrame(const std::string& script) override { calls.push_back(script); }
    void openPopup(const std::string&, std::optional<std::pair<int, int>>) override {}
    void openInSystemBrowser(const std::string&) override {}
    void enableRefreshTimer() override {}
    void closeMainWindow() override {}
};

class RecordingLink : public vx::ILinkServer {
public:
    std::vector<std::string> sent;
    void CloseAll() override {}
    void SetUid(const std::string&) override {}
    void sendToApp(const std::string& m) override { sent.push_back(m); }
};

class RecordingDownloader : public vx::IDownloader {
public:
    struct Call {
        std::string urls, paths, folder;
        int appId;
    };
    std::vector<Call> calls;
    void DownFile(const std::string& u, const std::string& p, const std::string& f, int,
                  int id) override {
        calls.push_back({u, p, f, id});
    }
    bool CancelDown(int) override { return true; }
};

// The lines of a CR LF separated list (the downloader's form).
inline std::vector<std::string> crlfLines(const std::string& s) {
    std::vector<std::string> out;
    std::size_t at = 0;
    while (at < s.size()) {
        auto end = s.find("\r\n", at);
        if (end == std::string::npos) {
            out.push_back(s.substr(at));
            break;
        }
        out.push_back(s.substr(at, end - at));
        at = end + 2;
    }
    return out;
}

// True when `path` lies below `folder` (which ends with a separator) and names no "..".
inline bool staysBelow(const std::string& path, const std::string& folder) {
    if (path.compare(0, folder.size(), folder) != 0 || path.size() == folder.size())
        return false;
    std::string rest = path.substr(folder.size());
    std::size_t at = 0;
    while (at <= rest.size()) {
        auto end = rest.find('/', at);
        if (end == std::string::npos)
            end = rest.size();
        if (rest.compare(at, end - at, "..") == 0 && end - at == 2)
            return false;
        at = end + 1;
    }
    return true;
}

class ApiHarness {
public:
    static ApiHarness& get() {
        static ApiHarness h;
        return h;
    }

    // The body of every reply from now on (except the list's).
    void setReply(std::string body) {
        std::lock_guard lock(m_mutex);
        m_reply = std::move(body);
    }
    void setListReply(std::string body) {
        std::lock_guard lock(m_mutex);
        m_listReply = std::move(body);
    }

    // Runs the main thread until every HTTP worker has ended.
    void settle() {
        // A worker's end posts nothing, so the loop is polled briefly instead of waiting on
        // it; that keeps a run at a few milliseconds.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
        for (;;) {
            loop.processPending();
            if (vx::THttpThread::liveCount() == 0 && vx::backgroundJobsRunning() == 0)
                break;
            if (std::chrono::steady_clock::now() > deadline)
                fail("an HTTP worker never ended");
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        loop.processPending();
    }

    // Back to a logged-out client with one known application (id 1, folder "demo").
    void reset() {
        settle();
        host.calls.clear();
        link.sent.clear();
        downloader.calls.clear();
        vx::installBusy = false;
        vx::UserInfo = {};
        vx::AppList.clear();
        api->_uid.clear();
        api->process.clear();
        if (!vx::mergeAppList(kList))
            fail("the fixed list reply no longer reads");
    }

    static constexpr const char* kList =
        "<?xml version=\"1.0\" encoding=\"utf-8\"?><apps><app><appId>1</appId><Name>演示</Name>"
        "<Dir>demo</Dir><Ico>ico.png</Ico><MainFile>run.sh</MainFile><Version>1.0</Version>"
        "<price>0</price><Statu>显示</Statu><nessary>否</nessary><Note>n</Note><Img>i.png</Img>"
        "<Url>http://help/1</Url><Sort>1</Sort><myAppVersionName>标准版</myAppVersionName></app>"
        "</apps>";

    vx::LoopMainThread loop;
    RecordingHost host;
    RecordingLink link;
    RecordingDownloader downloader;
    std::unique_ptr<vx::TVX_JS> api;

private:
    ApiHarness() {
        vx::setMainThread(&loop);
        vx::SetShowMsgHook([](const std::string&, const std::string&) {});
        const auto root = scratch() / "client";
        std::filesystem::create_directories(root);
        vx::InitSharedState((root / "vxclient").string());
        std::filesystem::create_directories(vx::ConfigPath);
        writeFile(vx::ConfigXml,
                  "<?xml version=\"1.0\" encoding=\"utf-8\"?><config><title>应用中心</title>"
                  "<salesid>1</salesid><aid>2</aid><pid>77</pid></config>");
        m_listReply = kList;
        m_server.Get(".*", [this](const httplib::Request& r, httplib::Response& res) { answer(r, res); });
        m_server.Post(".*", [this](const httplib::Request& r, httplib::Response& res) { answer(r, res); });
        m_port = m_server.bind_to_any_port("127.0.0.1");
        if (m_port <= 0)
            fail("cannot listen on 127.0.0.1");
        m_thread = std::thread([this] { m_server.listen_after_bind(); });
        while (!m_server.is_running())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        vx::SetBaseUrl("http://127.0.0.1:" + std::to_string(m_port) + "/");
        api = std::make_unique<vx::TVX_JS>(host, link, downloader);
        api->scriptFolder = root.string();
        api->executablePath = (root / "vxclient").string();
    }
    ~ApiHarness() {
        settle();
        api.reset();
        m_server.stop();
        if (m_thread.joinable())
            m_thread.join();
        vx::setMainThread(nullptr);
    }

    void answer(const httplib::Request& r, httplib::Response& res) {
        std::lock_guard lock(m_mutex);
        const bool list = r.path.find("myApps.php") != std::string::npos ||
                          r.path.find("userAppAdd.php") != std::string::npos;
        res.set_content(list ? m_listReply : m_reply, "text/xml; charset=utf-8");
    }

    httplib::Server m_server;
    int m_port = 0;
    std::thread m_thread;
    std::mutex m_mutex;
    std::string m_reply;
    std::string m_listReply;
};

} // namespace vxfuzz

// The HTTP worker and the real downloader follow the system's proxy settings (on POSIX the
// proxy environment variables), through a recording proxy on 127.0.0.1. The service's host
// is a name, not a loopback address: loopback addresses never take a proxy.

#include "core/MainThread.h"
#include "core/Text.h"
#include "http/HttpThread.h"
#include "link/HelperLibraries.h"
#include "support/HttplibServer.h"
#include "support/RecordingProxy.h"
#include "support/TempDir.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <map>
#include <optional>

namespace {

constexpr const char* kHost = "vx-service.test";

// Clears the proxy variables for a test and puts back what the process had at its end.
class ProxyEnvironment {
public:
    ProxyEnvironment() {
        for (const char* name : kNames) {
            if (const char* v = std::getenv(name))
                m_saved[name] = v;
            ::unsetenv(name);
        }
    }
    ~ProxyEnvironment() {
        for (const char* name : kNames) {
            auto it = m_saved.find(name);
            if (it == m_saved.end())
                ::unsetenv(name);
            else
                ::setenv(name, it->second.c_str(), 1);
        }
    }
    void set(const char* name, const std::string& value) { ::setenv(name, value.c_str(), 1); }

private:
    static constexpr const char* kNames[] = {"http_proxy",  "HTTP_PROXY", "https_proxy",
                                             "HTTPS_PROXY", "all_proxy",  "ALL_PROXY",
                                             "no_proxy",    "NO_PROXY"};
    std::map<std::string, std::string> m_saved;
};

class ProxyTest : public ::testing::Test {
protected:
    void SetUp() override {
        vx::setMainThread(&loop);
        service.server().Get("/hello", [](const httplib::Request&, httplib::Response& res) {
            res.set_content("hello from the service", "text/plain");
        });
        service.server().Get("/apps/tool.bin", [](const httplib::Request&, httplib::Response& res) {
            res.set_content(std::string(5000, 'x') + "end", "application/octet-stream");
        });
        service.start();
        ASSERT_TRUE(libs.bindDownloader(VX_LIB_DIR).ok());
        vx::setDownloadMessageHandler([this](int id, const std::string& text) {
            messages[id].push_back(vx::fromAnsi(text));
        });
    }
    void TearDown() override {
        loop.runUntil([] {
            return vx::THttpThread::liveCount() == 0 && vx::HelperLibraries::downloadsRunning() == 0;
        });
        vx::setDownloadMessageHandler(nullptr);
        vx::setMainThread(nullptr);
    }

    std::string at(const std::string& host, const std::string& path) const {
        return "http://" + host + ":" + std::to_string(service.port()) + path;
    }

    // The text the worker fetched from `url`; empty when the transfer failed.
    std::string fetch(const std::string& url) {
        std::optional<std::string> text;
        auto* th = new vx::THttpThread(url, "", "", "0", nullptr, vx::kSendGetText);
        th->FSendDone = [&](vx::THttpThread*, vx::PReturnInfo info) { text = info->str; };
        EXPECT_TRUE(loop.runUntil([&] { return text.has_value(); }, std::chrono::seconds(60)));
        return text.value_or("");
    }

    // Downloads `url` into the test's folder; the call's last message.
    std::string download(const std::string& url, const std::string& name) {
        const int id = ++lastId;
        libs.DownFile(vx::toAnsi(url), vx::toAnsi(dir.file(name)), "", 1, id);
        auto ended = [&] {
            const auto& m = messages[id];
            return !m.empty() && (m.back() == "完成" || m.back().rfind("error:", 0) == 0);
        };
        EXPECT_TRUE(loop.runUntil(ended, std::chrono::seconds(60)));
        return messages[id].empty() ? "" : messages[id].back();
    }

    vx::LoopMainThread loop;
    ProxyEnvironment environment;
    vxtest::HttplibServer service;
    vxtest::RecordingProxy proxy;
    vxtest::TempDir dir{"proxy"};
    vx::HelperLibraries libs;
    std::map<int, std::vector<std::string>> messages;
    int lastId = 0;
};

TEST_F(ProxyTest, WorkerAndDownloaderGoThroughTheProxyOfTheEnvironment) {
    environment.set("http_proxy", proxy.url());

    EXPECT_EQ(fetch(at(kHost, "/hello")), "hello from the service");
    EXPECT_EQ(proxy.count("GET " + at(kHost, "/hello") + " HTTP/1.0"), 1);

    EXPECT_EQ(download(at(kHost, "/apps/tool.bin"), "tool.bin"), "完成");
    EXPECT_EQ(vxtest::readFile(dir.file("tool.bin")), std::string(5000, 'x') + "end");
    EXPECT_GE(proxy.count("GET " + at(kHost, "/apps/tool.bin") + " HTTP/1.1"), 1);

    // all_proxy serves where no proxy of the scheme is named.
    ::unsetenv("http_proxy");
    environment.set("all_proxy", proxy.url());
    EXPECT_EQ(fetch(at(kHost, "/hello")), "hello from the service");
    EXPECT_EQ(proxy.count("GET " + at(kHost, "/hello") + " HTTP/1.0"), 2);
}

TEST_F(ProxyTest, HostsOfNoProxyAndLoopbackAddressesGoDirect) {
    environment.set("http_proxy", proxy.url());
    environment.set("no_proxy", std::string("example.org, ") + kHost);

    // Direct, the name is looked up for itself and is found nowhere.
    EXPECT_EQ(fetch(at(kHost, "/hello")), "");
    const std::string last = download(at(kHost, "/apps/tool.bin"), "tool.bin");
    EXPECT_NE(last.find("无法解析服务器地址"), std::string::npos) << last;
    EXPECT_FALSE(std::filesystem::exists(dir.file("tool.bin")));

    // No proxy can reach this machine's own services: with or without no_proxy, loopback
    // addresses are served direct.
    ::unsetenv("no_proxy");
    for (const char* host : {"127.0.0.1", "localhost"}) {
        EXPECT_EQ(fetch(at(host, "/hello")), "hello from the service") << host;
        EXPECT_EQ(download(at(host, "/apps/tool.bin"), std::string(host) + ".bin"), "完成") << host;
    }
    EXPECT_EQ(proxy.requests(), std::vector<std::string>{});
}

TEST_F(ProxyTest, HttpsTakesTheProxyOnlyThroughATunnel) {
    // The proxy refuses the tunnel: the requests fail, and none went to it in plain text.
    environment.set("https_proxy", proxy.url());
    const std::string url = "https://" + std::string(kHost) + ":" + std::to_string(service.port());

    EXPECT_EQ(fetch(url + "/hello"), "");
    EXPECT_EQ(download(url + "/apps/tool.bin", "tool.bin").rfind("error:", 0), 0u);

    const std::string tunnel =
        "CONNECT " + std::string(kHost) + ":" + std::to_string(service.port()) + " HTTP/1.1";
    const auto seen = proxy.requests();
    ASSERT_FALSE(seen.empty());
    for (const auto& r : seen)
        EXPECT_EQ(r, tunnel);
}

} // namespace

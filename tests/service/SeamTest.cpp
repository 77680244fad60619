// Where the client's core meets its neighbours for real: the link server library, the
// programs the client starts and the sample applications. Each test asserts what the other
// side sees: a message in an application's log, a descriptor list written by a started
// program, a connection that ends, an answer on the link port.

#include "ClientFixture.h"
#include "core/Text.h"
#include "link/LinkNotify.h"
#include "platform/Platform.h"
#include "tcpserver/LinkProtocol.h"

#include <LinkClient.h>

#include <atomic>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace servicetest;

namespace {

namespace fs = std::filesystem;
namespace proto = vxlink::proto;

// A peer speaking the wire format on a blocking socket (every read guarded against hangs).
class RawPeer {
public:
    RawPeer(int port, int appId) : m_fd(vxtest::connectLoopback(port, 10)) {
        sendFramed(proto::registrationFrame(appId));
    }
    ~RawPeer() {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    RawPeer(const RawPeer&) = delete;
    RawPeer& operator=(const RawPeer&) = delete;

    bool connected() const { return m_fd >= 0; }
    void send(const std::string& ansi) { sendFramed(proto::frame(ansi)); }
    // Reads until the server ends the connection: true for an orderly end, false when the
    // connection stayed open through the guard (someone else still holds the server's end).
    bool readsToEnd() {
        char buf[4096];
        for (;;) {
            const ssize_t n = ::recv(m_fd, buf, sizeof buf, 0);
            if (n == 0)
                return true;
            if (n < 0)
                return false;
        }
    }

private:
    void sendFramed(const std::string& framed) {
        if (m_fd >= 0)
            (void)::send(m_fd, framed.data(), framed.size(), MSG_NOSIGNAL);
    }
    int m_fd;
};

// Ends every process whose program is `path`.
void killProgram(const std::string& path) {
    std::error_code ec;
    for (const auto& e : fs::directory_iterator("/proc", ec)) {
        std::error_code e2;
        if (fs::read_symlink(e.path() / "exe", e2) == fs::path(path))
            ::kill(std::atoi(e.path().filename().c_str()), SIGKILL);
    }
}

std::vector<std::string> lines(const std::string& path) {
    std::vector<std::string> out;
    std::ifstream in(path);
    for (std::string l; std::getline(in, l);)
        out.push_back(l);
    return out;
}

int linesStarting(const std::string& path, const std::string& prefix) {
    int n = 0;
    for (const auto& l : lines(path))
        n += l.rfind(prefix, 0) == 0;
    return n;
}

class SeamTest : public ClientRoadTest {
protected:
    void TearDown() override {
        for (const auto& p : m_programs)
            killProgram(p);
        vx::SetShowMsgHook(nullptr);
        ::unsetenv("VX_LINK_PORT");
        ClientRoadTest::TearDown();
    }

    // The link server bound and started as the client starts it, on a port of its own,
    // which the started applications inherit.
    void startLink() {
        ASSERT_TRUE(libs.bindLinkServer(VX_LIB_DIR).ok());
        port = vxtest::freePort();
        ASSERT_TRUE(libs.StartServer("127.0.0.1", std::to_string(port)));
        ::setenv("VX_LINK_PORT", std::to_string(port).c_str(), 1);
    }

    // An application registered with the link server (null when it could not register).
    std::unique_ptr<vxlink::LinkClient> connectAs(int appId) {
        vxlink::LinkClientOptions o;
        o.port = static_cast<std::uint16_t>(port);
        o.appId = appId;
        auto peer = std::make_unique<vxlink::LinkClient>(o);
        peer->start();
        if (!peer->waitRegistered(std::chrono::seconds(20)).ok())
            return nullptr;
        return peer;
    }

    // Asks as application `appId` and returns the payload of the first answer.
    std::string ask(int appId, const std::string& request) {
        auto peer = connectAs(appId);
        if (!peer || !peer->send(request).ok())
            return "(not registered)";
        std::optional<vxlink::LinkMessage> reply;
        std::atomic<bool> done{false};
        std::thread reader([&] {
            reply = peer->receive(std::chrono::seconds(30));
            done = true;
        });
        waitFor([&] { return done.load(); }, "the answer");
        reader.join();
        return reply ? reply->payload : "(no answer)";
    }

    // Places a program as an application's main file (mode 0644, as a package made on
    // Windows unpacks it).
    void placeProgram(int appId, const std::string& folder, const std::string& mainFile,
                      const std::string& from) {
        vx::TMyApp& app = vx::AddApp(appId);
        app.appDir = vx::AppsPath + folder + "/";
        app.MainFile = mainFile;
        fs::create_directories(fs::path(app.appDir + mainFile).parent_path());
        fs::copy_file(from, app.appDir + mainFile, fs::copy_options::overwrite_existing);
        fs::permissions(app.appDir + mainFile, fs::perms(0644));
        track(app.appDir + mainFile);
    }

    // A program to end when the test ends.
    void track(const std::string& program) { m_programs.push_back(program); }

    int port = 0;

private:
    std::vector<std::string> m_programs; // killed when the test ends
};

} // namespace

TEST_F(SeamTest, TheAssistantHidesItsWindowAfterEveryLogin) {
    startLink();
    login();
    EXPECT_EQ(api->_InstallApp("4"), "正在安装");
    waitIdle("the assistant's install");
    track(vx::AppsPath + "assistant/" + vx::FindApp(4)->MainFile);
    vx::RunApp(4, "", [this](const std::string& t) { api->ShowStatus(t); });
    waitFor([this] { return linkCount("应用上线:appID=4") == 1; }, "the assistant to connect");
    const std::string log = vx::AppsPath + "assistant/assistant.log";

    // A login from the page: the client closes every connection, tells the new user and
    // asks the assistant to hide.
    host.calls.clear();
    login();
    waitFor([&] { return linesStarting(log, "隐藏窗口 HideForm?a") == 1; },
            "HideForm?a after the page's login");
    // A login handed over by another application.
    auto other = connectAs(12);
    ASSERT_TRUE(other);
    ASSERT_TRUE(other->send("登陆信息:user=demo&qq=1&aid=2&uid=10086").ok());
    waitFor([&] { return linesStarting(log, "隐藏窗口 HideForm?a") == 2; },
            "HideForm?a after the link's login");
    // It came back each time and learnt the user.
    EXPECT_GE(linkCount("应用上线:appID=4"), 3);
    EXPECT_EQ(ask(4, "获取用户信息:MyID=4"), "UserInfo?uid=10086");
}

TEST_F(SeamTest, AStartedProgramInheritsNothingOfTheClient) {
    startLink();
    // Descriptors of the kind other parts of the process open without close-on-exec.
    const int strayFile = ::open("/dev/zero", O_RDONLY);
    const int straySocket = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(strayFile, 0);
    ASSERT_GE(straySocket, 0);
    RawPeer watcher(port, 30); // an accepted connection of the link server
    ASSERT_TRUE(watcher.connected());
    waitFor([this] { return linkCount("应用上线:appID=30") == 1; }, "the watcher");
    placeProgram(50, "probe", "bin/probe", VX_FD_PROBE);

    // Another application has it started through the link.
    auto other = connectAs(12);
    ASSERT_TRUE(other);
    ASSERT_TRUE(other->send("运行应用:appID=50&parma=fds.txt+--stay").ok());
    const std::string report = vx::AppsPath + "probe/fds.txt";
    waitFor([&] { return fs::exists(report); }, "the started program's report");
    auto got = lines(report);
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(got.front().rfind("pid ", 0), 0u);
    got.erase(got.begin());
    EXPECT_EQ(got, (std::vector<std::string>{"0 /dev/null", "1 /dev/null", "2 /dev/null"}));
    other->close();

    // While it runs, a connection that the client closes ends for its peer...
    libs.CloseAll();
    EXPECT_TRUE(watcher.readsToEnd()) << "the closed connection stayed open";
    // ...and a client started anew listens on the same port and answers there.
    libs.DisconnectAllAndUnload();
    ASSERT_TRUE(libs.bindLinkServer(VX_LIB_DIR).ok());
    ASSERT_TRUE(libs.StartServer("127.0.0.1", std::to_string(port)));
    vx::UserInfo.uid = "10086";
    EXPECT_EQ(ask(13, "获取用户信息:MyID=13"), "UserInfo?uid=10086");
    ::close(strayFile);
    ::close(straySocket);
}

TEST_F(SeamTest, AMainFileThatCannotStartIsReported) {
    std::vector<std::string> status;
    auto show = [&](const std::string& t) { status.push_back(t); };
    // Not a program at all.
    placeProgram(51, "junk", "junk.bin", VX_FD_PROBE);
    { std::ofstream(vx::AppsPath + "junk/junk.bin", std::ios::trunc) << "\x01\x02 no program"; }
    vx::RunApp(51, "", show);
    // Outside the application's folder.
    vx::TMyApp& outside = vx::AddApp(52);
    outside.appDir = vx::AppsPath + "app52/";
    outside.MainFile = "../junk/junk.bin";
    fs::create_directories(outside.appDir);
    vx::RunApp(52, "", show);
    EXPECT_EQ(status, (std::vector<std::string>{
                          "应用无法启动：" + vx::AppsPath + "junk/junk.bin",
                          "应用无法启动：" + vx::AppsPath + "app52/../junk/junk.bin"}));
    // The main file inside the folder was made executable by its owner; nothing else was.
    EXPECT_NE(fs::status(vx::AppsPath + "junk/junk.bin").permissions() & fs::perms::owner_exec,
              fs::perms::none);
    EXPECT_EQ(fs::status(vx::AppsPath + "junk/junk.bin").permissions() & fs::perms::others_exec,
              fs::perms::none);
}

TEST_F(SeamTest, BoxesOpenedFromTheLinkNeverStack) {
    startLink();
    int boxes = 0, depth = 0, deepest = 0;
    std::atomic<bool> flooded{false};
    std::thread flooder;
    vx::SetShowMsgHook([&](const std::string&, const std::string& text) {
        EXPECT_EQ(text, "登陆失败");
        ++boxes;
        deepest = std::max(deepest, ++depth);
        if (boxes == 1) {
            // The box's modal loop keeps handling link messages: a flood of bad logins
            // arrives while it is up. (Each one closes every connection first, so some of
            // the flood is cut off before it is read; the peers wait for their end.)
            const int before = linkCount("登陆信息");
            flooder = std::thread([this, &flooded] {
                for (int i = 0; i < 40; ++i) {
                    RawPeer p(port, 77);
                    p.send(vx::toAnsi("登陆信息:user=%zz"));
                    (void)p.readsToEnd();
                }
                flooded = true;
            });
            waitFor([&] { return flooded.load() && linkCount("登陆信息") > before; },
                    "the flood");
            loop.runFor(std::chrono::milliseconds(300));
        }
        --depth;
    });
    RawPeer first(port, 77);
    first.send(vx::toAnsi("登陆信息:user=%zz"));
    waitFor([&] { return boxes >= 1 && depth == 0; }, "the box");
    if (flooder.joinable())
        flooder.join();
    EXPECT_EQ(deepest, 1);
    EXPECT_EQ(boxes, 1);
}

TEST_F(SeamTest, RunAndUninstallFollowTheApplicationsConnection) {
    startLink();
    login();
    EXPECT_EQ(api->_InstallApp("4"), "正在安装");
    waitIdle("the assistant's install");
    const std::string folder = vx::AppsPath + "assistant";
    const std::string program = folder + "/" + vx::FindApp(4)->MainFile;
    track(program);
    const std::string log = folder + "/assistant.log";

    // Not connected: started; once it has connected, asked to show itself instead.
    EXPECT_EQ(api->_RunApp("4"), "正在启动");
    waitFor([this] { return linkCount("应用上线:appID=4") == 1; }, "the assistant to connect");
    EXPECT_EQ(api->_RunApp("4"), "已运行");
    waitFor([&] { return linesStarting(log, "显示窗口 ShowForm?a") == 1; }, "ShowForm?a");

    // It cannot be removed while it runs...
    EXPECT_EQ(api->_UninstallApp("4"), "应用正在运行，请先关闭后再卸载");
    EXPECT_TRUE(fs::exists(program));
    // ...and can once it has gone.
    killProgram(program);
    waitFor([this] { return linkCount("应用下线:appID=4") == 1; }, "the assistant to leave");
    EXPECT_EQ(api->_UninstallApp("4"), "未安装");
    EXPECT_FALSE(fs::exists(folder));
    EXPECT_EQ(api->_CheckAPP("4"), "未安装");
    EXPECT_EQ(api->_RunApp("4"), "未安装");
}

TEST_F(SeamTest, CancelStopsASlowInstallAndLeavesNothingBehind) {
    // The package comes from a server that sends it slowly, a little at a time, so that the
    // real downloader is still at it when the install is cancelled.
    std::atomic<bool> released{false};
    std::atomic<std::size_t> sent{0};
    httplib::Server slow;
    slow.Get(R"(/(.*))", [&](const httplib::Request&, httplib::Response& res) {
        res.set_content_provider(
            std::size_t(100) << 20, "application/zip",
            [&](std::size_t, std::size_t, httplib::DataSink& sink) {
                if (released || !sink.is_writable())
                    return false;
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
                const std::string chunk(4096, 'z');
                sent += chunk.size();
                return sink.write(chunk.data(), chunk.size());
            });
    });
    const int slowPort = slow.bind_to_any_port("127.0.0.1");
    std::thread server([&] { slow.listen_after_bind(); });
    while (!slow.is_running())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    struct Stop {
        httplib::Server& s;
        std::thread& t;
        std::atomic<bool>& released;
        ~Stop() {
            released = true;
            s.stop();
            t.join();
        }
    } stop{slow, server, released};

    std::vector<std::string> downloaderTexts;
    vx::setDownloadMessageHandler([&](int id, const std::string& text) {
        if (id == 15)
            downloaderTexts.push_back(vx::fromAnsi(text));
        api->DownloadNotify(id, text);
    });
    struct Restore {
        vx::TVX_JS& api;
        ~Restore() {
            vx::setDownloadMessageHandler(
                [a = &api](int id, const std::string& text) { a->DownloadNotify(id, text); });
        }
    } restore{*api};
    login();
    vx::TMyApp* app = vx::FindApp(15);
    ASSERT_TRUE(app);
    const std::string realDirUrl = app->DirUrl;
    app->DirUrl = "http://127.0.0.1:" + std::to_string(slowPort) + "/";
    EXPECT_EQ(api->_InstallApp("15"), "正在安装");
    waitFor([&] { return sent.load() > (256u << 10); }, "part of the package");
    host.calls.clear();
    EXPECT_EQ(api->_CancelInstall("15"), "已取消");
    EXPECT_TRUE(host.has("ST_setFlatDivAnlv(\"15\",\"已取消\")"));
    // The same application again at once, before the library's "已取消": refused, so the
    // stopped call's end can never be taken for the new one's.
    EXPECT_EQ(api->_InstallApp("15"), "有应用正在安装，请稍候再试...");
    waitFor([&] { return !downloaderTexts.empty() && downloaderTexts.back() == "已取消"; },
            "the downloader's end");
    EXPECT_FALSE(vx::installBusy);
    EXPECT_TRUE(host.has("ST_icoStatu(\"15\",\"未安装\")"));
    loop.runFor(std::chrono::milliseconds(200));
    // The late end changed nothing; the partial package is gone.
    EXPECT_FALSE(host.has("ST_setFlatDivAnlv(\"15\",\"安装失败\")"));
    EXPECT_EQ(api->_CheckAPP("15"), "未安装");
    std::vector<std::string> left;
    std::error_code ec;
    for (const auto& e : fs::recursive_directory_iterator(app->appDir, ec))
        if (!e.is_directory())
            left.push_back(e.path().string());
    EXPECT_TRUE(left.empty()) << left.front();
    EXPECT_EQ(api->_CancelInstall("15"), "");

    // The next install runs through.
    app->DirUrl = realDirUrl;
    EXPECT_EQ(api->_InstallApp("15"), "正在安装");
    waitIdle("the second install");
    EXPECT_TRUE(host.has("ST_setFlatDivAnlv(\"15\",\"安装完成\")"));
    EXPECT_EQ(api->_CheckAPP("15"), "正常");
}

TEST_F(SeamTest, WhatACrashLeftIsClearedAtTheNextStart) {
    // A client killed while it installed: a stage beside the application's folder and a
    // temporary download inside it; and the same of a process that still runs (pid 1).
    client.write("apps/.app30.vxstage-999999999-0/files/a.txt", "staged");
    client.write("apps/app30/.a.txt.vxdl-999999999-0", "partial");
    client.write("apps/app30/a.txt", "old");
    client.write("apps/app30/.b.txt.vxdl-1-0", "still being written");
    // What the client does at its start, through the real library.
    EXPECT_TRUE(libs.CleanLeftovers(vx::toAnsi(vx::AppsPath)));
    EXPECT_FALSE(fs::exists(vx::AppsPath + ".app30.vxstage-999999999-0"));
    EXPECT_FALSE(fs::exists(vx::AppsPath + "app30/.a.txt.vxdl-999999999-0"));
    EXPECT_EQ(vxtest::readFile(vx::AppsPath + "app30/a.txt"), "old");
    EXPECT_TRUE(fs::exists(vx::AppsPath + "app30/.b.txt.vxdl-1-0"));
}

TEST_F(SeamTest, AnUpdateCutShortIsUndoneBeforeItsFilesAreCompared) {
    login();
    ASSERT_EQ(api->_InstallApp("12"), "正在安装");
    waitIdle("the install of 12");
    ASSERT_EQ(api->_CheckAPP("12"), "有升级");
    // A client killed while it updated 12: the new readme moved in, the old one kept in the
    // stage, the journal noting the move.
    const std::string app = vx::AppsPath + "userinfo";
    const std::string readme = app + "/readme.txt", stage = app + "/.readme.txt.vxstage-999999999-0";
    const std::string fresh =
        vxtest::readFile(std::string(VX_SAMPLE_APPS_DIR) + "/userinfo/files/readme.txt");
    fs::create_directories(stage + "/old");
    fs::create_hard_link(readme, stage + "/old/0");
    client.write(fs::relative(stage + "/new", client.path()).string(), fresh);
    fs::rename(stage + "/new", readme);
    struct stat st {};
    ASSERT_EQ(::stat(readme.c_str(), &st), 0);
    client.write(fs::relative(stage + "/journal", client.path()).string(),
                 "B\nM\t" + stage + "/new\t" + readme + "\t" + stage + "/old/0\t" +
                     std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino) + "\n");
    // The update compares the files once the cut one is undone, so it fetches the readme
    // again; the next start finds nothing to put back.
    ASSERT_EQ(api->_UpdateApp("12"), "正在升级");
    waitIdle("the update of 12");
    EXPECT_TRUE(host.has("ST_setFlatDivAnlv(\"12\",\"升级完成\")"));
    EXPECT_EQ(requests("GET /apps/userinfo/readme.txt"), 1);
    EXPECT_TRUE(libs.CleanLeftovers(vx::toAnsi(vx::AppsPath)));
    EXPECT_FALSE(fs::exists(stage));
    EXPECT_EQ(vxtest::readFile(readme), fresh);
    EXPECT_EQ(api->_CheckAPP("12"), "正常");
}

TEST_F(SeamTest, TheSystemBrowserInheritsNothingOfTheClient) {
    startLink();
    const int strayFile = ::open("/dev/zero", O_RDONLY);
    ASSERT_GE(strayFile, 0);
    RawPeer watcher(port, 30); // an accepted connection of the link server
    ASSERT_TRUE(watcher.connected());
    // The system's opener is the probe here: it writes its descriptors to the "address".
    const std::string bin = client.file("bin");
    fs::create_directories(bin);
    fs::copy_file(VX_FD_PROBE, bin + "/xdg-open");
    const std::string path = std::getenv("PATH") ? std::getenv("PATH") : "";
    ::setenv("PATH", (bin + ":" + path).c_str(), 1);
    const std::string report = client.file("browser-fds.txt");
    const bool opened = vx::platform::openUrl(report);
    ::setenv("PATH", path.c_str(), 1);
    ASSERT_TRUE(opened);
    waitFor([&] { return fs::exists(report); }, "the opener's report");
    auto got = lines(report);
    ASSERT_FALSE(got.empty());
    got.erase(got.begin());
    EXPECT_EQ(got, (std::vector<std::string>{"0 /dev/null", "1 /dev/null", "2 /dev/null"}));
    ::close(strayFile);
}

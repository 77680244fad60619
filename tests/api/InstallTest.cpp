#include "core/Background.h"
#include "ApiFixture.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <fstream>
#include <sys/stat.h>
#include <zip.h>

#include "core/Crypto.h"
#include "core/Text.h"

using namespace apitest;

namespace {

// A zip package of the given files, as bytes.
std::string makeZip(const vxtest::TempDir& dir, const std::map<std::string, std::string>& files) {
    std::string path = dir.file("pkg-build.zip");
    int err = 0;
    zip_t* z = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &err);
    for (const auto& [name, content] : files) {
        zip_source_t* src = zip_source_buffer(z, content.data(), content.size(), 0);
        zip_file_add(z, name.c_str(), src, ZIP_FL_OVERWRITE | ZIP_FL_ENC_UTF_8);
    }
    zip_close(z);
    std::string bytes = vxtest::readFile(path);
    std::filesystem::remove(path);
    return bytes;
}

std::string md5Upper(const std::string& bytes) {
    std::string d = vx::md5HexLower(bytes);
    for (char& c : d)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return d;
}

class InstallTest : public ApiTest {
protected:
    void SetUp() override {
        ApiTest::SetUp();
        ASSERT_TRUE(libs.bindDownloader(VX_LIB_DIR).ok());
        // Failures and retries must not make the tests wait.
        void* h = ::dlopen((std::string(VX_LIB_DIR) + "/libDownLoader.so").c_str(), RTLD_NOW);
        using Tune = void (*)(int, int, int);
        if (auto tune = reinterpret_cast<Tune>(::dlsym(h, "DownLoaderSetTimingsForTests")))
            tune(2000, 5, 10);
        api = std::make_unique<vx::TVX_JS>(host, link, libs);
        api->scriptFolder = dir.path().string();
        vx::setDownloadMessageHandler(
            [this](int id, const std::string& text) { api->DownloadNotify(id, text); });
        service.server.Get("/myApps.php", [this](const httplib::Request&, httplib::Response& res) {
            res.set_content(listReply(apps), "text/xml");
        });
        service.server.Get(R"(/apps/(.*))", [this](const httplib::Request& req,
                                                   httplib::Response& res) {
            std::lock_guard lock(m);
            auto it = files.find(req.matches[1]);
            if (it == files.end()) {
                res.status = 404;
                return;
            }
            res.set_content(it->second, "application/octet-stream");
        });
    }
    void TearDown() override {
        vx::setDownloadMessageHandler(nullptr);
        ApiTest::TearDown();
    }

    void publish(const std::string& path, const std::string& content) {
        std::lock_guard lock(m);
        files[path] = content;
    }
    void loadList() {
        api->_GetMyApps();
        settle();
        host.calls.clear();
    }
    void waitIdle(const char* what) {
        waitFor([] { return !vx::installBusy && vx::THttpThread::liveCount() == 0 && vx::backgroundJobsRunning() == 0; }, what);
    }
    std::string descriptor(const std::string& version, const std::string& entries,
                           const std::string& zip = "pkg.zip") {
        return "<?xml version=\"1.0\" encoding=\"utf-8\"?><info><version>" + version +
               "</version><zipFile>" + zip + "</zipFile><updateFile>" + entries +
               "</updateFile></info>";
    }

    vx::HelperLibraries libs;
    std::mutex m;
    std::map<std::string, std::string> files;
    std::vector<std::string> apps{appElement(30, "app30", "1.0")};
};

} // namespace

TEST_F(InstallTest, InstallWithProgressToNormal) {
    std::string big(3 << 20, 'x'); // several progress steps
    publish("app30/version.xml", descriptor("1.0", ""));
    publish("app30/pkg.zip", makeZip(dir, {{"version.xml", descriptor("1.0", "")},
                                           {"run.sh", "#!/bin/sh\n"},
                                           {"data/big.bin", big}}));
    loadList();
    EXPECT_EQ(api->_InstallApp("30"), "正在安装");
    EXPECT_TRUE(vx::installBusy);
    EXPECT_EQ(api->_InstallApp("30"), "有应用正在安装，请稍候再试...");
    EXPECT_EQ(api->_UpdateApp("30"), "有应用正在安装，请稍候再试...");
    waitIdle("the install");

    auto progress = host.callsStarting("ST_jdt(");
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress.back(), "ST_jdt(\"30\",100);");
    // Completion: the state text, then the refresh still showing the state, then cleared.
    auto tail = std::vector<std::string>(host.calls.end() - 2, host.calls.end());
    EXPECT_EQ(tail, (std::vector<std::string>{"ST_setFlatDivAnlv(\"30\",\"安装完成\")",
                                              "ST_icoStatu(\"30\",\"正在安装\")"}));
    EXPECT_EQ(vx::FindApp(30)->DownStatu, "");
    EXPECT_EQ(api->_CheckAPP("30"), "正常");
    EXPECT_EQ(vxtest::readFile(vx::AppsPath + "app30/data/big.bin"), big);
    EXPECT_FALSE(std::filesystem::exists(vx::AppsPath + "app30/pkg.zip"));
}

TEST_F(InstallTest, UpdateFetchesOnlyChangedFilesOnce) {
    const std::string same = "unchanged", fresh = "new content", old = "old content";
    dir.write("apps/app30/version.xml", descriptor("0.9", ""));
    dir.write("apps/app30/same.txt", same);
    dir.write("apps/app30/bin/changed.txt", old);
    const std::string entries =
        "<f Dir=\"{app}\" Name=\"same.txt\" MD5=\"" + md5Upper(same) + "\"/>"
        "<f Dir=\"{APP}bin\\\" Name=\"changed.txt\" MD5=\"" + md5Upper(fresh) + "\"/>"
        "<f dir=\"{app}bin\\\" name=\"changed.txt\" md5=\"" + md5Upper(fresh) + "\"/>"
        "<f Dir=\"{app}../../\" Name=\"evil.txt\" MD5=\"00\"/>"
        "<f Dir=\"/tmp/\" Name=\"evil2.txt\" MD5=\"00\"/>";
    publish("app30/version.xml", descriptor("1.0", entries));
    publish("app30/bin\\changed.txt", fresh);
    loadList();
    EXPECT_EQ(api->_CheckAPP("30"), "有升级");
    EXPECT_EQ(api->_UpdateApp("30"), "正在升级");
    EXPECT_EQ(vx::FindApp(30)->DownStatu, "正在升级");
    waitIdle("the update");
    EXPECT_EQ(service.count("GET /apps/app30/bin"), 1);
    EXPECT_EQ(service.count("GET /apps/app30/same.txt"), 0);
    EXPECT_EQ(vxtest::readFile(vx::AppsPath + "app30/bin/changed.txt"), fresh);
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "evil.txt"));
    EXPECT_TRUE(host.has("ST_setFlatDivAnlv(\"30\",\"升级完成\")"));
    EXPECT_EQ(api->_CheckAPP("30"), "正常"); // the new descriptor is in place
}

TEST_F(InstallTest, UpdateWithNothingToFetchFailsButKeepsTheDescriptor) {
    const std::string same = "same";
    dir.write("apps/app30/version.xml", descriptor("0.9", ""));
    dir.write("apps/app30/a.txt", same);
    publish("app30/version.xml",
            descriptor("1.0", "<f Dir=\"{app}\" Name=\"a.txt\" MD5=\"" + md5Upper(same) + "\"/>"));
    loadList();
    api->_UpdateApp("30");
    waitIdle("the update");
    EXPECT_EQ(host.calls, (std::vector<std::string>{"ST_setFlatDivAnlv(\"30\",\"安装失败\")"}));
    EXPECT_EQ(vx::FindApp(30)->DownStatu, "升级失败");
    vx::FindApp(30)->DownStatu.clear();
    EXPECT_EQ(api->_CheckAPP("30"), "正常");
}

TEST_F(InstallTest, LowerCaseDigestsAlwaysDownload) {
    const std::string same = "same";
    dir.write("apps/app30/version.xml", descriptor("0.9", ""));
    dir.write("apps/app30/a.txt", same);
    publish("app30/version.xml", descriptor("1.0", "<f Dir=\"{app}\" Name=\"a.txt\" MD5=\"" +
                                                       vx::md5HexLower(same) + "\"/>"));
    publish("app30/a.txt", same);
    loadList();
    api->_UpdateApp("30");
    waitIdle("the update");
    EXPECT_EQ(service.count("GET /apps/app30/a.txt"), 1);
}

TEST_F(InstallTest, DescriptorFailures) {
    loadList();
    // No descriptor on the service.
    api->_InstallApp("30");
    waitIdle("the install");
    EXPECT_EQ(host.calls, (std::vector<std::string>{"ST_setFlatDivAnlv(\"30\",\"安装失败\")"}));
    EXPECT_EQ(vx::FindApp(30)->DownStatu, "安装失败");
    // A descriptor without the package name, and one that is not XML.
    for (std::string bad : {std::string("<info><version>1</version></info>"),
                            std::string("<info><zipFile>x.zip</zipFile>"),
                            std::string("<info><zipFile>../../x.zip</zipFile></info>")}) {
        publish("app30/version.xml", bad);
        host.calls.clear();
        api->_InstallApp("30");
        waitIdle("the install");
        EXPECT_EQ(host.calls, (std::vector<std::string>{"ST_setFlatDivAnlv(\"30\",\"安装失败\")"}))
            << bad;
        host.calls.clear();
        api->_UpdateApp("30");
        waitIdle("the update");
        EXPECT_EQ(vx::FindApp(30)->DownStatu, "升级失败") << bad;
    }
    // Ids that name nothing change nothing.
    EXPECT_EQ(api->_InstallApp("99"), "安装失败");
    EXPECT_EQ(api->_InstallApp("abc"), "安装失败");
    EXPECT_EQ(api->_UpdateApp("abc"), "升级失败");
    EXPECT_FALSE(vx::installBusy);
}

TEST_F(InstallTest, DownloadErrorEndsTheOperation) {
    publish("app30/version.xml", descriptor("1.0", "")); // the package itself is missing
    loadList();
    api->_InstallApp("30");
    waitIdle("the failed install");
    EXPECT_FALSE(host.callsStarting("ST_softStatu(").empty()); // what failed, in the status line
    EXPECT_TRUE(host.has("ST_setFlatDivAnlv(\"30\",\"安装失败\")"));
    EXPECT_EQ(host.calls.back(), "ST_icoStatu(\"30\",\"安装失败\")");
    EXPECT_EQ(vx::FindApp(30)->DownStatu, "安装失败");
    // The next install is not refused.
    EXPECT_EQ(api->_InstallApp("30"), "正在安装");
    waitIdle("the second install");
}

TEST_F(InstallTest, DownloaderMessages) {
    loadList();
    vx::installBusy = true;
    vx::FindApp(30)->DownStatu = "正在升级";
    api->DownloadNotify(30, "process:45");
    api->DownloadNotify(30, "PROCESS:46");
    api->DownloadNotify(0, "process:47"); // the client's own update: no application
    api->DownloadNotify(30, "process:4);alert(1");
    api->DownloadNotify(30, vx::toAnsi("正在下载 a.txt"));
    EXPECT_TRUE(vx::installBusy);
    api->DownloadNotify(30, vx::toAnsi("完成"));
    EXPECT_FALSE(vx::installBusy);
    EXPECT_EQ(host.calls, (std::vector<std::string>{
                              "ST_jdt(\"30\",45);", "ST_jdt(\"30\",46);",
                              "ST_softStatu(\"process:4);alert(1\")",
                              "ST_softStatu(\"正在下载 a.txt\")",
                              "ST_setFlatDivAnlv(\"30\",\"升级完成\")",
                              "ST_icoStatu(\"30\",\"正在升级\")"}));
    EXPECT_EQ(vx::FindApp(30)->DownStatu, "");
}

TEST_F(InstallTest, SelfUpdateDownloadsChangedFilesAndRestarts) {
    // The "client" is a script that records each start; the new one confirms it, as a
    // healthy client does once its start page has loaded.
    const std::string v1 = "#!/bin/sh\necho v1 >> \"$(dirname \"$0\")/starts.txt\"\n";
    const std::string v2 = "#!/bin/sh\necho v2 >> \"$(dirname \"$0\")/starts.txt\"\n"
                           ": > \"$(dirname \"$0\")/Update/healthy\"\n";
    dir.write("Config/config.xml", "<config><updatewait> 20 </updatewait></config>");
    api->executablePath = dir.write("vxclient", v1);
    ::chmod(api->executablePath.c_str(), 0755);
    publish("KVLMZ/vxclient", v2);
    publish("KVLMZ/version.xml",
            "<?xml version=\"1.0\" encoding=\"utf-8\"?><verInfo><updateFile>"
            "<f Dir=\"{app}\" Name=\"vxclient\" MD5=\"" + md5Upper(v2) + "\"/>"
            "<f Dir=\"{app}\" Name=\"vxclient\" MD5=\"" + md5Upper(v2) + "\"/>"
            "<f Dir=\"{app}\" Name=\"skip.dll\" MD5=\"" + md5Upper(v1) + "\"/>"
            "</updateFile></verInfo>");
    std::string shown, underTheBox;
    vx::SetShowMsgHook([&](const std::string&, const std::string& text) {
        shown = text;
        // The box's modal loop runs page calls: an install started now would be cut off by
        // the restart.
        underTheBox = api->_InstallApp("30");
    });
    api->CheckMainVer();
    EXPECT_TRUE(vx::installBusy);
    waitFor([&] { return host.closed == 1; }, "the client to close for its update");
    vx::SetShowMsgHook(nullptr);
    EXPECT_EQ(shown, "主程序新版本下载完成，点击确定 重起 并 升级 软件");
    EXPECT_EQ(underTheBox, "有应用正在安装，请稍候再试...");
    EXPECT_FALSE(vx::installBusy);
    EXPECT_EQ(service.count("GET /apps/KVLMZ/vxclient"), 1);
    EXPECT_EQ(service.count("GET /apps/KVLMZ/skip.dll"), 0);
    EXPECT_TRUE(std::filesystem::exists(dir.file("temp.sh")));
    // The script waits, moves the new file over the old one and starts it.
    for (int i = 0; i < 300 && !std::filesystem::exists(dir.file("starts.txt")); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_TRUE(std::filesystem::exists(dir.file("starts.txt")));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(vxtest::readFile(dir.file("starts.txt")), "v2\n");
    EXPECT_FALSE(std::filesystem::exists(dir.file("Update/vxclient")));
    // The time limit is config.xml's.
    EXPECT_NE(vxtest::readFile(dir.file("temp.sh")).find("-ge 20 ]"), std::string::npos);
    // Once the script has seen the confirmation, the old client's copy goes.
    for (int i = 0; i < 300 && std::filesystem::exists(dir.file("Update/backup")); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(std::filesystem::exists(dir.file("Update/backup")));
    EXPECT_FALSE(std::filesystem::exists(dir.file("Update/rolledback")));
}

TEST_F(InstallTest, SelfUpdateWithNothingNewEndsSilently) {
    api->executablePath = dir.write("vxclient", "same");
    publish("KVLMZ/version.xml", "<verInfo><updateFile><f Dir=\"{app}\" Name=\"vxclient\" MD5=\"" +
                                     md5Upper("same") + "\"/></updateFile></verInfo>");
    api->CheckMainVer();
    waitIdle("the check");
    publish("KVLMZ/version.xml", "<other/>");
    api->CheckMainVer();
    waitIdle("the second check");
    EXPECT_TRUE(host.calls.empty());
    EXPECT_EQ(host.closed, 0);
    EXPECT_FALSE(std::filesystem::exists(vx::AppPath + "Update"));
}

TEST_F(InstallTest, AClientCheckBesideAnInstallLeavesTheInstallsHold) {
    loadList();
    api->executablePath = dir.write("vxclient", "same");
    publish("KVLMZ/version.xml", "<verInfo><updateFile><f Dir=\"{app}\" Name=\"vxclient\" MD5=\"" +
                                     md5Upper("same") + "\"/></updateFile></verInfo>");
    // An install runs (its download still under way) when the page checks the client.
    vx::installBusy = true;
    vx::FindApp(30)->DownStatu = "正在安装";
    api->CheckMainVer();
    settle();
    // The check found nothing, but the flag is the install's.
    EXPECT_TRUE(vx::installBusy);
    EXPECT_EQ(api->_InstallApp("30"), "有应用正在安装，请稍候再试...");
    api->DownloadNotify(30, vx::toAnsi("完成"));
    EXPECT_FALSE(vx::installBusy);

    // The other way round: a client download runs beside an install that ends first; the
    // flag stays set until the client's own download ends.
    publish("KVLMZ/version.xml", "<verInfo><updateFile><f Dir=\"{app}\" Name=\"vxclient\" MD5=\"" +
                                     md5Upper("new") + "\"/></updateFile></verInfo>");
    // (A recording downloader: the client's download must not end by itself here.)
    vx::TVX_JS client(host, link, downloader);
    client.executablePath = api->executablePath;
    vx::installBusy = true;
    vx::FindApp(30)->DownStatu = "正在安装";
    client.CheckMainVer();
    settle();
    ASSERT_EQ(downloader.calls.size(), 1u);
    client.DownloadNotify(30, vx::toAnsi("完成"));
    EXPECT_TRUE(vx::installBusy);
    client.DownloadNotify(0, vx::toAnsi("error:下载失败"));
    EXPECT_FALSE(vx::installBusy);
}

TEST_F(InstallTest, RepeatedUpdateChecksReadNothingUnchangedAndCatchWritesBehindTheCache) {
    vx::setDigestCacheSettleTime(std::chrono::nanoseconds(0)); // the files are brand new here
    const std::string a = "first file", b = "old content";
    dir.write("apps/app30/version.xml", descriptor("0.9", ""));
    dir.write("apps/app30/a.txt", a);
    const std::string bPath = dir.write("apps/app30/b.txt", b);
    publish("app30/version.xml",
            descriptor("1.0", "<f Dir=\"{app}\" Name=\"a.txt\" MD5=\"" + md5Upper(a) + "\"/>"
                              "<f Dir=\"{app}\" Name=\"b.txt\" MD5=\"" + md5Upper(b) + "\"/>"));
    publish("app30/b.txt", b);
    loadList();
    auto check = [&](const char* what) {
        const long long before = vx::digestFilesRead();
        EXPECT_EQ(api->_UpdateApp("30"), "正在升级");
        waitIdle(what);
        return vx::digestFilesRead() - before;
    };
    // Everything current: the same outcome each time, but only the first check reads.
    EXPECT_EQ(check("the first check"), 2);
    EXPECT_EQ(check("the second check"), 0);
    EXPECT_EQ(service.count("GET /apps/app30/b.txt"), 0);
    EXPECT_EQ(vx::FindApp(30)->DownStatu, "升级失败");

    // b.txt changes through another name of the same file, keeping its size, and its
    // modification time is set back: only the change time tells.
    const std::string other = dir.file("apps/other-name");
    std::filesystem::create_hard_link(bPath, other);
    struct stat st {};
    ASSERT_EQ(::stat(bPath.c_str(), &st), 0);
    {
        std::ofstream(other, std::ios::binary | std::ios::trunc) << "new content";
    }
    const timespec times[2] = {st.st_atim, st.st_mtim};
    ASSERT_EQ(::utimensat(AT_FDCWD, bPath.c_str(), times, 0), 0);
    EXPECT_EQ(check("the check after the change"), 1);
    EXPECT_EQ(service.count("GET /apps/app30/b.txt"), 1);
    EXPECT_EQ(vxtest::readFile(bPath), b);
    EXPECT_TRUE(host.has("ST_setFlatDivAnlv(\"30\",\"升级完成\")"));

    // A damaged cache only means reading again.
    dir.write("apps/app30/version.digests", "vxdigests 1\nnot a line\n");
    EXPECT_EQ(check("the check with a damaged cache"), 2);
    vx::setDigestCacheSettleTime(std::chrono::seconds(2));
}

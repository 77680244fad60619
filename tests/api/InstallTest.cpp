// Installs and updates of applications through the real downloader.

#include "InstallFixture.h"

using namespace apitest;

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

TEST_F(InstallTest, EveryDownloaderCallIsCountedUntilItsFinalMessageEvenWithNoMainThread) {
    // A test's (or a closing client's) main thread may go while a call still runs: the call's
    // messages are then dropped, and it still counts as running until its final one.
    publish("app30/a.bin", "aaaa");
    publish("app30/b.bin", "bbbb");
    std::map<int, std::vector<std::string>> got;
    vx::setDownloadMessageHandler(
        [&](int id, const std::string& text) { got[id].push_back(vx::fromAnsi(text)); });
    struct Case {
        const char* name;
        std::vector<std::string> files;
        bool cancel;
        const char* final; // how the call's last message begins
    };
    const Case cases[] = {
        {"one file", {"a.bin"}, false, "完成"},
        {"two files", {"a.bin", "b.bin"}, false, "完成"},
        {"missing", {"none.bin"}, false, "error:"},
        {"cancelled", {"a.bin"}, true, "已取消"},
    };
    int id = 100;
    for (const Case& c : cases)
        for (const bool mainThreadStays : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (mainThreadStays ? "" : ", the main thread gone"));
            ++id;
            std::string urls, paths;
            for (const std::string& f : c.files) {
                urls += service.base() + "apps/app30/" + f + "\r\n";
                paths += dir.file(std::to_string(id) + f) + "\r\n";
            }
            const std::string first = "app30/" + c.files[0];
            const int before = requestsFor(first);
            hold(first);
            libs.DownFile(urls, paths, "", 1, id);
            EXPECT_EQ(vx::HelperLibraries::downloadsRunning(), 1);
            waitFor([&] { return requestsFor(first) > before; }, "the request");
            if (c.cancel) {
                EXPECT_TRUE(libs.CancelDown(id));
            }
            if (!mainThreadStays)
                vx::setMainThread(nullptr);
            release();
            while (vx::HelperLibraries::downloadsRunning() != 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            vx::setMainThread(&loop);
            loop.processPending();
            if (!mainThreadStays) { // what came before it went reached the handler, no more
                for (const std::string& text : got[id])
                    EXPECT_NE(text.rfind(c.final, 0), 0u) << text;
                continue;
            }
            ASSERT_FALSE(got[id].empty());
            EXPECT_EQ(got[id].back().rfind(c.final, 0), 0u) << got[id].back();
        }
    // Without a downloader library every kind of call ends at once, counted and told.
    vx::HelperLibraries none;
    none.DownFile("u\r\n", "p\r\n", "", 1, 1);
    none.DownFileSha256("u\r\n", "p\r\n", "", "", 1, 2);
    none.DownFileResumable("u\r\n", "p\r\n", "", "", 1, 3);
    none.DownFilePatched("u\r\n", "p\r\n", "", "", "", 1, 4);
    EXPECT_EQ(vx::HelperLibraries::downloadsRunning(), 0);
    loop.processPending();
    for (int call = 1; call <= 4; ++call)
        EXPECT_EQ(got[call], (std::vector<std::string>{"下载器不可用", "error:下载器不可用"})) << call;
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

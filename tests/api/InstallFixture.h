#pragma once
// The install, update and self-update tests' set-up: the page API with the real downloader
// and an in-process service that serves what each test publishes.

#include "ApiFixture.h"
#include "core/Background.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <fstream>
#include <condition_variable>
#include <map>
#include <set>
#include <sys/stat.h>
#include <zip.h>

#include "core/Crypto.h"
#include "core/Text.h"

namespace apitest {

// A zip package of the given files, as bytes.
inline std::string makeZip(const vxtest::TempDir& dir, const std::map<std::string, std::string>& files) {
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

inline std::string md5Upper(const std::string& bytes) {
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
        shortenDownloaderTimings();
        api = std::make_unique<vx::TVX_JS>(host, link, libs);
        api->scriptFolder = dir.path().string();
        api->clientProcessId = 0; // no update script waits for the test to end
        vx::setDownloadMessageHandler(
            [this](int id, const std::string& text) { api->DownloadNotify(id, text); });
        service.server.Get("/myApps.php", [this](const httplib::Request&, httplib::Response& res) {
            res.set_content(listReply(apps), "text/xml");
        });
        service.server.Get(R"(/apps/(.*))", [this](const httplib::Request& req,
                                                   httplib::Response& res) {
            std::unique_lock lock(m);
            ++requested[req.matches[1]];
            released.wait(lock, [&] { return held.count(req.matches[1]) == 0; });
            auto it = files.find(req.matches[1]);
            if (it == files.end()) {
                res.status = 404;
                return;
            }
            res.set_content(it->second, "application/octet-stream");
        });
    }
    void TearDown() override {
        release();
        // A call the test left running (a pause, a cancel) still ends with its message: it
        // must not come after the test's main thread is gone.
        loop.runUntil([] { return vx::HelperLibraries::downloadsRunning() == 0; },
                      std::chrono::seconds(60));
        vx::setDownloadMessageHandler(nullptr);
        ApiTest::TearDown();
    }

    // Requests for a held path wait in the service until release().
    void hold(const std::string& path) {
        std::lock_guard lock(m);
        held.insert(path);
    }
    void release() {
        {
            std::lock_guard lock(m);
            held.clear();
        }
        released.notify_all();
    }
    int requestsFor(const std::string& path) {
        std::lock_guard lock(m);
        return requested[path];
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
        return "<?xml version=\"1.0\" encoding=\"utf-8\"?><info><appId>30</appId><version>" +
               version + "</version><MainFile>run.sh</MainFile><zipFile>" + zip +
               "</zipFile><updateFile>" + entries + "</updateFile></info>";
    }

    vx::HelperLibraries libs;
    std::mutex m;
    std::condition_variable released;
    std::set<std::string> held;
    std::map<std::string, int> requested;
    std::map<std::string, std::string> files;
    std::vector<std::string> apps{appElement(30, "app30", "1.0")};
};


} // namespace apitest

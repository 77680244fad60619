// The main thread during long operations, through the page API with a real loopback service:
//   - an update check of an installed application of 5,000 files, 2 GiB in all, whose
//     descriptor lists them all with one changed, first and repeated, against md5sum of the
//     same files in the same run;
//   - the longest stall of the main thread during that check, during the first merge of a
//     list of 5,000 applications, during a status refresh of those 5,000 (installed), and
//     during the install and the uninstall of a package of 3,000 files (the real
//     downloader), against the 16 ms of one frame at 60 Hz.
// The stall is the longest lateness of a 1 ms timer on the main thread.
// VX_BENCH_SMALL=1: 500 files, 50 MiB (the same shape).

#include <httplib.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "BenchReport.h"
#include "NullPeers.h"
#include "api/UJsExterned.h"
#include "core/Background.h"
#include "core/Crypto.h"
#include "core/Digests.h"
#include "core/Global.h"
#include "core/MainThread.h"
#include "http/HttpThread.h"
#include "link/HelperLibraries.h"
#include "platform/Platform.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr double kFrameMs = 16.0;

// A 1 ms timer on the main thread: each tick is posted with its due time; the main thread
// notes how late it ran. Started and stopped around one operation.
class StallMeter {
public:
    explicit StallMeter(vx::LoopMainThread& loop) : m_loop(loop) {}
    void start() {
        m_worst = 0;
        m_run = true;
        m_ticker = std::thread([this] {
            while (m_run) {
                const auto due = Clock::now();
                m_loop.post([this, due] {
                    const double late =
                        std::chrono::duration<double, std::milli>(Clock::now() - due).count();
                    if (late > m_worst)
                        m_worst = late;
                });
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        });
    }
    double stop() {
        m_run = false;
        m_ticker.join();
        m_loop.processPending();
        return m_worst;
    }

private:
    vx::LoopMainThread& m_loop;
    std::thread m_ticker;
    std::atomic<bool> m_run{false};
    double m_worst = 0; // main thread only
};

struct RecordingDownloader : vx::IDownloader {
    int calls = 0;
    std::string urls;
    void DownFile(const std::string& u, const std::string&, const std::string&, int,
                  int) override {
        ++calls;
        urls = u;
    }
    bool CancelDown(int) override { return false; }
};

std::string appElement(int id, const std::string& dir) {
    const std::string n = std::to_string(id);
    return "<app><appId>" + n + "</appId><Name>应用" + n + "</Name><Dir>" + dir +
           "</Dir><Ico>ico.png</Ico><MainFile>main.exe</MainFile><Version>2.0</Version>"
           "<price>0</price><Statu>显示</Statu><nessary>否</nessary><Note>说明</Note>"
           "<Img>i.png</Img><Url>http://help/</Url><Sort>1</Sort>"
           "<myAppVersionName>标准版</myAppVersionName></app>";
}

std::string listOf(int from, int count, const std::string& prefix) {
    std::string s = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<apps>";
    for (int i = from; i < from + count; ++i)
        s += appElement(i, prefix + std::to_string(i));
    return s + "</apps>";
}

double md5sumMs(const fs::path& folder) {
    const std::string cmd = "cd '" + folder.string() +
                            "' && find . -type f -name 'f*' -print0 | xargs -0 md5sum > /dev/null";
    return vxbench::seconds([&] {
               if (std::system(cmd.c_str()) != 0)
                   std::fprintf(stderr, "md5sum failed\n");
           }) *
           1e3;
}

} // namespace

int main() {
    const bool small = std::getenv("VX_BENCH_SMALL") != nullptr;
    const int files = small ? 500 : 5000;
    const std::size_t total = small ? (50u << 20) : (2048ull << 20);
    const std::size_t each = total / files;

    const fs::path dir = fs::temp_directory_path() / "vx-bench-update";
    fs::remove_all(dir);
    fs::create_directories(dir);
    vx::LoopMainThread loop;
    vx::setMainThread(&loop);
    vx::InitSharedState((dir / "vxclient").string());

    // The installed application and its descriptor, one file changed.
    const fs::path app = fs::path(vx::AppsPath) / "big1";
    fs::create_directories(app / "data");
    std::string block(each, '\0');
    std::string entries;
    for (int i = 0; i < files; ++i) {
        for (std::size_t k = 0; k < block.size(); k += 64)
            block[k] = static_cast<char>(i * 31 + k);
        const std::string name = "f" + std::to_string(i) + ".bin";
        std::ofstream(app / "data" / name, std::ios::binary).write(block.data(), block.size());
        std::string md5 = i == files / 2 ? std::string(32, '0') : vx::md5HexLower(block);
        for (char& c : md5)
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        entries += "<f Dir=\"{app}data/\" Name=\"" + name + "\" MD5=\"" + md5 + "\"/>";
    }
    const std::string descriptor = "<?xml version=\"1.0\" encoding=\"utf-8\"?><info><version>2.0"
                                   "</version><zipFile>pkg.zip</zipFile><updateFile>" +
                                   entries + "</updateFile></info>";
    std::ofstream(app / "version.xml") << "<info><version>1.0</version></info>";
    // The installed descriptors of the 5,000 applications of the status refresh below.
    for (int i = 100; i < 5100; ++i) {
        const fs::path folder = fs::path(vx::AppsPath) / ("d" + std::to_string(i));
        fs::create_directories(folder);
        std::ofstream(folder / "version.xml") << "<info><version>1.0</version></info>";
    }
    double refreshStall = 0;
    // Installed files are not brand new: let the cache's settle time pass.
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));

    // The package of 3,000 files for the install.
    const fs::path pkg = dir / "pkg";
    fs::create_directories(pkg / "files");
    std::ofstream(pkg / "version.xml") << "<info><version>2.0</version></info>";
    for (int i = 0; i < 3000; ++i)
        std::ofstream(pkg / "files" / ("p" + std::to_string(i) + ".txt")) << std::string(2000, 'a' + i % 26);
    if (std::system(("cd '" + pkg.string() + "' && zip -q -r ../pkg.zip . -x '.*'").c_str()) != 0)
        std::fprintf(stderr, "zip failed\n");
    std::string zip;
    {
        std::ifstream in(dir / "pkg.zip", std::ios::binary);
        zip.assign(std::istreambuf_iterator<char>(in), {});
    }

    httplib::Server server;
    std::string list = listOf(1, 1, "big");
    server.Get("/myApps.php", [&](const httplib::Request&, httplib::Response& res) {
        res.set_content(list, "text/xml");
    });
    server.Get("/apps/big1/version.xml", [&](const httplib::Request&, httplib::Response& res) {
        res.set_content(descriptor, "text/xml");
    });
    server.Get("/apps/pkg1/version.xml", [&](const httplib::Request&, httplib::Response& res) {
        res.set_content("<info><version>2.0</version><zipFile>pkg.zip</zipFile></info>",
                        "text/xml");
    });
    server.Get("/apps/pkg1/pkg.zip", [&](const httplib::Request&, httplib::Response& res) {
        res.set_content(zip, "application/zip");
    });
    const int port = server.bind_to_any_port("127.0.0.1");
    std::thread serving([&] { server.listen_after_bind(); });
    while (!server.is_running())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    vx::SetBaseUrl("http://127.0.0.1:" + std::to_string(port) + "/");

    vxbench::NullHost host;
    vxbench::NullLink link;
    RecordingDownloader recorder;
    vx::TVX_JS api(host, link, recorder);
    StallMeter meter(loop);
    auto idle = [&] {
        return vx::THttpThread::liveCount() == 0 && vx::digestJobsRunning() == 0;
    };
    api._GetMyApps();
    loop.runUntil(idle);

    // The md5sum baseline first, so that both read the files from the page cache.
    const double baseline = std::min(md5sumMs(app), md5sumMs(app));
    auto check = [&](double& stall) {
        const int before = recorder.calls;
        vx::installBusy = false;
        meter.start();
        const double ms = vxbench::seconds([&] {
                              api._UpdateApp("1");
                              loop.runUntil([&] { return recorder.calls > before; },
                                            std::chrono::minutes(10));
                          }) *
                          1e3;
        stall = meter.stop();
        if (recorder.urls.find("f" + std::to_string(files / 2) + ".bin") == std::string::npos)
            std::fprintf(stderr, "the changed file was not fetched\n");
        return ms;
    };
    double stall = 0, again = 0;
    const double first = check(stall);
    const double repeated = check(again);
    vxbench::report("update check, first (ms) vs md5sum of the same files", first, baseline, "ms");
    vxbench::report("update check, repeated (ms) vs md5sum of the same files", repeated, baseline,
                    "ms");
    vxbench::report("main-thread stall, update check (ms)", std::max(stall, again), kFrameMs,
                    "ms");

    // The first merge of a list of 5,000 applications, from the reply to the last status.
    list = listOf(100, 5000, "d");
    meter.start();
    api._GetMyApps();
    loop.runUntil(idle);
    vxbench::report("main-thread stall, first merge of 5000 (ms)", meter.stop(), kFrameMs, "ms");
    // Every status of those 5,000 again (the page's _RefreshApp), each with its installed
    // descriptor read.
    // The first refresh reads each descriptor; a later one only looks at each file's stamp.
    double firstRefresh = 0;
    for (int round = 0; round < 2; ++round) {
        meter.start();
        api._RefreshApp();
        loop.runUntil(idle);
        (round == 0 ? firstRefresh : refreshStall) = meter.stop();
    }
    vxbench::report("main-thread stall, first status refresh of 5000 applications (ms)",
                    firstRefresh, kFrameMs, "ms");
    vxbench::report("main-thread stall, status refresh of 5000 applications (ms)", refreshStall,
                    kFrameMs, "ms");

    // An install of 3,000 files through the real downloader.
    vx::HelperLibraries libs;
    const std::string bin = fs::path(vx::platform::executablePath()).parent_path().string();
    double installStall = -1, uninstallStall = -1;
    if (libs.bindDownloader(bin).ok()) {
        vx::TVX_JS installer(host, link, libs);
        vx::setDownloadMessageHandler(
            [&](int id, const std::string& text) { installer.DownloadNotify(id, text); });
        list = listOf(1, 1, "pkg");
        installer._GetMyApps();
        loop.runUntil(idle);
        vx::installBusy = false;
        meter.start();
        installer._InstallApp("1");
        loop.runUntil([&] { return !vx::installBusy; }, std::chrono::minutes(10));
        installStall = meter.stop();
        if (!fs::exists(fs::path(vx::AppsPath) / "pkg1" / "files" / "p2999.txt"))
            std::fprintf(stderr, "the install did not complete\n");
        // Its uninstall: the folder renamed aside at once, its 3,000 files removed off the
        // main thread.
        meter.start();
        installer._UninstallApp("1");
        loop.runUntil([] { return vx::backgroundJobsRunning() == 0; }, std::chrono::minutes(1));
        uninstallStall = meter.stop();
        if (fs::exists(fs::path(vx::AppsPath) / "pkg1"))
            std::fprintf(stderr, "the uninstall did not complete\n");
        vx::setDownloadMessageHandler(nullptr);
    } else {
        std::fprintf(stderr, "no downloader library in %s\n", bin.c_str());
    }
    vxbench::report("main-thread stall, install of 3000 files (ms)", installStall, kFrameMs, "ms");
    vxbench::report("main-thread stall, uninstall of 3000 files (ms)", uninstallStall, kFrameMs,
                    "ms");

    server.stop();
    serving.join();
    loop.runUntil(idle);
    vx::setMainThread(nullptr);
    fs::remove_all(dir);
    return installStall < 0;
}

// The client's page side against a minimal Qt WebEngine program in the same run:
//  - a native call's round trip from page script (median of 10,000 calls) against the bare
//    prompt() round trip of a page whose prompt handler answers at once;
//  - start-up: from process start until the start page has loaded and the remembered users
//    have reached it, against a minimal program loading the same page;
//  - the memory of the client with its browser processes against that minimal program.
// Runs offscreen. `bench_shell --minimal URL` is the minimal program.

#include <httplib.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWebEngineView>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <dirent.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>

#include "BenchReport.h"
#include "NullPeers.h"
#include "api/PageHost.h"
#include "api/UJsExterned.h"
#include "api/VxJsMembers.h"
#include "bridge/hiJsScriptExtented.h"
#include "core/Global.h"
#include "core/MainThread.h"
#include "link/HelperLibraries.h"
#include "platform/Platform.h"
#include "shell/QtEngine.h"
#include "shell/QtMainThread.h"

extern char** environ;

namespace {

// --- Round trip of one call ------------------------------------------------------------

using vxbench::NullDownloader;
using vxbench::NullHost;
using vxbench::NullLink;

// A page whose prompt() is answered at once: the floor of any prompt-based channel.
class BarePromptPage : public QWebEnginePage {
public:
    using QWebEnginePage::QWebEnginePage;

protected:
    bool javaScriptPrompt(const QUrl&, const QString&, const QString&, QString* result) override {
        *result = QStringLiteral("{}");
        return true;
    }
};

// The median time of one call, in microseconds, over `calls` calls measured inside the
// page. The page's clock is coarse (0.1 ms), so calls are timed in batches of 50 and the
// median is taken over the batches.
double medianMicros(QWebEnginePage* page, const QString& call, int calls) {
    const QString script = QStringLiteral(
        "(function () { var t = [], k = 50, n = %1 / k; for (var i = 0; i < n; i++) {"
        " var a = performance.now(); for (var j = 0; j < k; j++) { %2; }"
        " t.push((performance.now() - a) / k); }"
        " t.sort(function (x, y) { return x - y; }); return t[Math.floor(n / 2)] * 1000; })()")
                               .arg(calls)
                               .arg(call);
    double result = -1;
    bool done = false;
    page->runJavaScript(script, [&](const QVariant& v) {
        result = v.toDouble();
        done = true;
    });
    while (!done)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    return result;
}

bool loadAndWait(QWebEnginePage* page, const QString& html, const QUrl& base) {
    bool loaded = false;
    QObject::connect(page, &QWebEnginePage::loadFinished, [&](bool) { loaded = true; });
    page->setHtml(html, base);
    QElapsedTimer t;
    t.start();
    while (!loaded && t.elapsed() < 30000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    return loaded;
}

void benchRoundTrip() {
    NullHost host;
    host.browser = false; // no page calls: the channel alone is measured
    NullLink link;
    NullDownloader down;
    vx::TVX_JS api(host, link, down);
    vx::shell::QtScriptEngine engine;
    vx::TNCJsExtended bridge(engine);
    bridge.SetProcessObject(api, vx::TVX_JS_Members());
    const QUrl base(QString::fromStdString(vx::BaseUrl));
    const QString html = QStringLiteral("<html><body>bench</body></html>");

    vx::shell::VxWebPage ours;
    BarePromptPage bare(vx::shell::clientProfile());
    if (!loadAndWait(&ours, html, base) || !loadAndWait(&bare, html, base)) {
        std::fprintf(stderr, "bench_shell: the pages did not load\n");
        return;
    }
    constexpr int kCalls = 10000;
    medianMicros(&ours, QStringLiteral("_GetUser()"), 500); // warm up both
    medianMicros(&bare, QStringLiteral("prompt('x', '')"), 500);
    const double o = medianMicros(&ours, QStringLiteral("_GetUser()"), kCalls);
    const double b = medianMicros(&bare, QStringLiteral("prompt('x', '')"), kCalls);
    vxbench::report("native call round trip, median (us) vs bare prompt", o, b, "us");
}

// --- Start-up and memory ------------------------------------------------------------------

long rssKiB(int pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::atol(line.c_str() + 6);
    return 0;
}

// The RSS of a process and all its descendants, in MiB.
double treeRssMiB(int root) {
    std::map<int, int> parent;
    if (DIR* d = ::opendir("/proc")) {
        while (dirent* e = ::readdir(d)) {
            int pid = std::atoi(e->d_name);
            if (pid <= 0)
                continue;
            std::ifstream in(std::string("/proc/") + e->d_name + "/stat");
            std::string s((std::istreambuf_iterator<char>(in)), {});
            auto close = s.rfind(')');
            if (close == std::string::npos)
                continue;
            std::istringstream rest(s.substr(close + 2));
            char state;
            int ppid;
            rest >> state >> ppid;
            parent[pid] = ppid;
        }
        ::closedir(d);
    }
    long total = 0;
    for (auto [pid, ppid] : parent) {
        for (int p = pid; p > 1; p = parent.count(p) ? parent[p] : 0)
            if (p == root) {
                total += rssKiB(pid);
                break;
            }
    }
    return total / 1024.0;
}

int spawn(const std::vector<std::string>& args, const std::string& cwd) {
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addchdir_np(&fa, cwd.c_str());
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    int rc = posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0) {
        std::fprintf(stderr, "bench_shell: cannot start %s: %s\n", argv[0], std::strerror(rc));
        return -1;
    }
    return pid;
}

struct Run {
    double seconds = -1;
    double mib = 0;
};

// Starts a program and waits until the page reports /ready; then measures its memory.
Run startAndMeasure(httplib::Server&, std::atomic<bool>& ready,
                    const std::vector<std::string>& args, const std::string& cwd) {
    ready = false;
    auto t0 = std::chrono::steady_clock::now();
    int pid = spawn(args, cwd);
    Run r;
    if (pid <= 0)
        return r;
    while (std::chrono::steady_clock::now() - t0 < std::chrono::seconds(60)) {
        if (ready) {
            r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1500)); // settle
    r.mib = treeRssMiB(pid);
    ::kill(pid, SIGTERM);
    int st = 0;
    ::waitpid(pid, &st, 0);
    return r;
}

void benchStartup(const char* self) {
    const std::filesystem::path base = std::filesystem::temp_directory_path() / "vx-bench-shell";
    std::filesystem::remove_all(base);
    std::filesystem::create_directories(base);
    std::filesystem::copy(VX_CLIENT_DIR, base / "client", std::filesystem::copy_options::recursive);
    std::ofstream(base / "client" / "Config" / "Users.xml")
        << "<VXFrame><DefUser user=\"demo\" pwd=\"\" auto=\"false\"/><User user=\"demo\" pwd=\"\"/>"
           "</VXFrame>";

    // The start page reports when the remembered users have arrived (the client) or when it
    // has loaded (the minimal program).
    std::atomic<bool> ready{false};
    httplib::Server server;
    server.Get("/", [](const httplib::Request&, httplib::Response& res) {
        res.set_content("<html><head><title>start</title><script>"
                        "function ST_writeUserForm() { fetch('/ready'); }"
                        "function ST_writeUserList() {}"
                        "window.addEventListener('load', function () {"
                        " if (typeof _LoginFun !== 'function') fetch('/ready'); });"
                        "</script></head><body>start</body></html>",
                        "text/html; charset=utf-8");
    });
    server.Get("/ready", [&](const httplib::Request&, httplib::Response& res) {
        ready = true;
        res.set_content("ok", "text/plain");
    });
    const std::string url = vx::kBuildBaseUrl;
    if (!server.bind_to_port("127.0.0.1", 18080)) {
        std::fprintf(stderr, "bench_shell: port 18080 is taken; start-up not measured\n");
        return;
    }
    std::thread t([&] { server.listen_after_bind(); });
    Run ours, bare;
    for (int i = 0; i < 3; ++i) {
        Run o = startAndMeasure(server, ready, {(base / "client" / "vxclient").string()},
                                (base / "client").string());
        Run b = startAndMeasure(server, ready, {self, "--minimal", url}, base.string());
        if (ours.seconds < 0 || (o.seconds > 0 && o.seconds < ours.seconds))
            ours = o;
        if (bare.seconds < 0 || (b.seconds > 0 && b.seconds < bare.seconds))
            bare = b;
    }
    server.stop();
    t.join();
    vxbench::report("start-up to remembered users shown (ms) vs minimal WebEngine program",
                    ours.seconds * 1000, bare.seconds * 1000, "ms");
    vxbench::report("memory with browser processes (MiB) vs minimal WebEngine program",
                    ours.mib, bare.mib, "MiB");
    std::filesystem::remove_all(base);
}

} // namespace

int main(int argc, char** argv) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    if (::getuid() == 0)
        ::setenv("QTWEBENGINE_DISABLE_SANDBOX", "1", 0);
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QApplication app(argc, argv);
    if (argc == 3 && std::string(argv[1]) == "--minimal") {
        QWebEngineView view;
        view.load(QUrl(QString::fromLocal8Bit(argv[2])));
        view.resize(850, 600);
        view.show();
        return app.exec();
    }
    static vx::shell::QtMainThread mainThread;
    vx::setMainThread(&mainThread);
    const auto cache = std::filesystem::temp_directory_path() / "vx-bench-shell-cache";
    vx::shell::createClientProfile(QString::fromStdString(cache.string()), "bench");
    benchRoundTrip();
    benchStartup(vx::platform::executablePath().c_str());
    std::filesystem::remove_all(cache);
    return 0;
}

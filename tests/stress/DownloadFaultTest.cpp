// Downloads against a server that misbehaves at random offsets: connection resets, early
// closes, stalls, a 200 answering a Range request, wrong Content-Range answers, error
// pages and a file that changes between attempts. Every run must end with the target
// byte-identical to what the server serves last ("完成"), or with "error:" and the old
// target untouched; never a wrong file, never "完成" for a failed call.
//
// The runs are seeded: VX_STRESS_SEED=<n> repeats a run printed by a failure,
// VX_STRESS_DOWNLOADS=<n> changes their number (default 240).
//
// Then updates of several files and package installs, each file behind such a server, some
// of them cancelled at a random moment: every run ends with the folder byte for byte the
// new set ("完成") or the old set ("error:", "已取消").

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <map>
#include <sstream>

#include <fcntl.h>
#include <poll.h>

#include "downloader/DownloaderHarness.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;
using namespace dltest;

namespace {

// What one connection of the server does.
enum class Act {
    Good,        // honours Range and If-Range, sends the rest
    Reset,       // headers and part of the body, then a TCP reset
    EarlyClose,  // headers with the full length, part of the body, then FIN
    Stall,       // headers and part of the body, then silence until the client gives up
    IgnoreRange, // 200 with the whole body although a range was asked
    IgnoreCut,   // 200 with the whole length announced, cut part way
    WrongRange,  // 206 whose Content-Range starts elsewhere (or is malformed)
    ErrorPage,   // 500 or 503 with an HTML page
    NotFound,    // 404 with an HTML page: fatal
    Change,      // the file changes now; this connection then answers honestly
    ChangeLie,   // the file changes, but the range is answered with 206 from the new file
    Chunked,     // 200 with the whole body in chunks, no length announced
    ChunkedCut,  // the same, closed before the last chunk
};

const char* name(Act a) {
    static const char* names[] = {"good",      "reset",      "early-close", "stall",
                                  "ign-range", "ign-cut",    "wrong-range", "error-page",
                                  "404",       "change",     "change-lie", "chunked",
                                  "chunked-cut"};
    return names[static_cast<int>(a)];
}

// Whether a connection with this act ends its attempt with the whole file.
bool completes(Act a) {
    return a == Act::Good || a == Act::IgnoreRange || a == Act::Change || a == Act::Chunked;
}

struct Request {
    std::optional<std::uint64_t> rangeStart;
    std::string ifRange;
};

Request parseRequest(const std::string& head) {
    Request r;
    std::istringstream in(head);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        auto colon = line.find(':');
        if (colon == std::string::npos)
            continue;
        std::string key = line.substr(0, colon);
        for (auto& c : key)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        std::string value = line.substr(colon + 1);
        while (!value.empty() && value.front() == ' ')
            value.erase(0, 1);
        if (key == "range" && value.rfind("bytes=", 0) == 0)
            r.rangeStart = std::stoull(value.substr(6));
        else if (key == "if-range")
            r.ifRange = value;
    }
    return r;
}

// One run's server: a script of acts for its first connections, honest afterwards.
class FaultServer {
public:
    FaultServer(std::vector<Act> script, std::string body, unsigned seed)
        : m_script(std::move(script)), m_body(std::move(body)), m_versions{m_body}, m_rng(seed) {
        auto listener = vxtest::listenLoopback(8);
        m_listen = listener.fd;
        m_port = listener.port;
        m_thread = std::thread([this] { loop(); });
    }
    ~FaultServer() {
        // The listening socket is closed only once the thread has stopped: a thread still
        // serving its last connection would otherwise accept next on a descriptor number that
        // another run's new server may have got meanwhile, and answer that run with this file.
        ::shutdown(m_listen, SHUT_RDWR);
        m_thread.join();
        ::close(m_listen);
    }
    std::string url() const {
        return vxtest::loopbackUrl(m_port, "/pkg/file.bin");
    }
    // The content served at the end of the run.
    std::string body() {
        std::lock_guard lock(m_mutex);
        return m_body;
    }
    int connections() const { return m_connections; }
    // What each connection got, and every content the file had, for a failure's message.
    std::string history() {
        std::lock_guard lock(m_mutex);
        std::string out = m_history;
        for (std::size_t v = 0; v < m_versions.size(); ++v)
            out += " v" + std::to_string(v + 1) + "=" + std::to_string(m_versions[v].size()) + "B";
        return out;
    }
    // 1 + the version the server held that had these bytes, 0 when none did.
    std::size_t versionOf(const std::string& data) {
        std::lock_guard lock(m_mutex);
        auto it = std::find(m_versions.begin(), m_versions.end(), data);
        return it == m_versions.end() ? 0 : static_cast<std::size_t>(it - m_versions.begin()) + 1;
    }

private:
    std::string etag() const { return "\"v" + std::to_string(m_version) + "\""; }

    void changeFile() {
        std::lock_guard lock(m_mutex);
        ++m_version;
        std::size_t size = m_rng() % 3 == 0 ? m_body.size() : 1 + m_rng() % 200000;
        m_body = pattern(size, static_cast<unsigned>(m_rng()));
        m_versions.push_back(m_body);
    }

    std::size_t cutPoint(std::size_t len) { return len == 0 ? 0 : m_rng() % len; }

    void loop() {
        for (;;) {
            int fd = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0)
                return;
            std::string head;
            char buf[4096];
            while (head.find("\r\n\r\n") == std::string::npos) {
                ssize_t got = ::recv(fd, buf, sizeof buf, 0);
                if (got <= 0)
                    break;
                head.append(buf, static_cast<std::size_t>(got));
            }
            Act act = m_connections < static_cast<int>(m_script.size()) ? m_script[m_connections]
                                                                        : Act::Good;
            ++m_connections;
            const Request req = parseRequest(head);
            serve(fd, req, act);
            std::lock_guard lock(m_mutex);
            m_history +=
                " [" + (head.empty() ? "no request" : head.substr(0, head.find(' '))) +
                (req.rangeStart ? " from " + std::to_string(*req.rangeStart) : std::string()) +
                ": " + name(act) + ", v" + std::to_string(m_version) + "]";
            ::close(fd);
        }
    }

    static void sendAll(int fd, std::string_view data) { RawServer::sendAll(fd, std::string(data)); }

    // Waits until the client closes its side (it gave up on a stalled transfer).
    static void waitPeerClose(int fd) {
        char buf[4096];
        while (::recv(fd, buf, sizeof buf, 0) > 0) {
        }
    }

    static void reset(int fd) {
        linger l{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    }

    void serve(int fd, const Request& req, Act act) {
        if (act == Act::Change || act == Act::ChangeLie)
            changeFile();
        const std::string body = this->body();
        const std::string tag = etag();
        std::string common = "ETag: " + tag + "\r\nAccept-Ranges: bytes\r\nConnection: close\r\n";

        if (act == Act::ErrorPage || act == Act::NotFound) {
            std::string page = "<html><body><h1>Server error</h1>" + std::string(m_rng() % 3000, 'x') +
                               "</body></html>";
            const char* status = act == Act::NotFound ? "404 Not Found"
                                 : m_rng() % 2       ? "500 Internal Server Error"
                                                     : "503 Service Unavailable";
            sendAll(fd, std::string("HTTP/1.1 ") + status +
                            "\r\nContent-Type: text/html\r\nConnection: close\r\nContent-Length: " +
                            std::to_string(page.size()) + "\r\n\r\n" + page);
            return;
        }

        if (act == Act::Chunked || act == Act::ChunkedCut) {
            // The whole file (a range is ignored), in chunks of random sizes.
            std::string out = "HTTP/1.1 200 OK\r\n" + common + "Transfer-Encoding: chunked\r\n\r\n";
            std::size_t cut = act == Act::ChunkedCut ? cutPoint(body.size()) : body.size();
            for (std::size_t off = 0; off < cut;) {
                std::size_t n = std::min<std::size_t>(cut - off, 1 + m_rng() % 40000);
                char size[32];
                std::snprintf(size, sizeof size, "%zx\r\n", n);
                out += size + body.substr(off, n) + "\r\n";
                off += n;
            }
            if (act == Act::Chunked)
                out += "0\r\n\r\n";
            sendAll(fd, out);
            return;
        }

        // Where an honest answer would start.
        bool ranged = req.rangeStart && (req.ifRange.empty() || req.ifRange == tag) &&
                      *req.rangeStart < body.size();
        if (act == Act::IgnoreRange || act == Act::IgnoreCut)
            ranged = false;
        if (act == Act::ChangeLie) {
            // A range answered from the new file under its new ETag; without a range to lie
            // about, the new file is cut instead.
            ranged = req.rangeStart && *req.rangeStart < body.size();
            if (!ranged)
                act = Act::EarlyClose;
        }

        if (act == Act::WrongRange) {
            std::uint64_t asked = req.rangeStart.value_or(0);
            std::string header;
            switch (m_rng() % 3) {
            case 0: // another start
                header = "bytes " + std::to_string(asked + 1 + m_rng() % 100) + "-" +
                         std::to_string(body.size() - 1) + "/" + std::to_string(body.size());
                break;
            case 1: // another total
                header = "bytes " + std::to_string(asked) + "-" + std::to_string(body.size() + 9) +
                         "/" + std::to_string(body.size() + 10);
                break;
            default:
                header = "bytes lots";
            }
            std::string rest = body.substr(std::min<std::size_t>(asked, body.size()));
            sendAll(fd, "HTTP/1.1 206 Partial Content\r\n" + common + "Content-Range: " + header +
                            "\r\nContent-Length: " + std::to_string(rest.size()) + "\r\n\r\n" + rest);
            return;
        }

        std::size_t start = ranged ? static_cast<std::size_t>(*req.rangeStart) : 0;
        std::string part = body.substr(start);
        std::string headers;
        if (ranged)
            headers = "HTTP/1.1 206 Partial Content\r\n" + common + "Content-Range: bytes " +
                      std::to_string(start) + "-" + std::to_string(body.size() - 1) + "/" +
                      std::to_string(body.size()) + "\r\n";
        else
            headers = "HTTP/1.1 200 OK\r\n" + common;
        headers += "Content-Length: " + std::to_string(part.size()) + "\r\n\r\n";

        switch (act) {
        case Act::Reset:
            sendAll(fd, headers + part.substr(0, cutPoint(part.size())));
            reset(fd);
            return;
        case Act::EarlyClose:
        case Act::IgnoreCut:
            sendAll(fd, headers + part.substr(0, cutPoint(part.size())));
            return;
        case Act::Stall:
            sendAll(fd, headers + part.substr(0, cutPoint(part.size())));
            waitPeerClose(fd);
            return;
        default:
            sendAll(fd, headers + part);
        }
    }

    std::vector<Act> m_script;
    std::mutex m_mutex;
    std::string m_body;
    std::vector<std::string> m_versions; // every content m_body had, the first one first
    std::string m_history;
    int m_version = 1;
    std::mt19937 m_rng;
    int m_listen = -1;
    int m_port = 0;
    std::atomic<int> m_connections{0};
    std::thread m_thread;
};

constexpr int kAttempts = 5;

struct Outcome {
    int run = 0;
    std::vector<Act> script;
    bool ok = false;
    bool expectOk = false;
    bool failed = false;
    std::string why;
};

// The outcome the script calls for: success when an attempt that completes the file comes
// before the attempts run out and before a fatal answer. (A 206 from the changed file is
// refused for its new ETag and only costs an attempt.)
bool expectedSuccess(const std::vector<Act>& script) {
    for (int i = 0; i < kAttempts; ++i) {
        Act a = i < static_cast<int>(script.size()) ? script[i] : Act::Good;
        if (a == Act::NotFound)
            return false;
        if (completes(a))
            return true;
    }
    return false;
}

Act randomAct(std::mt19937& rng) {
    // Stalls cost a second each: keep them rare.
    static const std::vector<std::pair<Act, int>> weights = {
        {Act::Reset, 16},     {Act::EarlyClose, 16}, {Act::Stall, 2},      {Act::IgnoreRange, 8},
        {Act::IgnoreCut, 10}, {Act::WrongRange, 12}, {Act::ErrorPage, 10}, {Act::NotFound, 2},
        {Act::Change, 6},     {Act::ChangeLie, 6},   {Act::Good, 6},       {Act::Chunked, 5},
        {Act::ChunkedCut, 8},
    };
    int total = 0;
    for (const auto& w : weights)
        total += w.second;
    int r = static_cast<int>(rng() % static_cast<unsigned>(total));
    for (const auto& w : weights) {
        if (r < w.second)
            return w.first;
        r -= w.second;
    }
    return Act::Good;
}

Outcome runOne(int run, unsigned seed, const vxtest::TempDir& dir) {
    std::mt19937 rng(seed);
    Outcome out;
    out.run = run;
    int faults = static_cast<int>(rng() % 7); // up to 6: some runs must run out of attempts
    for (int i = 0; i < faults; ++i)
        out.script.push_back(randomAct(rng));
    out.expectOk = expectedSuccess(out.script);

    std::string source = pattern(1 + rng() % 300000, static_cast<unsigned>(rng()));
    FaultServer server(out.script, source, static_cast<unsigned>(rng()));
    std::string target = dir.file("run" + std::to_string(run) + "/file.bin");
    const std::string old = "old content of run " + std::to_string(run);
    dir.write("run" + std::to_string(run) + "/file.bin", old);

    auto msgs = download({server.url()}, {target});
    std::string got = vxtest::readFile(target);
    const bool done = !msgs.empty() && msgs.back() == "完成";
    const bool error = !msgs.empty() && msgs.back().rfind("error:", 0) == 0;
    out.ok = done;
    std::string served = server.body();
    auto fail = [&](const std::string& why) {
        out.failed = true;
        out.why = why + " (last message: " + (msgs.empty() ? "none" : msgs.back()) + ")";
    };
    if (!done && !error)
        fail("neither 完成 nor error:");
    else if (done && got != served)
        fail("完成 with a file that differs from the source (" + std::to_string(got.size()) +
             " bytes, source " + std::to_string(served.size()) + "; server:" + server.history() +
             ")");
    else if (error && got != old)
        fail("error: but the old file was changed");
    else if (done != out.expectOk)
        fail(std::string("expected ") + (out.expectOk ? "完成" : "error:"));
    else if (done && !std::count(msgs.begin(), msgs.end(), "process:100"))
        fail("完成 without process:100");
    // Nothing but the target may stay in its folder.
    int entries = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator(dir.file("run" + std::to_string(run))))
        ++entries;
    if (!out.failed && entries != 1)
        fail("temporary files left beside the target");
    return out;
}

std::vector<Act> randomScript(std::mt19937& rng) {
    std::vector<Act> script;
    int faults = static_cast<int>(rng() % 5);
    for (int i = 0; i < faults; ++i)
        script.push_back(randomAct(rng));
    return script;
}

// Every file below a folder with its content, by relative path; folders as "<dir>".
std::map<std::string, std::string> contents(const fs::path& dir) {
    std::map<std::string, std::string> out;
    for (const auto& e : fs::recursive_directory_iterator(dir))
        out[fs::relative(e.path(), dir).string()] = e.is_directory() ? "<dir>" : vxtest::readFile(e.path().string());
    return out;
}

// How the set runs ended, to show that every outcome was met.
std::atomic<int> g_setsDone{0}, g_setsFailed{0}, g_setsCancelled{0};

// One update (or install) of a set, with faults on every file's server and perhaps a
// cancel; "" when the folder ended as the outcome says, else what is wrong.
std::string runSet(int run, unsigned seed, const vxtest::TempDir& dir) {
    std::mt19937 rng(seed);
    const bool package = rng() % 3 == 0;
    const int count = package ? 1 : 2 + static_cast<int>(rng() % 3);
    const std::string app = "set" + std::to_string(run) + "/app";
    std::map<std::string, std::string> oldSet;
    for (int i = 0; i < 4; ++i)
        if (rng() % 2)
            oldSet["f" + std::to_string(i) + ".bin"] = "old " + std::to_string(i) + " of run " + std::to_string(run);
    oldSet["user.txt"] = "the user's own";
    for (const auto& [name, data] : oldSet)
        dir.write(app + "/" + name, data);

    std::vector<std::unique_ptr<FaultServer>> servers;
    std::vector<std::string> urls, paths;
    std::map<std::string, std::string> packaged;
    if (package) {
        ZipBuilder zip;
        for (int i = 0; i < 3; ++i) {
            std::string name = (i == 2 ? "d/" : "") + ("f" + std::to_string(i) + ".bin");
            packaged[name] = pattern(1 + rng() % 100000, static_cast<unsigned>(rng()));
            zip.file(name, packaged[name]);
        }
        const std::string built = dir.file("set" + std::to_string(run) + "/build.zip");
        servers.push_back(std::make_unique<FaultServer>(randomScript(rng), zip.build(built),
                                                        static_cast<unsigned>(rng())));
        fs::remove(built);
        urls.push_back(servers.back()->url());
        paths.push_back(dir.file(app + "/pkg.zip"));
    } else {
        for (int i = 0; i < count; ++i) {
            servers.push_back(std::make_unique<FaultServer>(
                randomScript(rng), pattern(1 + rng() % 200000, static_cast<unsigned>(rng())),
                static_cast<unsigned>(rng())));
            urls.push_back(servers.back()->url());
            paths.push_back(dir.file(app + "/f" + std::to_string(i) + ".bin"));
        }
    }
    const bool cancel = rng() % 2;
    const unsigned cancelAfterMs = rng() % 3 == 0 ? rng() % 400 : rng() % 40;

    const int id = start(urls, paths, package ? dir.file(app) : "", kAttempts);
    int cancelled = 1;
    if (cancel) {
        std::this_thread::sleep_for(std::chrono::milliseconds(cancelAfterMs));
        cancelled = Library::get().cancelDown(id);
    }
    const auto msgs = Messages::get().waitFinal(id);
    const std::string last = msgs.back();
    (last == "完成" ? g_setsDone : last == "已取消" ? g_setsCancelled : g_setsFailed)++;

    std::map<std::string, std::string> newSet = oldSet;
    if (package) {
        for (const auto& [name, data] : packaged)
            newSet[name] = data;
        newSet["d"] = "<dir>";
    } else {
        for (int i = 0; i < count; ++i)
            newSet["f" + std::to_string(i) + ".bin"] = servers[static_cast<std::size_t>(i)]->body();
    }
    const auto now = contents(dir.file(app));
    const std::string what = std::string(package ? "install" : "update of " + std::to_string(count)) +
                             (cancel ? ", cancel after " + std::to_string(cancelAfterMs) + " ms" : "") +
                             ", ended with " + last;
    if (cancelled == 0 && last != "已取消")
        return what + ": CancelDown said 0 but the call did not end cancelled";
    if (cancel && cancelled != 0 && last == "已取消")
        return what + ": ended cancelled although CancelDown found nothing";
    if (last == "完成") {
        if (now != newSet) {
            std::string files;
            for (int i = 0; i < count && !package; ++i) {
                const std::string file = "f" + std::to_string(i) + ".bin";
                auto it = now.find(file);
                if (it == now.end() || it->second == newSet[file])
                    continue;
                FaultServer& server = *servers[static_cast<std::size_t>(i)];
                const std::size_t version = server.versionOf(it->second);
                files += "; " + file + " has " + std::to_string(it->second.size()) + " bytes (" +
                         (version ? "its server's v" + std::to_string(version)
                                  : std::string("no content of its server")) +
                         "), server:" + server.history();
            }
            return what + ": not the new set" + files;
        }
    } else if (last == "已取消" || last.rfind("error:", 0) == 0) {
        if (now != oldSet)
            return what + ": not the old set";
    } else {
        return what + ": no final message";
    }
    if (fs::directory_iterator(dir.file("set" + std::to_string(run))) != fs::directory_iterator() &&
        listing(dir.file("set" + std::to_string(run))).size() != now.size() + 1)
        return what + ": something was left beside the application's folder";
    return {};
}

} // namespace

TEST(DownloadFaults, EverySetEndsAsTheNewSetOrTheOldOne) {
    Library::get();
    Library::get().setTimings(2000, 1, 5);
    unsigned seed = static_cast<unsigned>(std::random_device{}());
    if (const char* s = std::getenv("VX_STRESS_SEED"))
        seed = static_cast<unsigned>(std::stoul(s));
    int runs = 80;
    if (const char* r = std::getenv("VX_STRESS_SETS"))
        runs = std::stoi(r);
    std::printf("set runs: %d, seed %u (VX_STRESS_SEED=%u repeats them)\n", runs, seed, seed);
    vxtest::TempDir dir("dlsets");
    std::vector<std::string> wrong(static_cast<std::size_t>(runs));
    std::atomic<int> next{0};
    std::vector<std::thread> workers;
    for (int w = 0; w < 6; ++w)
        workers.emplace_back([&] {
            for (int i; (i = next++) < runs;)
                wrong[static_cast<std::size_t>(i)] = runSet(i, seed ^ (static_cast<unsigned>(i) * 0x85EBCA6Bu), dir);
        });
    for (auto& t : workers)
        t.join();
    for (int i = 0; i < runs; ++i)
        if (!wrong[static_cast<std::size_t>(i)].empty())
            ADD_FAILURE() << "set run " << i << ": " << wrong[static_cast<std::size_t>(i)];
    std::printf("sets placed %d, failed %d, cancelled %d\n", g_setsDone.load(), g_setsFailed.load(),
                g_setsCancelled.load());
    EXPECT_GT(g_setsCancelled.load(), 0) << "no cancel came in time to prove anything";
    EXPECT_TRUE(Messages::get().violations().empty()) << "messages after a final one";
}

TEST(DownloadFaults, EveryRunEndsWholeOrReportsAnError) {
    Library::get();
    // Stalls are noticed after a second; retries follow at once.
    Library::get().setTimings(2000, 1, 5);

    unsigned seed = static_cast<unsigned>(std::random_device{}());
    if (const char* s = std::getenv("VX_STRESS_SEED"))
        seed = static_cast<unsigned>(std::stoul(s));
    int runs = 240;
    if (const char* r = std::getenv("VX_STRESS_DOWNLOADS"))
        runs = std::stoi(r);
    std::printf("download fault runs: %d, seed %u (VX_STRESS_SEED=%u repeats them)\n", runs, seed,
                seed);

    vxtest::TempDir dir("dlfault");
    std::vector<Outcome> outcomes(static_cast<std::size_t>(runs));
    std::atomic<int> next{0};
    std::vector<std::thread> workers;
    for (int w = 0; w < 8; ++w)
        workers.emplace_back([&] {
            for (int i; (i = next++) < runs;)
                outcomes[static_cast<std::size_t>(i)] =
                    runOne(i, seed ^ (static_cast<unsigned>(i) * 0x9E3779B9u), dir);
        });
    for (auto& t : workers)
        t.join();

    std::map<std::string, int> actCount;
    int ok = 0, failedRuns = 0;
    for (const auto& o : outcomes) {
        ok += o.ok;
        for (Act a : o.script)
            actCount[name(a)]++;
        if (o.failed) {
            ++failedRuns;
            std::string s;
            for (Act a : o.script)
                s += std::string(name(a)) + " ";
            ADD_FAILURE() << "run " << o.run << " [" << s << "]: " << o.why;
        }
    }
    std::printf("completed %d, reported as error %d, wrong %d\nfaults injected:", ok, runs - ok,
                failedRuns);
    for (const auto& [n, c] : actCount)
        std::printf(" %s=%d", n.c_str(), c);
    std::printf("\n");
    EXPECT_TRUE(Messages::get().violations().empty()) << "messages after a final one";
}

// The process ends at every file-system step of a placement in turn (the downloader's test
// entry DownLoaderCrashAtStepForTests), and then at every step of the recovery that the next
// start runs, and two recoveries of one stage run at once. After each, once the folder has
// been cleaned, it is byte for byte the old set or the new set, and no stage is left:
// - an install of a package over an older one, with new folders;
// - an update whose files lie in two folders, one of them new with no old file;
// - an undo: the same update, whose last move fails after the others have moved (a cancel
//   undoes a placement through the same steps).
// At every cut that has changed a target, the journal already notes every move of the set.

#include <filesystem>
#include <thread>
#include <map>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include "downloader/DownloaderHarness.h"
#include "support/SpawnSelf.h"
#include "support/TempDir.h"


namespace fs = std::filesystem;

namespace {

using Contents = std::map<std::string, std::string>;

std::string content(const std::string& tag, int i) {
    return tag + "/" + std::to_string(i) + "\n" + dltest::pattern(500 + std::size_t(i) * 300, unsigned(i) + 7);
}

// Everything below the root, folders and stages included.
Contents contents(const fs::path& root) {
    Contents out;
    for (const auto& e : fs::recursive_directory_iterator(root))
        out[fs::relative(e.path(), root).string()] =
            e.is_directory() ? "<dir>" : vxtest::readFile(e.path().string());
    return out;
}

struct Service {
    explicit Service(const vxtest::TempDir& dir) {
        dltest::ZipBuilder v1, v2;
        v1.file("a.txt", content("v1", 0)).file("d/b.txt", content("v1", 1)).file("d/c.txt", content("v1", 2));
        v2.file("a.txt", content("v2", 0)).file("d/b.txt", content("v2", 1)).file("e/f/new.txt", content("v2", 3));
        zips = {v1.build(dir.file("v1.zip")), v2.build(dir.file("v2.zip"))};
        http.server().Get("/pkg/(\\d).zip", [this](const httplib::Request& req, httplib::Response& res) {
            res.set_content(zips[std::stoul(req.matches[1]) - 1], "application/zip");
        });
        http.server().Get("/f/(\\d)", [](const httplib::Request& req, httplib::Response& res) {
            res.set_content(content("new", std::stoi(req.matches[1])), "application/octet-stream");
        });
    }
    std::vector<std::string> zips;
    dltest::HttpServer http;
};

// The call of a scenario, on the folder `root` (the applications folder).
std::vector<std::string> call(const std::string& mode, const std::string& root, const std::string& base) {
    const std::string app = root + "/app";
    if (mode == "install")
        return dltest::download({base + "pkg/2.zip"}, {app + "/pkg.zip"}, app);
    std::vector<std::string> urls = {base + "f/0", base + "f/1", base + "f/2"};
    std::vector<std::string> paths = {app + "/main.exe", app + "/bin/a.dll", app + "/bin/new.dll"};
    if (mode == "undo") {
        urls.push_back(base + "f/3");
        paths.push_back(app + "/bin/locked"); // a folder with a file in it: cannot be replaced
    }
    return dltest::download(urls, paths);
}

// The old set of a scenario.
void prepare(const std::string& mode, const vxtest::TempDir& dir, const std::string& root, const std::string& base) {
    fs::remove_all(root);
    const std::string app = root + "/app";
    if (mode == "install") {
        auto msgs = dltest::download({base + "pkg/1.zip"}, {app + "/pkg.zip"}, app);
        ASSERT_EQ(msgs.back(), "完成");
    } else {
        dir.write(fs::relative(app + "/main.exe", dir.path()).string(), content("old", 0));
        dir.write(fs::relative(app + "/bin/a.dll", dir.path()).string(), content("old", 1));
        if (mode == "undo")
            dir.write(fs::relative(app + "/bin/locked/in-use", dir.path()).string(), "busy");
    }
    dir.write(fs::relative(app + "/user.txt", dir.path()).string(), "the user's own");
}

// Runs this test program as a child doing one step of the scenario; its exit status.
int child(const std::string& mode, int crashAt, const std::string& root, const std::string& base) {
    const pid_t pid = vxtest::spawnSelf(
        "CrashPointChild.Run", {"VX_CRASH_MODE=" + mode, "VX_CRASH_AT=" + std::to_string(crashAt),
                                "VX_CRASH_ROOT=" + root, "VX_CRASH_BASE=" + base});
    if (pid < 0)
        return -1;
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

constexpr int kCrashed = 86; // the downloader's exit status at the chosen step

bool inStage(const std::string& path) { return path.find(".vxstage-") != std::string::npos; }

// Whether a cut tree differs from the old set outside the stages and the downloads'
// temporary files; and how many moves the stages' journals (retired or not) note.
bool targetsChanged(const Contents& now, const Contents& older) {
    for (const auto& [path, text] : now)
        if (!inStage(path) && path.find(".vxdl-") == std::string::npos &&
            (!older.count(path) || older.at(path) != text))
            return true;
    for (const auto& [path, text] : older)
        if (!now.count(path))
            return true;
    return false;
}

int notedMoves(const Contents& now) {
    int moves = 0;
    for (const auto& [path, text] : now)
        if (inStage(path) && fs::path(path).filename().string().rfind("journal", 0) == 0)
            for (std::size_t at = 0; (at = text.find("M\t", at)) != std::string::npos; ++at)
                moves += at == 0 || text[at - 1] == '\n';
    return moves;
}

} // namespace

TEST(CrashPointChild, Run) {
    const char* mode = std::getenv("VX_CRASH_MODE");
    if (!mode)
        GTEST_SKIP() << "run by CrashPoints only";
    auto& lib = dltest::Library::get();
    lib.crashAtStep(std::stoi(std::getenv("VX_CRASH_AT")));
    const std::string root = std::getenv("VX_CRASH_ROOT");
    if (std::string(mode) == "recover")
        ASSERT_EQ(lib.cleanLeftovers(root.c_str()), 0);
    else
        call(mode, root, std::getenv("VX_CRASH_BASE"));
}

TEST(CrashPoints, EveryStepOfPlacementAndRecoveryLeavesTheOldOrTheNewSet) {
    vxtest::TempDir dir("crash");
    Service service(dir);
    const std::string base = service.http.url("/");
    auto& lib = dltest::Library::get();
    int total = 0;
    // The files each call moves in (the undo's last one is refused).
    const std::map<std::string, int> moves = {{"install", 3}, {"update", 3}, {"undo", 4}};
    for (const std::string mode : {"install", "update", "undo"}) {
        SCOPED_TRACE(mode);
        const std::string root = dir.file("apps");
        ASSERT_NO_FATAL_FAILURE(prepare(mode, dir, root, base));
        const Contents older = contents(root);
        auto whole = call(mode, root, base);
        ASSERT_EQ(whole.back() == "完成", mode != "undo") << whole.back();
        const Contents newer = mode == "undo" ? older : contents(root);
        ASSERT_NE(mode != "undo" && newer == older, true);

        // Which set a folder holds once cleaned: "old", "new" or what it wrongly holds.
        auto cleaned = [&]() -> std::string {
            EXPECT_EQ(lib.cleanLeftovers(root.c_str()), 0);
            const Contents now = contents(root);
            if (now == older)
                return "old";
            if (now == newer)
                return "new";
            std::string diff;
            for (const auto& [path, text] : now)
                if (!older.count(path) || !newer.count(path))
                    diff += " +" + path;
            for (const auto& [path, text] : older)
                if (!now.count(path))
                    diff += " -" + path;
            return "mixed:" + diff;
        };
        int points = 0;
        for (int n = 0;; ++n) {
            ASSERT_NO_FATAL_FAILURE(prepare(mode, dir, root, base));
            const int status = child(mode, n, root, base);
            if (status == 0) {
                EXPECT_EQ(cleaned(), mode == "undo" ? "old" : "new");
                break;
            }
            ASSERT_EQ(status, kCrashed) << "step " << n;
            ++points;
            // No target changes before the journal notes the whole plan, which reaches the
            // disk with the new files before the first move: what a recovery after a power
            // cut, as after a kill, needs to know of every move that may have been taken.
            if (const Contents now = contents(root); targetsChanged(now, older)) {
                EXPECT_EQ(notedMoves(now), moves.at(mode)) << "step " << n;
            }
            const std::string cut = dir.file("cut");
            fs::remove_all(cut);
            // Hard links keep each file's identity, which the journal notes; nothing of a
            // placement writes into a file in place, so the two trees stay apart.
            const auto links = fs::copy_options::recursive | fs::copy_options::create_hard_links;
            fs::copy(root, cut, links);
            // Two recoveries at once, then each step of one recovery in turn.
            std::string outcome;
            for (int m = -2;; ++m) {
                fs::remove_all(root);
                fs::copy(cut, root, links);
                int recovered = 0;
                if (m == -2) {
                    // Two processes recover the stage at once.
                    std::thread other([&] { recovered = child("recover", -1, root, base); });
                    const int mine = child("recover", -1, root, base);
                    other.join();
                    ASSERT_EQ(mine, 0);
                } else {
                    recovered = child("recover", m, root, base);
                }
                ASSERT_TRUE(recovered == 0 || recovered == kCrashed) << n << "/" << m;
                const std::string now = cleaned();
                ASSERT_TRUE(now == "old" || now == "new") << "placement cut at " << n << ", recovery at " << m << ": " << now;
                if (mode == "undo") {
                    ASSERT_EQ(now, "old") << n << "/" << m;
                }
                if (outcome.empty())
                    outcome = now;
                ASSERT_EQ(now, outcome) << "the recovery's own cut changed the outcome: " << n << "/" << m;
                if (m >= -1 && recovered == 0)
                    break;
            }
        }
        std::printf("%s: %d crash points of the call enumerated\n", mode.c_str(), points);
        total += points;
        EXPECT_GT(points, 5);
    }
    std::printf("crash points in all: %d\n", total);
}

// The user's own client folder of a packaged client: laid out, refreshed only by a newer
// package, all or nothing under a kill at any step (recovery included), never touching the
// user's own files.
#include "launcher/UserCopy.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/TempDir.h"

namespace fs = std::filesystem;
using vx::launcher::clientVersionOf;
using vx::launcher::compareVersions;
using vx::launcher::prepareUserCopy;

namespace {

using FileSet = std::map<std::string, std::string>;

std::string read(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

void write(const fs::path& p, const std::string& text) {
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary | std::ios::trunc) << text;
}

// An executable carrying the version marker, as the build writes it.
std::string executable(const std::string& version, const std::string& tag) {
    return std::string("\x7f" "ELF ") + VX_CLIENT_VERSION_MARKER_PREFIX + "\0 " + tag + " " +
           VX_CLIENT_VERSION_MARKER_PREFIX + version + std::string(1, '\0') + " end";
}

// A package of the given version; `tag` makes every file's content its own. `extra` adds
// an image that the other package lacks.
FileSet packageFiles(const std::string& version, const std::string& tag, bool extra = false) {
    FileSet files = {{"vxclient", executable(version, tag)},
                     {"libTCPServer.so", "link server " + tag},
                     {"libDownLoader.so", "downloader " + tag},
                     {"Config/config.xml", "<config><title>" + tag + "</title></config>"},
                     {"imgs/sysbutton/imgClose_normal.png", "close " + tag},
                     {"imgs/sysbutton/imgMin_normal.png", "min " + tag}};
    if (extra)
        files["imgs/sysbutton/imgNew.png"] = "new " + tag;
    return files;
}

void lay(const fs::path& dir, const FileSet& files) {
    for (const auto& [rel, text] : files)
        write(dir / rel, text);
    fs::permissions(dir / "vxclient", fs::perms::owner_exec, fs::perm_options::add);
}

// The user's own files, which no refresh may touch.
const FileSet kUserFiles = {{"Config/Users.xml", "<VXFrame><User user=\"demo\"/></VXFrame>"},
                            {"apps/userinfo/vx-userinfo", "an installed application"},
                            {"Update/notes.txt", "a downloaded client file"},
                            {"cache/Cookies", "the page's cookies"}};

bool holds(const fs::path& dir, const FileSet& files) {
    for (const auto& [rel, text] : files)
        if (!fs::is_regular_file(dir / rel) || read(dir / rel) != text)
            return false;
    return true;
}

// Which of the two program sets the folder holds, whole: "old", "new" or "mixed".
std::string which(const fs::path& dir, const FileSet& older, const FileSet& newer) {
    if (holds(dir, newer))
        return "new";
    if (holds(dir, older))
        return "old";
    return "mixed";
}

// Runs prepareUserCopy in a child that ends itself at step `killAt`; true when it ended
// there, false when it ran to its end first.
bool killedAt(const fs::path& package, const fs::path& folder, int killAt) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        auto r = prepareUserCopy(package, folder, [killAt](int step) {
            if (step == killAt)
                ::_exit(9);
        });
        ::_exit(r ? 0 : 1);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_NE(WEXITSTATUS(status), 1) << "a run failed at step " << killAt;
    return WEXITSTATUS(status) == 9;
}

class UserCopy : public ::testing::Test {
protected:
    vxtest::TempDir tmp{"usercopy"};
    fs::path older = tmp.path() / "pkg-old";
    fs::path newer = tmp.path() / "pkg-new";
    fs::path folder = tmp.path() / "home/.local/share/vxcenter";
    FileSet oldSet = packageFiles("0.1.0", "old");
    FileSet newSet = packageFiles("0.2.0", "new", true);

    void SetUp() override {
        lay(older, oldSet);
        lay(newer, newSet);
    }
    // A copy laid out from the old package, with the user's own files in it.
    void oldCopy() {
        ASSERT_TRUE(prepareUserCopy(older, folder));
        lay(folder, {}); // keeps vxclient executable
        for (const auto& [rel, text] : kUserFiles)
            write(folder / rel, text);
    }
};

} // namespace

TEST(ClientVersion, ComparedByNumbers) {
    struct Row {
        const char *a, *b;
        int sign;
    } rows[] = {{"0.1.0", "0.1.0", 0}, {"0.10", "0.9", 1}, {"1.0", "1", 0},
                {"1.2.3", "1.2.4", -1}, {"2", "1.99.99", 1}, {"", "0", 0}};
    for (const Row& r : rows) {
        const int c = compareVersions(r.a, r.b);
        EXPECT_EQ((c > 0) - (c < 0), r.sign) << r.a << " vs " << r.b;
    }
}

TEST(ClientVersion, ReadFromTheExecutablesMarker) {
    vxtest::TempDir tmp("version");
    struct Row {
        std::string content;
        std::optional<std::string> version;
    } rows[] = {
        {executable("1.2.3", "x"), "1.2.3"}, // the bare prefix before it is skipped
        {std::string("no marker at all"), std::nullopt},
        {std::string(VX_CLIENT_VERSION_MARKER_PREFIX) + "1.2", std::nullopt}, // cut short
        {std::string(VX_CLIENT_VERSION_MARKER_PREFIX) + "1.2x" + '\0', std::nullopt},
        {std::string(), std::nullopt}};
    for (const Row& r : rows) {
        write(tmp.path() / "vxclient", r.content);
        EXPECT_EQ(clientVersionOf(tmp.file("vxclient")), r.version) << r.content;
    }
    EXPECT_EQ(clientVersionOf(tmp.file("missing")), std::nullopt);
}

TEST(ClientVersion, TheBuiltClientCarriesOne) {
    // The test runs from the build's bin/, beside the client.
    const fs::path client = fs::read_symlink("/proc/self/exe").parent_path() / "vxclient";
    if (!fs::exists(client))
        GTEST_SKIP() << "no client executable in this build";
    EXPECT_TRUE(clientVersionOf(client.string()).has_value());
}

TEST(UserFolder, FollowsXdgDataHomeElseHome) {
    const std::string savedData = std::getenv("XDG_DATA_HOME") ? std::getenv("XDG_DATA_HOME") : "";
    const std::string savedHome = std::getenv("HOME") ? std::getenv("HOME") : "";
    struct Row {
        const char *data, *home, *folder;
    } rows[] = {{"/data", "/home/u", "/data/vxcenter"},
                {"relative/data", "/home/u", "/home/u/.local/share/vxcenter"},
                {nullptr, "/home/u/", "/home/u/.local/share/vxcenter"},
                {"", "/", "/.local/share/vxcenter"}};
    for (const Row& r : rows) {
        r.data ? ::setenv("XDG_DATA_HOME", r.data, 1) : ::unsetenv("XDG_DATA_HOME");
        ::setenv("HOME", r.home, 1);
        auto f = vx::launcher::userClientFolder();
        ASSERT_TRUE(f) << f.error();
        EXPECT_EQ(*f, r.folder);
    }
    savedData.empty() ? ::unsetenv("XDG_DATA_HOME") : ::setenv("XDG_DATA_HOME", savedData.c_str(), 1);
    ::setenv("HOME", savedHome.c_str(), 1);
}

TEST_F(UserCopy, FirstStartLaysOutAnOwnerOnlyFolder) {
    auto r = prepareUserCopy(older, folder);
    ASSERT_TRUE(r) << r.error();
    EXPECT_TRUE(r->laidOut);
    EXPECT_TRUE(holds(folder, oldSet));
    EXPECT_EQ(fs::status(folder).permissions(), fs::perms::owner_all);
    EXPECT_EQ(fs::status(folder / "vxclient").permissions(), fs::perms::owner_all);
    EXPECT_EQ(fs::status(folder / "Config/config.xml").permissions(),
              fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_FALSE(fs::exists(folder / ".refresh"));
}

TEST_F(UserCopy, RefreshedOnlyWhenThePackageIsNewer) {
    oldCopy();
    // The same version again, even with other bytes: the copy stays.
    fs::path rebuilt = tmp.path() / "pkg-rebuilt";
    lay(rebuilt, packageFiles("0.1.0", "rebuilt"));
    auto same = prepareUserCopy(rebuilt, folder);
    ASSERT_TRUE(same) << same.error();
    EXPECT_FALSE(same->laidOut);
    EXPECT_TRUE(holds(folder, oldSet));
    // A newer package replaces every program file; the user's own files stay.
    auto refreshed = prepareUserCopy(newer, folder);
    ASSERT_TRUE(refreshed) << refreshed.error();
    EXPECT_TRUE(refreshed->laidOut);
    EXPECT_TRUE(holds(folder, newSet));
    EXPECT_TRUE(holds(folder, kUserFiles));
    // The client's own update made the copy newer than the package: it stays.
    write(folder / "vxclient", executable("0.3.0", "self-updated"));
    auto kept = prepareUserCopy(newer, folder);
    ASSERT_TRUE(kept) << kept.error();
    EXPECT_FALSE(kept->laidOut);
    EXPECT_EQ(clientVersionOf((folder / "vxclient").string()), "0.3.0");
    // A program file gone from the copy brings the package's back.
    fs::remove(folder / "libDownLoader.so");
    ASSERT_TRUE(prepareUserCopy(newer, folder));
    EXPECT_TRUE(holds(folder, newSet));
    EXPECT_TRUE(holds(folder, kUserFiles));
}

TEST_F(UserCopy, WhatCannotBeLaidOutIsSaidAndNothingChanges) {
    // A file where the folder should be.
    write(tmp.path() / "file-in-the-way", "x");
    auto inTheWay = prepareUserCopy(older, tmp.path() / "file-in-the-way");
    ASSERT_FALSE(inTheWay);
    EXPECT_NE(inTheWay.error().find("file-in-the-way"), std::string::npos) << inTheWay.error();
    EXPECT_EQ(read(tmp.path() / "file-in-the-way"), "x");
    // A parent that is a file.
    auto below = prepareUserCopy(older, tmp.path() / "file-in-the-way/vxcenter");
    ASSERT_FALSE(below);
    // A package that lacks a library names it.
    fs::path broken = tmp.path() / "pkg-broken";
    lay(broken, oldSet);
    fs::remove(broken / "libTCPServer.so");
    auto lacking = prepareUserCopy(broken, folder);
    ASSERT_FALSE(lacking);
    EXPECT_NE(lacking.error().find("libTCPServer.so"), std::string::npos) << lacking.error();
    EXPECT_FALSE(fs::exists(folder));
}

TEST_F(UserCopy, AFullDiskLeavesTheOldCopy) {
    oldCopy();
    // Files may grow to a few bytes only: the stage's copies fail as on a full disk.
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::signal(SIGXFSZ, SIG_IGN);
        rlimit limit{8, 8};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        auto r = prepareUserCopy(newer, folder);
        std::fprintf(stderr, "%s\n", r ? "laid out" : r.error().c_str());
        ::_exit(r ? 0 : 1);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_EQ(which(folder, oldSet, newSet), "old");
    EXPECT_TRUE(holds(folder, kUserFiles));
    EXPECT_FALSE(fs::exists(folder / ".refresh"));
}

TEST_F(UserCopy, AFolderOfAnotherUserIsRefused) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to give a folder to another user";
    fs::create_directories(folder);
    ASSERT_EQ(::chown(folder.c_str(), 65534, 65534), 0);
    auto r = prepareUserCopy(older, folder);
    ASSERT_FALSE(r);
    EXPECT_NE(r.error().find("另一个用户"), std::string::npos) << r.error();
    EXPECT_TRUE(fs::is_empty(folder));
}

// Every step of a refresh, and then every step of the next start's recovery, ends the
// process; after one more start the copy is the old set or the new set, never a mix, and
// the user's files are as they were. The next start takes the old package, so whatever it
// finds committed it keeps, and whatever not it drops.
TEST_F(UserCopy, AKillAtAnyStepLeavesTheOldOrTheNewCopy) {
    oldCopy();
    const fs::path pristine = tmp.path() / "pristine";
    fs::copy(folder, pristine, fs::copy_options::recursive);
    std::string last = "old";
    int refreshSteps = 0;
    for (int n = 0;; ++n) {
        fs::remove_all(folder);
        fs::copy(pristine, folder, fs::copy_options::recursive);
        if (!killedAt(newer, folder, n)) {
            refreshSteps = n;
            break;
        }
        const fs::path cut = tmp.path() / "cut";
        fs::remove_all(cut);
        fs::copy(folder, cut, fs::copy_options::recursive);
        std::string outcome;
        for (int m = 0;; ++m) {
            fs::remove_all(folder);
            fs::copy(cut, folder, fs::copy_options::recursive);
            const bool recoveryCut = killedAt(older, folder, m);
            if (recoveryCut) {
                ASSERT_FALSE(killedAt(older, folder, -1));
            }
            const std::string now = which(folder, oldSet, newSet);
            ASSERT_NE(now, "mixed") << "refresh killed at " << n << ", recovery at " << m;
            ASSERT_TRUE(holds(folder, kUserFiles)) << n << "/" << m;
            ASSERT_FALSE(fs::exists(folder / ".refresh")) << n << "/" << m;
            // The recovery's own kills never change which copy it ends with.
            if (outcome.empty())
                outcome = now;
            ASSERT_EQ(now, outcome) << n << "/" << m;
            if (!recoveryCut)
                break;
        }
        // Once a refresh has committed, every later kill finishes it too.
        if (last == "new") {
            ASSERT_EQ(outcome, "new") << "killed at " << n;
        }
        last = outcome;
    }
    EXPECT_EQ(last, "new");
    EXPECT_GT(refreshSteps, int(newSet.size()));
    EXPECT_TRUE(holds(folder, newSet));
}

TEST_F(UserCopy, TwoLaunchersOfOneUserTakeTurns) {
    oldCopy();
    const int lock = ::open((folder / ".launcher.lock").c_str(), O_RDWR | O_CREAT, 0600);
    ASSERT_GE(lock, 0);
    ASSERT_EQ(::flock(lock, LOCK_EX), 0);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(lock); // the lock belongs to the open file, which the child shares
        ::_exit(prepareUserCopy(newer, folder) ? 0 : 1);
    }
    ::usleep(300 * 1000);
    int status = 0;
    EXPECT_EQ(::waitpid(pid, &status, WNOHANG), 0) << "the second launcher did not wait";
    EXPECT_FALSE(fs::exists(folder / ".refresh"));
    EXPECT_TRUE(holds(folder, oldSet));
    ::close(lock);
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_TRUE(holds(folder, newSet));
}

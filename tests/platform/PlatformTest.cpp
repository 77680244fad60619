#include <fstream>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "platform/Platform.h"
#include "support/TempDir.h"

using namespace vx::platform;
using Args = std::vector<std::string>;

TEST(SplitCommandLine, WindowsRules) {
    EXPECT_EQ(splitCommandLine(""), Args{});
    EXPECT_EQ(splitCommandLine("   "), Args{});
    EXPECT_EQ(splitCommandLine("a b\tc"), (Args{"a", "b", "c"}));
    EXPECT_EQ(splitCommandLine("\"a b\" c"), (Args{"a b", "c"}));
    EXPECT_EQ(splitCommandLine("a\"b c\"d"), (Args{"ab cd"}));
    EXPECT_EQ(splitCommandLine("\"\""), (Args{""}));
    // Backslashes are literal unless they precede a quote.
    EXPECT_EQ(splitCommandLine("C:\\dir\\file.txt"), (Args{"C:\\dir\\file.txt"}));
    EXPECT_EQ(splitCommandLine("a\\\\\"b c\""), (Args{"a\\b c"}));  // 2n: n and a quote toggle
    EXPECT_EQ(splitCommandLine("a\\\"b"), (Args{"a\"b"}));          // 2n+1: n and a literal quote
    EXPECT_EQ(splitCommandLine("\"a\\\\\""), (Args{"a\\"}));
    EXPECT_EQ(splitCommandLine("\"say \"\"hi\"\"\""), (Args{"say \"hi\""}));
    EXPECT_EQ(splitCommandLine("ShowForm?a=1&b=2 用户"), (Args{"ShowForm?a=1&b=2", "用户"}));
    EXPECT_EQ(splitCommandLine("\"unterminated arg"), (Args{"unterminated arg"}));
}

namespace {
// Waits for a file written by a detached child.
bool waitForFile(const std::string& path) {
    for (int i = 0; i < 1000; ++i) {
        if (std::filesystem::exists(path) && std::filesystem::file_size(path) > 0)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}
} // namespace

TEST(ShellOpen, StartsDetachedInTheFolderWithSplitArguments) {
    vxtest::TempDir dir("spawn");
    std::string folder = dir.str() + "应用 1/";
    std::string prog = dir.write("应用 1/run.sh",
                                 "#!/bin/sh\n{ pwd; for a in \"$@\"; do echo \"[$a]\"; done; } "
                                 "> out.tmp && mv out.tmp out.txt\n");
    std::filesystem::permissions(prog, std::filesystem::perms::owner_all);
    ASSERT_TRUE(shellOpen("run.sh", "one \"two words\" a\\\"b 'x;rm -rf y'", folder));
    ASSERT_TRUE(waitForFile(folder + "out.txt"));
    std::string expected = dir.path().string() + "/应用 1\n[one]\n[two words]\n[a\"b]\n['x;rm]\n"
                           "[-rf]\n[y']\n";
    EXPECT_EQ(vxtest::readFile(folder + "out.txt"), expected);
}

TEST(ShellOpen, MissingProgramFails) {
    vxtest::TempDir dir("spawn");
    EXPECT_FALSE(shellOpen("nothing-here", "", dir.str()));
    EXPECT_FALSE(shellOpen("", "", dir.str()));
    EXPECT_FALSE(runTaskAsInteractiveUser("x", dir.str()));
}

TEST(RunScriptDetached, RunsAShScriptInItsFolder) {
    vxtest::TempDir dir("script");
    std::string script = dir.write("s.sh", "pwd > where.tmp && mv where.tmp where.txt\n");
    ASSERT_TRUE(runScriptDetached(script, dir.path().string()));
    ASSERT_TRUE(waitForFile(dir.file("where.txt")));
    EXPECT_EQ(vxtest::readFile(dir.file("where.txt")), dir.path().string() + "\n");
}

TEST(InstanceLock, WithoutARuntimeFolderAnotherUserCannotTakeIt) {
    if (::getuid() != 0)
        GTEST_SKIP() << "needs root to play another user";
    ::unsetenv("XDG_RUNTIME_DIR");
    vxtest::TempDir home("home");
    const char* oldHome = std::getenv("HOME");
    const std::string savedHome = oldHome ? oldHome : "";
    ::setenv("HOME", home.path().c_str(), 1);
    const std::string tmp = "/tmp/vxcenter-" + std::to_string(::getuid());
    std::filesystem::remove_all(tmp);
    // Another user creates the folder first, open to all, with a lock inside.
    ASSERT_EQ(::mkdir(tmp.c_str(), 0777), 0);
    ::chmod(tmp.c_str(), 0777);
    {
        std::ofstream(tmp + "/VXFrameOther.lock") << "";
    }
    ASSERT_EQ(::chown(tmp.c_str(), 65534, 65534), 0);
    ASSERT_EQ(::chown((tmp + "/VXFrameOther.lock").c_str(), 65534, 65534), 0);
    {
        auto lock = acquireInstanceLock("VXFrameOther");
        EXPECT_NE(lock, nullptr) << "another user's folder kept the client from starting";
        EXPECT_TRUE(std::filesystem::exists(home.file(".vxcenter/VXFrameOther.lock")));
        EXPECT_EQ(std::filesystem::status(home.file(".vxcenter")).permissions(),
                  std::filesystem::perms::owner_all);
    }
    // The user's own folder in /tmp is used when it is private; a link there is not followed.
    std::filesystem::remove_all(tmp);
    {
        auto lock = acquireInstanceLock("VXFrameOther");
        EXPECT_NE(lock, nullptr);
        EXPECT_TRUE(std::filesystem::exists(tmp + "/VXFrameOther.lock"));
    }
    std::filesystem::create_symlink("/etc/hostname", tmp + "/VXFrameLink.lock");
    EXPECT_EQ(acquireInstanceLock("VXFrameLink"), nullptr);
    std::filesystem::remove_all(tmp);
    if (oldHome)
        ::setenv("HOME", savedHome.c_str(), 1);
}

TEST(InstanceLock, OnePerSession) {
    vxtest::TempDir dir("lock");
    ::setenv("XDG_RUNTIME_DIR", dir.path().c_str(), 1);
    auto first = acquireInstanceLock("VXFrameTest");
    ASSERT_NE(first, nullptr);
    EXPECT_TRUE(std::filesystem::exists(dir.file("VXFrameTest.lock")));
    // Another process of the same session is refused while the lock is held.
    pid_t pid = ::fork();
    if (pid == 0)
        ::_exit(acquireInstanceLock("VXFrameTest") ? 0 : 7);
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_EQ(WEXITSTATUS(status), 7);
    // Another session (another runtime folder) is not.
    vxtest::TempDir other("lock2");
    ::setenv("XDG_RUNTIME_DIR", other.path().c_str(), 1);
    EXPECT_NE(acquireInstanceLock("VXFrameTest"), nullptr);
    ::setenv("XDG_RUNTIME_DIR", dir.path().c_str(), 1);
    first.reset();
    EXPECT_NE(acquireInstanceLock("VXFrameTest"), nullptr);
    ::unsetenv("XDG_RUNTIME_DIR");
}

TEST(Files, AtomicWriteKeepsModeAndOwnerOnly) {
    vxtest::TempDir dir("files");
    std::string path = dir.file("a.xml");
    ASSERT_TRUE(writeFileAtomic(path, "one", true).ok());
    EXPECT_EQ(vxtest::readFile(path), "one");
    auto perms = std::filesystem::status(path).permissions();
    EXPECT_EQ(perms & std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    ASSERT_TRUE(writeFileAtomic(path, std::string(100000, 'x')).ok());
    EXPECT_EQ(std::filesystem::file_size(path), 100000u);
    EXPECT_FALSE(writeFileAtomic(dir.file("missing/dir/f"), "x").ok());
}

TEST(Files, FoldersAndExistence) {
    vxtest::TempDir dir("files");
    std::string deep = dir.str() + "a/b c/中文";
    EXPECT_FALSE(createDir(deep));
    EXPECT_TRUE(createDirs(deep));
    EXPECT_TRUE(dirExists(deep));
    EXPECT_FALSE(fileExists(deep));
    std::string f = dir.write("a/file", "x");
    EXPECT_TRUE(fileExists(f));
    EXPECT_FALSE(createDirs(f + "/sub"));
    EXPECT_FALSE(executablePath().empty());
    EXPECT_GT(osMajorVersion(), 0);
}

TEST(Files, SharedReadFileReadsAndReportsOpenErrors) {
    vxtest::TempDir dir("files");
    SharedReadFile missing;
    vx::Status st = missing.open(dir.file("nope"));
    EXPECT_FALSE(st);
    EXPECT_NE(st.error().find("nope"), std::string::npos);
    SharedReadFile f;
    ASSERT_TRUE(f.open(dir.write("x", "hello")).ok());
    // Another process may delete the file meanwhile; the open handle still reads it.
    std::filesystem::remove(dir.file("x"));
    char buf[16];
    EXPECT_EQ(f.read(buf, sizeof buf), 5);
    EXPECT_EQ(f.read(buf, sizeof buf), 0);
}

TEST(Files, AtomicWriteRemovesWhatKilledWritersLeft) {
    vxtest::TempDir dir("files");
    // A writer killed before its rename leaves "<name>.<pid>.XXXXXX"; a running one's file is
    // left alone, as is anything else.
    std::string dead = dir.write("Users.xml.2147483.AbCdEf", "old secret");
    std::string alive = dir.write("Users.xml." + std::to_string(::getpid()) + ".AbCdEf", "x");
    std::string other = dir.write("Users.xml.bak", "keep");
    ASSERT_TRUE(writeFileAtomic(dir.file("Users.xml"), "<VXFrame/>", true).ok());
    EXPECT_FALSE(std::filesystem::exists(dead));
    EXPECT_TRUE(std::filesystem::exists(alive));
    EXPECT_TRUE(std::filesystem::exists(other));
}

TEST(UpdateScriptCommandLine, RunsTheScriptByItsBareName) {
    // By its bare name in its own folder: "C:\Program Files (x86)\A&B\temp.bat" given whole to
    // "cmd /c" breaks at the "(" or the "&", yet cmd would still report success.
    EXPECT_EQ(updateScriptCommandLine("temp.bat"), "cmd.exe /d /c temp.bat");
    for (const char* bad : {"", "a b.bat", "a&b.bat", "(x).bat", "..\\temp.bat", "\"t\".bat",
                            "C:\\temp.bat"})
        EXPECT_EQ(updateScriptCommandLine(bad), "") << bad;
}

TEST(Files, TheUmaskIsNeverChangedWhileThreadsCreateFilesAndFolders) {
    vxtest::TempDir dir("umask");
    // Files written atomically on several threads while another makes folders: were the
    // mask ever 0 for a moment, some of them would be open to every user. (Eight writers
    // of 400 files each: fewer rarely met the moment when the mask was read by setting it.)
    const mode_t before = ::umask(022);
    ::umask(before);
    std::vector<std::thread> writers;
    for (int t = 0; t < 8; ++t)
        writers.emplace_back([&, t] {
            for (int i = 0; i < 400; ++i)
                (void)writeFileAtomic(dir.file("f" + std::to_string(t) + "-" + std::to_string(i)), "x");
        });
    writers.emplace_back([&] {
        for (int i = 0; i < 3200; ++i)
            (void)createDir(dir.file("d" + std::to_string(i)));
    });
    for (auto& w : writers)
        w.join();
    int files = 0, folders = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir.path())) {
        struct stat st {};
        ASSERT_EQ(::lstat(e.path().c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & before, 0u) << e.path() << " is open beyond the umask";
        (S_ISDIR(st.st_mode) ? folders : files) += 1;
    }
    EXPECT_EQ(files, 3200);
    EXPECT_EQ(folders, 3200);
    const mode_t after = ::umask(before);
    EXPECT_EQ(after, before);
}

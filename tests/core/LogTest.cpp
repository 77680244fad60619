// The client's log: its lines, its rotation, its owner, and what it never holds.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sys/stat.h>

#include "core/Log.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;

namespace {

std::vector<std::string> linesOf(const fs::path& file) {
    std::vector<std::string> out;
    std::ifstream in(file);
    for (std::string l; std::getline(in, l);)
        out.push_back(l);
    return out;
}

TEST(Log, LinesRotateAtTheLimitKeepThreeFilesAndAreTheOwnersAlone) {
    vxtest::TempDir dir("log");
    const fs::path folder = dir.path() / "state" / "vxcenter";
    ASSERT_TRUE(vx::log::start(folder.string()));
    vx::log::write("client", "start, version 1.0");
    const std::string filler(200, 'x');
    for (int i = 0; i < 20000; ++i) // about 4 MiB: several rotations
        vx::log::write("downloader", "line " + std::to_string(i) + " " + filler);
    vx::log::write("status", "the last one\nwith a line break");
    vx::log::flush();
    vx::log::stop();

    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(folder)) {
        names.insert(e.path().filename().string());
        EXPECT_LE(fs::file_size(e.path()), vx::log::kMaxBytes) << e.path();
        struct stat st {};
        ASSERT_EQ(::stat(e.path().c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u) << e.path();
    }
    EXPECT_EQ(names, (std::set<std::string>{"vxcenter.log", "vxcenter.1.log", "vxcenter.2.log"}));
    struct stat st {};
    ASSERT_EQ(::stat(folder.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    // The newest lines are in vxcenter.log, one event per line: time, thread, area, event.
    const auto lines = linesOf(folder / "vxcenter.log");
    ASSERT_FALSE(lines.empty());
    EXPECT_TRUE(std::regex_match(
        lines.back(), std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d \[\d+\] \[status\] the last one with a line break)")))
        << lines.back();
    // The older lines are in the rotated files.
    const auto older = linesOf(folder / "vxcenter.1.log");
    ASSERT_FALSE(older.empty());
    EXPECT_NE(older.back().find("[downloader] line "), std::string::npos);
    // Without a log, writing does nothing.
    vx::log::write("client", "nowhere");
    EXPECT_FALSE(vx::log::started());
}

TEST(Log, FolderThatCannotBeMadeMeansNoLog) {
    vxtest::TempDir dir("log");
    const std::string blocker = dir.write("file", "x");
    EXPECT_FALSE(vx::log::start(blocker + "/vxcenter"));
    EXPECT_FALSE(vx::log::started());
    vx::log::write("client", "nowhere");
}

TEST(Log, SecretsAreTakenOut) {
    const std::pair<const char*, const char*> cases[] = {
        {"GET http://h/myApps.php?u=QUJD+/x=", "GET http://h/myApps.php?u=***"},
        {"a?uid=5&pwd=secret&x=1", "a?uid=***&pwd=***&x=1"},
        {"pws=abc; token=def, key=ghi", "pws=***; token=***, key=***"},
        {"Password=hunter2 user=zhang", "Password=*** user=zhang"},
        {"Cookie: a=b; c=d\nnext", "Cookie: ***\nnext"},
        {"Authorization: Bearer xyz", "Authorization: ***"},
        {"menu=1 Menu=2", "menu=1 Menu=2"}, // names that only end in "u" stay
        {"u=", "u="},
    };
    for (const auto& [in, out] : cases)
        EXPECT_EQ(vx::log::redact(in), out) << in;
}

} // namespace

namespace {

// A disk that takes no more bytes (the log file is /dev/full): every line is lost, nothing
// fails, nothing waits.
TEST(Log, AFullDiskLosesLinesAndNothingElse) {
    vxtest::TempDir dir("log");
    const fs::path folder = dir.path() / "vxcenter";
    fs::create_directories(folder);
    fs::create_symlink("/dev/full", folder / vx::log::kFileName);
    ASSERT_TRUE(vx::log::start(folder.string()));
    for (int i = 0; i < 20000; ++i)
        vx::log::write("status", "line " + std::to_string(i));
    vx::log::flush();
    EXPECT_TRUE(vx::log::started());
    vx::log::stop();
}

} // namespace

// The downloader's all-or-nothing placement on Windows: a set of files written without a
// flush of their own, flushed together on several threads (FlushFileBuffers) and moved in
// with the old files kept; or, when one move is refused, every old file back.

#include "FileOps.h"
#include "Place.h"

#include <filesystem>
#include <fstream>
#include <memory>
#include <windows.h>

#include <gtest/gtest.h>

namespace fs = std::filesystem;
using namespace vxdl;

namespace {

std::string utf8(const fs::path& p) {
    const auto u = p.u8string();
    return std::string(u.begin(), u.end());
}

std::string readFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

} // namespace

TEST(PlacementWin, ASetFlushedTogetherIsMovedInWholeOrEveryOldFileIsBack) {
    constexpr int kFiles = 120, kRefused = 60; // more files than one flushing thread takes
    for (bool refused : {false, true}) {
        SCOPED_TRACE(refused ? "one move refused" : "every move taken");
        const fs::path root = fs::temp_directory_path() / ("vx-place-" + std::to_string(::GetCurrentProcessId()));
        fs::remove_all(root);
        const fs::path app = root / "app", stage = root / "stage";
        fs::create_directories(app / "sub");
        fs::create_directories(stage / "old");
        fs::create_directories(stage / "files");
        auto name = [](int i) { return "文件" + std::to_string(i); };
        std::vector<std::unique_ptr<TempFile>> temps;
        {
            Placement placement(utf8(stage / "old"), utf8(stage / "journal"));
            placement.flushSources(true);
            for (int i = 0; i < kFiles; ++i) {
                if (i % 2)
                    std::ofstream(app / "sub" / fs::u8path(name(i)), std::ios::binary) << "old " << i;
                auto t = std::make_unique<TempFile>();
                ASSERT_TRUE(t->createAt(utf8(stage / "files" / fs::u8path(name(i)))));
                const std::string bytes = "new " + std::to_string(i);
                ASSERT_TRUE(t->write(bytes.data(), bytes.size()));
                ASSERT_TRUE(t->finish());
                placement.addBelow(t->path(), utf8(app), {"sub", name(i)});
                temps.push_back(std::move(t));
            }
            if (refused)
                fs::create_directories(app / "sub" / fs::u8path(name(kRefused))); // no file replaces a folder
            Status placed = placement.place({});
            ASSERT_EQ(static_cast<bool>(placed), !refused) << placed.error();
            if (placed)
                placement.finish();
        }
        for (int i = 0; i < kFiles; ++i) {
            const fs::path target = app / "sub" / fs::u8path(name(i));
            if (!refused) {
                EXPECT_EQ(readFile(target), "new " + std::to_string(i)) << i;
                EXPECT_FALSE(::GetFileAttributesW(target.wstring().c_str()) & FILE_ATTRIBUTE_HIDDEN) << i;
            } else if (i == kRefused) {
                EXPECT_TRUE(fs::is_directory(target));
            } else if (i % 2) {
                EXPECT_EQ(readFile(target), "old " + std::to_string(i)) << i;
            } else {
                EXPECT_FALSE(fs::exists(target)) << i;
            }
        }
        for (auto& t : temps)
            t->placed();
        fs::remove_all(root);
    }
}

TEST(PlacementWin, AFlushOfManyFilesNamesTheFirstThatFails) {
    const fs::path root = fs::temp_directory_path() / ("vx-flush-" + std::to_string(::GetCurrentProcessId()));
    fs::remove_all(root);
    fs::create_directories(root);
    std::vector<std::string> paths;
    for (int i = 0; i < 100; ++i) {
        const fs::path p = root / ("f" + std::to_string(i));
        std::ofstream(p, std::ios::binary) << i;
        paths.push_back(utf8(p));
    }
    paths.push_back(utf8(root / "gone")); // a file that went meanwhile is no failure
    paths.push_back(utf8(root));          // nor is a folder
    EXPECT_TRUE(flushTogether(paths));
    // A file another program holds without sharing its writes cannot be flushed by us.
    HANDLE held = ::CreateFileW(fs::path(paths[40]).wstring().c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    Status s = flushTogether(paths);
    ::CloseHandle(held);
    ASSERT_FALSE(s);
    EXPECT_NE(s.error().find(paths[40]), std::string::npos) << s.error();
    fs::remove_all(root);
}

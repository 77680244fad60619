// The Windows platform layer, run under Wine: the single-instance mutex, files and folders,
// the library loader, sockets kept from children, the command-line rules.

#include <gtest/gtest.h>

#include "WinSupport.h"
#include "platform/Platform.h"

#include <winsock2.h>
#include <shellapi.h>

using namespace vx::platform;
using namespace wintest;
using Args = std::vector<std::string>;

namespace {

constexpr const char* kLockChildFlag = "--vx-try-instance-lock";

// Started with kLockChildFlag NAME, this program is only a second instance: it tries the lock,
// exits 0 when it got it and 3 when it was refused, before any test runs.
const int g_lockChild = [] {
    int argc = 0;
    LPWSTR* argv = ::CommandLineToArgvW(::GetCommandLineW(), &argc);
    if (argv && argc == 3 && utf8(argv[1]) == kLockChildFlag) {
        auto lock = acquireInstanceLock(utf8(argv[2]));
        ::ExitProcess(lock ? 0 : 3);
    }
    if (argv)
        ::LocalFree(argv);
    return 0;
}();

// Runs this program as a second instance trying the lock; its exit code.
DWORD lockFromAnotherProcess(const std::string& name) {
    wchar_t self[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring line = L"\"" + std::wstring(self) + L"\" " + wide(kLockChildFlag) + L" " +
                        wide(name);
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!::CreateProcessW(self, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                          &pi))
        return 1000;
    ::CloseHandle(pi.hThread);
    DWORD code = 1001;
    if (::WaitForSingleObject(pi.hProcess, 60000) == WAIT_OBJECT_0)
        ::GetExitCodeProcess(pi.hProcess, &code);
    ::CloseHandle(pi.hProcess);
    return code;
}

} // namespace

TEST(InstanceLock, ASecondVXFrameIsRefusedUntilTheFirstIsGone) {
    auto first = acquireInstanceLock("VXFrame");
    ASSERT_TRUE(first);
    // The second instance is another process, as when the user starts the client twice.
    EXPECT_EQ(lockFromAnotherProcess("VXFrame"), 3u);
    EXPECT_FALSE(acquireInstanceLock("VXFrame"));
    // Another name is another lock.
    EXPECT_EQ(lockFromAnotherProcess("VXFrame-other"), 0u);
    first.reset();
    EXPECT_EQ(lockFromAnotherProcess("VXFrame"), 0u);
    EXPECT_TRUE(acquireInstanceLock("VXFrame"));
}

TEST(SplitCommandLine, TheRulesOfCommandLineToArgvW) {
    // The table of the POSIX port's own tests: here the system's parser answers it.
    EXPECT_EQ(splitCommandLine(""), Args{});
    EXPECT_EQ(splitCommandLine("   "), Args{});
    EXPECT_EQ(splitCommandLine("a b\tc"), (Args{"a", "b", "c"}));
    EXPECT_EQ(splitCommandLine("\"a b\" c"), (Args{"a b", "c"}));
    EXPECT_EQ(splitCommandLine("a\"b c\"d"), (Args{"ab cd"}));
    EXPECT_EQ(splitCommandLine("\"\""), (Args{""}));
    EXPECT_EQ(splitCommandLine("C:\\dir\\file.txt"), (Args{"C:\\dir\\file.txt"}));
    EXPECT_EQ(splitCommandLine("a\\\\\"b c\""), (Args{"a\\b c"}));
    EXPECT_EQ(splitCommandLine("a\\\"b"), (Args{"a\"b"}));
    EXPECT_EQ(splitCommandLine("\"a\\\\\""), (Args{"a\\"}));
    EXPECT_EQ(splitCommandLine("\"say \"\"hi\"\"\""), (Args{"say \"hi\""}));
    EXPECT_EQ(splitCommandLine("ShowForm?a=1&b=2 用户"), (Args{"ShowForm?a=1&b=2", "用户"}));
    EXPECT_EQ(splitCommandLine("\"unterminated arg"), (Args{"unterminated arg"}));
}

TEST(UpdateScriptCommandLine, RunsTheScriptByItsBareName) {
    EXPECT_EQ(updateScriptCommandLine("temp.bat"), "cmd.exe /d /c temp.bat");
    EXPECT_EQ(updateScriptCommandLine("C:\\temp.bat"), "");
}

TEST(Files, AtomicWritesFoldersAndSharedReads) {
    TempFolder dir("files (x86) & co");
    ASSERT_FALSE(dir.path().empty());
    const std::string nested = dir / "用户\\a b\\c";
    ASSERT_TRUE(createDirs(nested));
    EXPECT_TRUE(dirExists(nested));
    EXPECT_FALSE(fileExists(nested));
    EXPECT_TRUE(createDirs(nested)); // already there
    EXPECT_TRUE(createDir(nested));

    const std::string file = nested + "\\Users.xml";
    ASSERT_TRUE(writeFileAtomic(file, "first").ok());
    ASSERT_TRUE(writeFileAtomic(file, "<VXFrame>第二</VXFrame>").ok());
    EXPECT_EQ(readFile(file), "<VXFrame>第二</VXFrame>");
    EXPECT_TRUE(fileExists(file));
    EXPECT_FALSE(dirExists(file));
    EXPECT_TRUE(makeOwnerExecutable(file));
    EXPECT_FALSE(makeOwnerExecutable(nested));
    EXPECT_FALSE(makeOwnerExecutable(nested + "\\missing.exe"));
    // Nothing but the file itself is left in the folder.
    WIN32_FIND_DATAW f{};
    int entries = 0;
    HANDLE h = ::FindFirstFileW(wide(nested + "\\*").c_str(), &f);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    do
        entries += std::wstring(f.cFileName) != L"." && std::wstring(f.cFileName) != L"..";
    while (::FindNextFileW(h, &f));
    ::FindClose(h);
    EXPECT_EQ(entries, 1);

    // A write into a folder that is not there fails and leaves nothing.
    auto failed = writeFileAtomic(dir / "missing\\x.xml", "x");
    EXPECT_FALSE(failed.ok());
    EXPECT_FALSE(dirExists(dir / "missing"));

    // A shared read lets others write and delete the file meanwhile.
    SharedReadFile r;
    ASSERT_TRUE(r.open(file).ok());
    EXPECT_TRUE(::DeleteFileW(wide(file).c_str())) << ::GetLastError();
    char buf[64] = {};
    EXPECT_EQ(r.read(buf, 10), 10);
    EXPECT_EQ(std::string(buf, 10), "<VXFrame>\xE7");
    SharedReadFile missing;
    auto st = missing.open(dir / "none.txt");
    ASSERT_FALSE(st.ok());
    EXPECT_NE(st.error().find("none.txt"), std::string::npos) << st.error();
}

TEST(Files, AStampChangesWithTheContentAndTheFile) {
    TempFolder dir("stamps");
    const std::string file = dir / "main.exe";
    ASSERT_TRUE(writeFile(file, "one"));
    auto a = fileStamp(file);
    ASSERT_TRUE(a);
    EXPECT_EQ(a->size, 3u);
    EXPECT_EQ(fileStamp(file), a);
    // Written again a little later, with another size: the stamp sees it.
    ASSERT_TRUE(writeFile(file, "three"));
    auto b = fileStamp(file);
    ASSERT_TRUE(b);
    EXPECT_EQ(b->size, 5u);
    EXPECT_NE(b, a);
    EXPECT_GT(fileClockNow(), 0);
    EXPECT_FALSE(fileStamp(dir.path()));
    EXPECT_FALSE(fileStamp(dir / "missing"));
}

TEST(Libraries, TheLinkServerLoadsByPathAndNamesItsEntries) {
    EXPECT_EQ(sharedLibraryFileName("TCPServer"), "TCPServer.dll");
    auto lib = loadLibrary(ownFolder() + sharedLibraryFileName("TCPServer"));
    ASSERT_TRUE(lib) << lib.error();
    for (const char* entry : {"StartServer", "DisconnectAll", "sendToApp", "SetUid", "CloseAll"})
        EXPECT_NE(lib.value()->symbol(entry), nullptr) << entry;
    EXPECT_EQ(lib.value()->symbol("_StartServer@12"), nullptr);
    auto missing = loadLibrary(ownFolder() + "NoSuch.dll");
    ASSERT_FALSE(missing);
    EXPECT_NE(missing.error().find("NoSuch.dll"), std::string::npos) << missing.error();
}

TEST(System, PathsVersionAndPrivateSockets) {
    EXPECT_EQ(kSeparator, '\\');
    EXPECT_EQ(executablePath(), ownFolder() + "win_platform_tests.exe");
    // Wine reports the Windows version its prefix is set to (10 by default).
    EXPECT_GE(osMajorVersion(), 6);
    enableDebugPrivilege(); // an ordinary user may lack it; nothing may break either way

    WSADATA wsa{};
    ASSERT_EQ(::WSAStartup(MAKEWORD(2, 2), &wsa), 0);
    const std::intptr_t s = openPrivateSocket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    ASSERT_NE(s, -1);
    DWORD flags = 0;
    ASSERT_TRUE(::GetHandleInformation(reinterpret_cast<HANDLE>(s), &flags));
    EXPECT_EQ(flags & HANDLE_FLAG_INHERIT, 0u);
    ::closesocket(static_cast<SOCKET>(s));
    ::WSACleanup();
}

TEST(Files, ATreeIsRemovedWithoutFollowingItsLinks) {
    TempFolder root("remove tree");
    const std::string tree = root / "应用 (x86)";
    ASSERT_TRUE(vx::platform::createDirs(tree + "\\bin\\deep"));
    ASSERT_TRUE(vx::platform::writeFileAtomic(tree + "\\bin\\deep\\a.dll", "a").ok());
    ASSERT_TRUE(vx::platform::writeFileAtomic(tree + "\\version.xml", "v").ok());
    // A link to a folder outside (where the system lets this user make one) goes as itself.
    const std::string outside = root / "outside";
    ASSERT_TRUE(vx::platform::createDir(outside));
    ASSERT_TRUE(vx::platform::writeFileAtomic(outside + "\\keep.txt", "mine").ok());
    const bool linked = ::CreateSymbolicLinkW(wide(tree + "\\link").c_str(), wide(outside).c_str(),
                                              SYMBOLIC_LINK_FLAG_DIRECTORY) != FALSE;
    EXPECT_TRUE(vx::platform::removeTree(tree));
    EXPECT_FALSE(vx::platform::dirExists(tree));
    EXPECT_TRUE(vx::platform::fileExists(outside + "\\keep.txt")) << (linked ? "followed" : "");
    EXPECT_TRUE(vx::platform::removeTree(root / "never there"));
}

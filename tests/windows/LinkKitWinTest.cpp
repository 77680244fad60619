// The application-side link kit and vxlink.exe under Wine against TCPServer.dll: UTF-8 in the
// program, code page 936 on the wire, Winsock underneath.

#include "LinkClient.h"

#include "WinLinkSupport.h"

#include <thread>

using namespace winlink;
using namespace std::chrono_literals;

namespace {

// What the client answers to "获取用户信息:MyID=<id>" once a user has logged in as 10086.
void userInfoResponder(const std::string& text) {
    const std::string key = ansi("获取用户信息:MyID=");
    if (text.starts_with(key)) {
        std::string id = text.substr(key.size());
        Library::get().sendToApp(("appID=" + id + "&parma=UserInfo%3Fuid%3D10086").c_str());
    }
}

vxlink::LinkClientOptions optionsFor(const std::string& port, int id) {
    vxlink::LinkClientOptions o;
    o.port = static_cast<std::uint16_t>(std::stoi(port));
    o.appId = id;
    o.firstRetryDelay = 20ms;
    o.maxRetryDelay = 200ms;
    return o;
}

struct ToolRun {
    DWORD code = 1000;
    std::string out; // standard output, CR LF turned into LF
};

// Runs vxlink.exe from this program's folder with the arguments (UTF-8, each quoted by the
// command-line rules) and reads its standard output.
ToolRun runTool(const std::vector<std::string>& args) {
    ToolRun r;
    const std::wstring exe = wintest::wide(wintest::ownFolder() + "vxlink.exe");
    std::wstring line = L"\"" + exe + L"\"";
    for (const auto& a : args)
        line += L" \"" + wintest::wide(a) + L"\""; // no argument here holds a quote
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    if (!::CreatePipe(&readEnd, &writeEnd, &sa, 0))
        return r;
    ::SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = writeEnd;
    si.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
    si.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
    PROCESS_INFORMATION pi{};
    const BOOL ok = ::CreateProcessW(exe.c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                     nullptr, &si, &pi);
    ::CloseHandle(writeEnd);
    if (ok) {
        char buf[4096];
        DWORD got = 0;
        while (::ReadFile(readEnd, buf, sizeof buf, &got, nullptr) && got > 0)
            r.out.append(buf, got);
        ::WaitForSingleObject(pi.hProcess, INFINITE);
        ::GetExitCodeProcess(pi.hProcess, &r.code);
        ::CloseHandle(pi.hThread);
        ::CloseHandle(pi.hProcess);
    }
    ::CloseHandle(readEnd);
    std::string lf;
    for (char c : r.out)
        if (c != '\r')
            lf += c;
    r.out = lf;
    return r;
}

} // namespace

TEST_F(ServerTest, TheKitSendsInGbkReceivesInUtf8AndComesBackAfterCloseAll) {
    rec().setHook(userInfoResponder);
    vxlink::LinkClient client(optionsFor(port, 12));
    client.start();
    // Registering means the kit found the server's end in Wine's connection table and its
    // process's token user equal to its own (Wine runs every program as one user, so the
    // refusal of another user's program is tested on Linux only).
    ASSERT_TRUE(client.waitRegistered(kHangGuard).ok()) << client.lastError();
    EXPECT_EQ(client.refusals(), 0u);
    ASSERT_TRUE(rec().waitFor(online(12)));

    ASSERT_TRUE(client.send("获取用户信息:MyID=12").ok());
    ASSERT_TRUE(rec().waitFor(ansi("获取用户信息:MyID=12")));
    auto reply = client.receive(kHangGuard);
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(reply->payload, "UserInfo?uid=10086");
    EXPECT_EQ(reply->argument("uid"), "10086");
    lib().sendToApp("appID=12&parma=%D6%D0%CE%C4");
    reply = client.receive(kHangGuard);
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(reply->payload, "中文");

    // A login: CloseAll, the new user's id, a command; the kit reconnects and gets both.
    ASSERT_EQ(lib().closeAll(), TCPSERVER_OK);
    lib().setUid("777");
    lib().sendToApp("appID=12&parma=HideForm%3Fa");
    reply = client.receive(kHangGuard);
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(reply->payload, "HideForm?a");
    EXPECT_EQ(client.registrations(), 2u);
    EXPECT_EQ(client.uid(), "777");
    client.close();
    ASSERT_TRUE(rec().waitFor(offline(12), 2));
    lib().setUid(nullptr);
}

TEST_F(ServerTest, VxlinkReadsItsWideArgumentsAndPrintsUtf8) {
    rec().setHook([](const std::string& text) {
        userInfoResponder(text);
        if (text == ansi("名字"))
            Library::get().sendToApp("appID=3&parma=%D6%D0%CE%C4");
    });
    ToolRun r = runTool({"--app", "12", "--port", port, "获取用户信息:MyID=12"});
    EXPECT_EQ(r.code, 0u);
    EXPECT_EQ(r.out, "UserInfo?uid=10086\n");
    r = runTool({"--app", "3", "--port", port, "--raw", "名字"});
    EXPECT_EQ(r.code, 0u);
    EXPECT_EQ(r.out, "appID=3&parma=%D6%D0%CE%C4\n");
    r = runTool({"--app", "3", "--port", port, "名字"});
    EXPECT_EQ(r.out, "中文\n");

    r = runTool({"--app", "x", "m"});
    EXPECT_EQ(r.code, 2u);
    r = runTool({"--app", "1", "--port", freePort(), "--timeout", "500", "m"});
    EXPECT_EQ(r.code, 1u);
}

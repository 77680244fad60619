#include "ToolConsole.h"

// shellapi.h needs windows.h first.
// clang-format off
#include <windows.h>
#include <shellapi.h>
// clang-format on

namespace vxlink {

namespace {

std::string toUtf8(const wchar_t* w) {
    int n = ::WideCharToMultiByte(CP_UTF8, 0, w, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 1)
        return {};
    std::string s(static_cast<std::size_t>(n - 1), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, w, -1, s.data(), n, nullptr, nullptr);
    return s;
}

} // namespace

std::vector<std::string> utf8Arguments(int argc, char** argv) {
    int n = 0;
    LPWSTR* wide = ::CommandLineToArgvW(::GetCommandLineW(), &n);
    if (!wide)
        return std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc);
    std::vector<std::string> out;
    for (int i = 1; i < n; ++i)
        out.push_back(toUtf8(wide[i]));
    ::LocalFree(wide);
    return out;
}

void prepareConsole() {
    ::SetConsoleOutputCP(CP_UTF8);
}

} // namespace vxlink

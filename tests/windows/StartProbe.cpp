// Started by the tests in place of an application or of the client: writes how it was started
// (its working folder and its arguments, UTF-8, one per line) to "<its own path>.txt", by a
// rename so that the file appears whole.

#include <windows.h>
#include <shellapi.h>

#include <string>

namespace {

std::string utf8(const wchar_t* w) {
    int n = ::WideCharToMultiByte(CP_UTF8, 0, w, -1, nullptr, 0, nullptr, nullptr);
    std::string s(n > 0 ? n - 1 : 0, '\0');
    if (n > 1)
        ::WideCharToMultiByte(CP_UTF8, 0, w, -1, s.data(), n, nullptr, nullptr);
    return s;
}

} // namespace

int main() {
    wchar_t self[MAX_PATH] = {}, cwd[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, self, MAX_PATH);
    ::GetCurrentDirectoryW(MAX_PATH, cwd);
    std::string text = "cwd=" + utf8(cwd) + "\n";
    int argc = 0;
    if (LPWSTR* argv = ::CommandLineToArgvW(::GetCommandLineW(), &argc)) {
        for (int i = 1; i < argc; ++i)
            text += "arg=" + utf8(argv[i]) + "\n";
        ::LocalFree(argv);
    }
    const std::wstring out = std::wstring(self) + L".txt";
    const std::wstring part = out + L".part";
    HANDLE h = ::CreateFileW(part.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return 1;
    DWORD written = 0;
    ::WriteFile(h, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    ::CloseHandle(h);
    return ::MoveFileExW(part.c_str(), out.c_str(), MOVEFILE_REPLACE_EXISTING) ? 0 : 1;
}

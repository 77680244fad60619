#pragma once
// Shared pieces of the Windows tests: text conversions, folders of their own, files, and
// waiting for something another process does.

#include <windows.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>

namespace wintest {

// Guards against a hang only; no test measures time.
inline constexpr auto kHangGuard = std::chrono::seconds(30);

inline std::wstring wide(const std::string& utf8) {
    if (utf8.empty())
        return {};
    int n = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()),
                                  nullptr, 0);
    std::wstring w(static_cast<std::size_t>(n), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), w.data(), n);
    return w;
}

inline std::string utf8(const std::wstring& w) {
    if (w.empty())
        return {};
    int n = ::WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0,
                                  nullptr, nullptr);
    std::string s(static_cast<std::size_t>(n), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), s.data(), n,
                          nullptr, nullptr);
    return s;
}

// The folder of the running test program, with its final "\".
inline std::string ownFolder() {
    wchar_t self[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring s = self;
    return utf8(s.substr(0, s.find_last_of(L'\\') + 1));
}

inline bool writeFile(const std::string& path, const std::string& bytes) {
    HANDLE h = ::CreateFileW(wide(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    const bool ok = ::WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                                nullptr) &&
                    written == bytes.size();
    ::CloseHandle(h);
    return ok;
}

// The whole file; none when it cannot be opened.
inline std::optional<std::string> readFile(const std::string& path) {
    HANDLE h = ::CreateFileW(wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return std::nullopt;
    std::string out;
    char buf[4096];
    DWORD got = 0;
    while (::ReadFile(h, buf, sizeof buf, &got, nullptr) && got > 0)
        out.append(buf, got);
    ::CloseHandle(h);
    return out;
}

inline bool exists(const std::string& path) {
    return ::GetFileAttributesW(wide(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Waits until a file appears at the path (written by another process) and returns it.
inline std::optional<std::string> waitForFile(const std::string& path,
                                              std::chrono::seconds guard = kHangGuard) {
    const auto until = std::chrono::steady_clock::now() + guard;
    while (std::chrono::steady_clock::now() < until) {
        if (auto text = readFile(path))
            return text;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return std::nullopt;
}

// A new, empty folder below the temporary folder, named `name` plus a unique number; with the
// final "\". Removed with its contents when the object goes.
class TempFolder {
public:
    explicit TempFolder(const std::string& name) {
        wchar_t tmp[MAX_PATH] = {};
        ::GetTempPathW(MAX_PATH, tmp);
        static int counter = 0;
        for (int i = 0; i < 100 && m_path.empty(); ++i) {
            std::string candidate = utf8(tmp) + name + " " +
                                    std::to_string(::GetCurrentProcessId()) + "-" +
                                    std::to_string(++counter);
            if (::CreateDirectoryW(wide(candidate).c_str(), nullptr))
                m_path = candidate + "\\";
        }
    }
    ~TempFolder() {
        if (m_path.empty())
            return;
        // SHFileOperation would do; a recursive delete keeps the test free of the shell's UI.
        removeTree(wide(m_path.substr(0, m_path.size() - 1)));
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::string& path() const { return m_path; }
    std::string operator/(const std::string& name) const { return m_path + name; }

private:
    static void removeTree(const std::wstring& dir) {
        WIN32_FIND_DATAW f{};
        HANDLE h = ::FindFirstFileW((dir + L"\\*").c_str(), &f);
        if (h != INVALID_HANDLE_VALUE) {
            do {
                std::wstring n = f.cFileName;
                if (n == L"." || n == L"..")
                    continue;
                std::wstring p = dir + L"\\" + n;
                if (f.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                    removeTree(p);
                else
                    ::DeleteFileW(p.c_str());
            } while (::FindNextFileW(h, &f));
            ::FindClose(h);
        }
        ::RemoveDirectoryW(dir.c_str());
    }

    std::string m_path;
};

} // namespace wintest

#include "platform/Platform.h"

#include <winsock2.h>
#include <windows.h>
#include <shellapi.h>
#include <winhttp.h>

#include <algorithm>
#include <mutex>
#include <vector>
#include <cctype>

namespace vx::platform {

const char kSeparator = '\\';

namespace {

std::wstring widen(std::string_view s, UINT codePage = CP_UTF8) {
    if (s.empty())
        return {};
    int n = ::MultiByteToWideChar(codePage, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
    std::wstring w(static_cast<std::size_t>(n), L'\0');
    ::MultiByteToWideChar(codePage, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
    return w;
}

std::string narrow(std::wstring_view w, UINT codePage = CP_UTF8) {
    if (w.empty())
        return {};
    int n = ::WideCharToMultiByte(codePage, 0, w.data(), static_cast<int>(w.size()), nullptr, 0,
                                  nullptr, nullptr);
    std::string s(static_cast<std::size_t>(n), '\0');
    ::WideCharToMultiByte(codePage, 0, w.data(), static_cast<int>(w.size()), s.data(), n,
                          nullptr, nullptr);
    return s;
}

// UTF-8 to UTF-16 with one U+FFFD for each maximal subpart of an invalid sequence (the longest
// start of a well-formed sequence, or else one byte), as Platform.h promises; the system's
// decoder replaces some of them (overlong forms, surrogates) by fewer.
std::wstring widenUtf8(std::string_view s) {
    std::wstring w;
    w.reserve(s.size());
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    const std::size_t n = s.size();
    for (std::size_t i = 0; i < n;) {
        const unsigned char c = p[i];
        if (c < 0x80) {
            w += static_cast<wchar_t>(c);
            ++i;
            continue;
        }
        // The length of the sequence and the range of its second byte.
        int len = 0;
        unsigned char lo = 0x80, hi = 0xBF;
        char32_t cp = 0;
        if (c >= 0xC2 && c <= 0xDF) {
            len = 2;
            cp = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            len = 3;
            cp = c & 0x0F;
            lo = c == 0xE0 ? 0xA0 : 0x80;
            hi = c == 0xED ? 0x9F : 0xBF;
        } else if (c >= 0xF0 && c <= 0xF4) {
            len = 4;
            cp = c & 0x07;
            lo = c == 0xF0 ? 0x90 : 0x80;
            hi = c == 0xF4 ? 0x8F : 0xBF;
        }
        std::size_t j = i + 1;
        int k = 1;
        for (; k < len && j < n; ++k, ++j) {
            const unsigned char b = p[j];
            if (b < (k == 1 ? lo : 0x80) || b > (k == 1 ? hi : 0xBF))
                break;
            cp = (cp << 6) | (b & 0x3F);
        }
        if (len == 0 || k < len) {
            w += L'\xFFFD';
        } else if (cp >= 0x10000) {
            w += static_cast<wchar_t>(0xD800 + ((cp - 0x10000) >> 10));
            w += static_cast<wchar_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
        } else {
            w += static_cast<wchar_t>(cp);
        }
        i = j;
    }
    return w;
}

// ANSI code page to UTF-16 with U+FFFD for each byte that starts no character (a lone or
// badly followed lead byte); the system would give "?" or drop it.
std::wstring widenAnsi(std::string_view s) {
    const UINT cp = ::GetACP();
    const int whole = ::MultiByteToWideChar(cp, MB_ERR_INVALID_CHARS, s.data(),
                                            static_cast<int>(s.size()), nullptr, 0);
    if (whole > 0)
        return widen(s, cp);
    std::wstring w;
    for (std::size_t i = 0; i < s.size();) {
        const int len =
            ::IsDBCSLeadByteEx(cp, static_cast<BYTE>(s[i])) && i + 1 < s.size() ? 2 : 1;
        wchar_t out[2];
        const int got = ::MultiByteToWideChar(cp, MB_ERR_INVALID_CHARS, s.data() + i, len, out, 2);
        if (got > 0) {
            w.append(out, static_cast<std::size_t>(got));
            i += static_cast<std::size_t>(len);
        } else {
            w += L'\xFFFD';
            ++i;
        }
    }
    return w;
}

// UTF-16 to the ANSI code page with one "?" for each character it lacks; the system gives a
// character outside the 16-bit range one "?" for each of its two halves.
std::string narrowAnsi(std::wstring_view w) {
    const UINT cp = ::GetACP();
    BOOL lost = FALSE;
    // The UTF code pages represent every character (and take no lpUsedDefaultChar); a failed
    // conversion stays empty, which the callers report.
    if (cp == CP_UTF8 || cp == 54936 || w.empty() ||
        ::WideCharToMultiByte(cp, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr,
                              &lost) <= 0 ||
        !lost)
        return narrow(w, cp);
    std::string out;
    for (std::size_t i = 0; i < w.size();) {
        const std::size_t len =
            IS_HIGH_SURROGATE(w[i]) && i + 1 < w.size() && IS_LOW_SURROGATE(w[i + 1]) ? 2 : 1;
        char buf[8];
        BOOL used = FALSE;
        const int got = ::WideCharToMultiByte(cp, 0, w.data() + i, static_cast<int>(len), buf,
                                              sizeof buf, nullptr, &used);
        if (got <= 0 || used)
            out += '?';
        else
            out.append(buf, static_cast<std::size_t>(got));
        i += len;
    }
    return out;
}

} // namespace

std::string executablePath() {
    std::wstring buf(MAX_PATH, L'\0');
    for (;;) {
        DWORD n = ::GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
        if (n == 0)
            return {};
        if (n < buf.size()) {
            buf.resize(n);
            return narrow(buf);
        }
        buf.resize(buf.size() * 2);
    }
}

unsigned ansiCodePage() { return ::GetACP(); }

// The system converts with every code page it reports; an empty result of a non-empty
// input means it could not.
Expected<std::string> utf8ToAnsi(std::string_view utf8) {
    std::string out = narrowAnsi(widenUtf8(utf8));
    if (out.empty() && !utf8.empty())
        return Error{"no conversion from UTF-8 to code page " + std::to_string(::GetACP())};
    return out;
}

Expected<std::string> ansiToUtf8(std::string_view ansi) {
    std::string out = narrow(widenAnsi(ansi));
    if (out.empty() && !ansi.empty())
        return Error{"no conversion from code page " + std::to_string(::GetACP()) + " to UTF-8"};
    return out;
}

std::optional<std::string> decodeCharset(std::string_view bytes, std::string_view charset) {
    std::string name;
    for (char c : charset)
        if (c != ' ' && c != '"' && c != '\'')
            name += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    struct Entry {
        const char* name;
        UINT codePage;
    };
    static const Entry table[] = {
        {"utf-8", CP_UTF8},       {"utf8", CP_UTF8},          {"gb2312", 936},
        {"gbk", 936},             {"cp936", 936},             {"x-gbk", 936},
        {"gb18030", 54936},       {"big5", 950},              {"shift_jis", 932},
        {"euc-kr", 949},          {"iso-8859-1", 28591},      {"latin1", 28591},
        {"us-ascii", 20127},      {"ascii", 20127},           {"windows-1252", 1252},
        {"windows-1251", 1251},   {"koi8-r", 20866},          {"utf-16le", 1200},
    };
    for (const auto& e : table)
        if (name == e.name)
            return narrow(widen(bytes, e.codePage));
    return std::nullopt;
}

std::vector<std::string> splitCommandLine(std::string_view params) {
    std::vector<std::string> args;
    // CommandLineToArgvW treats its first token as the program name; give it a dummy one.
    std::wstring line = L"x " + widen(params);
    int argc = 0;
    LPWSTR* argv = ::CommandLineToArgvW(line.c_str(), &argc);
    if (!argv)
        return args;
    for (int i = 1; i < argc; ++i)
        args.push_back(narrow(argv[i]));
    ::LocalFree(argv);
    return args;
}

namespace {
// The programs shellOpen started, with their folder; a handle is closed once it has ended.
std::mutex g_startedMutex;
std::vector<std::pair<HANDLE, std::string>> g_started;

bool removeTreeW(const std::wstring& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return ::GetLastError() == ERROR_FILE_NOT_FOUND || ::GetLastError() == ERROR_PATH_NOT_FOUND;
    ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    // A reparse point (a link, a junction, a mounted volume) goes as itself.
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT)
        return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? ::RemoveDirectoryW(path.c_str()) != FALSE
                                                       : ::DeleteFileW(path.c_str()) != FALSE;
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY))
        return ::DeleteFileW(path.c_str()) != FALSE;
    bool all = true;
    WIN32_FIND_DATAW found;
    HANDLE h = ::FindFirstFileW((path + L"\\*").c_str(), &found);
    if (h != INVALID_HANDLE_VALUE) {
        std::vector<std::wstring> names;
        do {
            const std::wstring name = found.cFileName;
            if (name != L"." && name != L"..")
                names.push_back(name);
        } while (::FindNextFileW(h, &found));
        ::FindClose(h);
        for (const auto& name : names)
            all = removeTreeW(path + L"\\" + name) && all;
    }
    return ::RemoveDirectoryW(path.c_str()) != FALSE && all;
}
} // namespace

long currentProcessId() { return static_cast<long>(::GetCurrentProcessId()); }

bool keepsChangeTimes(const std::string& path) {
    wchar_t root[MAX_PATH] = {};
    wchar_t fsName[MAX_PATH] = {};
    if (!::GetVolumePathNameW(widen(path).c_str(), root, MAX_PATH) ||
        !::GetVolumeInformationW(root, nullptr, 0, nullptr, nullptr, nullptr, fsName, MAX_PATH))
        return true;
    const std::wstring name = fsName;
    return name != L"FAT" && name != L"FAT32" && name != L"exFAT";
}

std::string userStateFolder() {
    const wchar_t* local = ::_wgetenv(L"LOCALAPPDATA");
    return local && *local ? narrow(std::wstring(local)) : std::string();
}

std::optional<unsigned long long> freeSpace(const std::string& path) {
    std::wstring at = widen(path);
    for (;;) {
        ULARGE_INTEGER avail{};
        if (::GetDiskFreeSpaceExW(at.c_str(), &avail, nullptr, nullptr))
            return static_cast<unsigned long long>(avail.QuadPart);
        while (!at.empty() && (at.back() == L'\\' || at.back() == L'/'))
            at.pop_back();
        const auto cut = at.find_last_of(L"\\/");
        if (cut == std::wstring::npos)
            return std::nullopt;
        at.resize(cut + 1);
    }
}

bool startedProgramRuns(const std::string& folder) {
    std::lock_guard lock(g_startedMutex);
    bool runs = false;
    for (auto it = g_started.begin(); it != g_started.end();) {
        if (::WaitForSingleObject(it->first, 0) != WAIT_TIMEOUT) {
            ::CloseHandle(it->first);
            it = g_started.erase(it);
            continue;
        }
        runs = runs || it->second == folder;
        ++it;
    }
    return runs;
}

bool removeTree(const std::string& path) { return removeTreeW(widen(path)); }

bool shellOpen(const std::string& file, const std::string& params, const std::string& folder) {
    std::wstring wfile = widen(file), wparams = widen(params), wfolder = widen(folder);
    SHELLEXECUTEINFOW info{};
    info.cbSize = sizeof info;
    info.fMask = 0x440; // SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI
    info.lpVerb = L"Open";
    info.lpFile = wfile.c_str();
    info.lpParameters = params.empty() ? nullptr : wparams.c_str();
    info.lpDirectory = wfolder.c_str();
    info.nShow = SW_SHOW;
    BOOL ok = ::ShellExecuteExW(&info);
    if (info.hProcess) {
        std::lock_guard lock(g_startedMutex);
        g_started.emplace_back(info.hProcess, folder);
    }
    return ok != FALSE;
}

bool runTaskAsInteractiveUser(const std::string& commandLine, const std::string& folder) {
    using RunTask = HRESULT(WINAPI*)(LPCWSTR, LPCWSTR, DWORD);
    HMODULE wdc = ::GetModuleHandleW(L"wdc.dll");
    if (!wdc)
        wdc = ::LoadLibraryW(L"wdc.dll"); // stays loaded for the rest of the process
    if (!wdc)
        return false;
    auto run = reinterpret_cast<RunTask>(
        reinterpret_cast<void*>(::GetProcAddress(wdc, "WdcRunTaskAsInteractiveUser")));
    if (!run)
        return false;
    std::wstring wline = widen(commandLine), wfolder = widen(folder);
    return run(wline.c_str(), wfolder.c_str(), 39) == 0;
}

bool openUrl(const std::string& url) {
    std::wstring w = widen(url);
    auto r = reinterpret_cast<INT_PTR>(
        ::ShellExecuteW(nullptr, L"open", w.c_str(), nullptr, nullptr, SW_SHOWNORMAL));
    return r > 32;
}

std::intptr_t openPrivateSocket(int family, int type, int protocol) {
    SOCKET s = ::WSASocketW(family, type, protocol, nullptr, 0,
                            WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    return s == INVALID_SOCKET ? -1 : static_cast<std::intptr_t>(s);
}

namespace {

std::string lowerAscii(std::string s) {
    for (char& c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// The items of a WinINet list, which separates them by ';' or blanks.
std::vector<std::string> proxyListItems(const std::string& list) {
    std::vector<std::string> items;
    std::string::size_type pos = 0;
    while (pos < list.size()) {
        auto end = list.find_first_of("; \t\r\n", pos);
        if (end == std::string::npos)
            end = list.size();
        if (end > pos)
            items.push_back(list.substr(pos, end - pos));
        pos = end + 1;
    }
    return items;
}

// A WinINet bypass item as CURLOPT_NOPROXY reads it: "*.corp" becomes ".corp" (the domain and
// the names below it), "10.*" becomes "10.0.0.0/8". Empty for what libcurl cannot express
// ("<local>", other wildcards).
std::string curlBypassItem(std::string item) {
    if (item == "*")
        return item;
    if (item.starts_with("*."))
        item.erase(0, 1);
    if (item.ends_with(".*") && item.find_first_not_of("0123456789.") == item.size() - 1) {
        item.resize(item.size() - 2);
        const auto octets = std::count(item.begin(), item.end(), '.') + 1;
        if (octets > 3)
            return {};
        for (auto i = octets; i < 4; ++i)
            item += ".0";
        return item + "/" + std::to_string(8 * octets);
    }
    return item.find_first_of("*<>") == std::string::npos ? item : std::string();
}

// A WinINet proxy item ("host", "host:port", "[::1]:port", "http://host:port") as
// CURLOPT_PROXY takes it, with WinINet's default port where it names none (libcurl's would be
// 1080 for every kind).
std::string curlProxy(std::string item, const char* scheme, const char* port) {
    if (item.find("://") == std::string::npos)
        item = scheme + item;
    const auto host = item.find("://") + 3;
    const auto colon = item.rfind(':');
    const auto bracket = item.rfind(']');
    if (colon < host || (bracket != std::string::npos && colon < bracket))
        item += std::string(":") + port;
    return item;
}

} // namespace

SystemProxy systemProxy(std::string_view url) {
    SystemProxy result;
    WINHTTP_CURRENT_USER_IE_PROXY_CONFIG ie{};
    if (!::WinHttpGetIEProxyConfigForCurrentUser(&ie))
        return result;
    const std::string list = ie.lpszProxy ? narrow(ie.lpszProxy) : std::string();
    const std::string bypass = ie.lpszProxyBypass ? narrow(ie.lpszProxyBypass) : std::string();
    for (LPWSTR s : {ie.lpszAutoConfigUrl, ie.lpszProxy, ie.lpszProxyBypass})
        if (s)
            ::GlobalFree(s);
    // "host:port" serves every scheme; "http=host:port;https=host:port;socks=host:port" names
    // one per scheme. The https proxy is spoken to in plain HTTP too: the request goes through
    // it in a CONNECT tunnel, still encrypted end to end.
    const std::string wanted = lowerAscii(std::string(url.substr(0, 6))) == "https:" ? "https" : "http";
    std::string any, scheme, socks;
    for (const std::string& item : proxyListItems(list)) {
        const auto eq = item.find('=');
        if (eq == std::string::npos) {
            any = item;
            continue;
        }
        const std::string key = lowerAscii(item.substr(0, eq));
        if (key == wanted)
            scheme = item.substr(eq + 1);
        else if (key == "socks")
            socks = item.substr(eq + 1);
    }
    if (!scheme.empty() || !any.empty())
        result.proxy = curlProxy(scheme.empty() ? any : scheme, "http://", "80");
    else if (!socks.empty())
        result.proxy = curlProxy(socks, "socks4://", "1080");
    for (const std::string& item : proxyListItems(bypass)) {
        const std::string b = curlBypassItem(item);
        if (!b.empty())
            result.bypass += (result.bypass.empty() ? "" : ",") + b;
    }
    return result;
}

bool runScriptDetached(const std::string& scriptPath, const std::string& folder) {
    const std::size_t slash = scriptPath.find_last_of("\\/");
    const std::string name = slash == std::string::npos ? scriptPath : scriptPath.substr(slash + 1);
    const std::string where =
        slash == std::string::npos ? folder : scriptPath.substr(0, slash + 1);
    const std::string line = updateScriptCommandLine(name);
    if (line.empty())
        return false;
    // The interpreter by its full path: a bare "cmd.exe" is looked up in the working folder
    // first, where anyone who could write there would be run instead.
    wchar_t system[MAX_PATH] = {};
    const UINT n = ::GetSystemDirectoryW(system, MAX_PATH);
    if (n == 0 || n >= MAX_PATH)
        return false;
    const std::wstring interpreter = std::wstring(system) + L"\\cmd.exe";
    std::wstring cmd = widen(line);
    std::wstring wfolder = widen(where);
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESHOWWINDOW;
    si.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION pi{};
    // CREATE_NO_WINDOW gives the script a console without a window; DETACHED_PROCESS would
    // leave it none, and the first console program it runs (the wait) would open a visible
    // one.
    if (!::CreateProcessW(interpreter.c_str(), cmd.data(), nullptr, nullptr, FALSE,
                          CREATE_NO_WINDOW, nullptr, where.empty() ? nullptr : wfolder.c_str(),
                          &si, &pi))
        return false;
    ::CloseHandle(pi.hThread);
    ::CloseHandle(pi.hProcess);
    return true;
}

int osMajorVersion() {
    // GetVersionEx lies to unmanifested programs; RtlGetVersion does not.
    using RtlGetVersionFn = LONG(WINAPI*)(OSVERSIONINFOW*);
    HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    if (!ntdll)
        return 0;
    auto fn = reinterpret_cast<RtlGetVersionFn>(
        reinterpret_cast<void*>(::GetProcAddress(ntdll, "RtlGetVersion")));
    if (!fn)
        return 0;
    OSVERSIONINFOW info{};
    info.dwOSVersionInfoSize = sizeof info;
    if (fn(&info) != 0)
        return 0;
    return static_cast<int>(info.dwMajorVersion);
}

void enableDebugPrivilege() {
    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token))
        return;
    TOKEN_PRIVILEGES tp{};
    if (::LookupPrivilegeValueW(nullptr, L"SeDebugPrivilege", &tp.Privileges[0].Luid)) {
        tp.PrivilegeCount = 1;
        tp.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
        ::AdjustTokenPrivileges(token, FALSE, &tp, sizeof tp, nullptr, nullptr);
    }
    ::CloseHandle(token);
}

namespace {
class MutexLock : public InstanceLock {
public:
    explicit MutexLock(HANDLE h) : m_handle(h) {}
    ~MutexLock() override { ::CloseHandle(m_handle); }

private:
    HANDLE m_handle;
};
} // namespace

std::unique_ptr<InstanceLock> acquireInstanceLock(const std::string& name) {
    std::wstring wname = widen(name);
    HANDLE h = ::CreateMutexW(nullptr, FALSE, wname.c_str());
    if (!h)
        return nullptr;
    if (::GetLastError() == ERROR_ALREADY_EXISTS) {
        ::CloseHandle(h);
        return nullptr;
    }
    return std::make_unique<MutexLock>(h);
}

namespace {
class WinLibrary : public DynamicLibrary {
public:
    explicit WinLibrary(HMODULE h) : m_handle(h) {}
    ~WinLibrary() override { ::FreeLibrary(m_handle); }
    void* symbol(const char* name) const override {
        return reinterpret_cast<void*>(::GetProcAddress(m_handle, name));
    }

private:
    HMODULE m_handle;
};
} // namespace

Expected<std::unique_ptr<DynamicLibrary>> loadLibrary(const std::string& path) {
    HMODULE h = ::LoadLibraryW(widen(path).c_str());
    if (!h)
        return Error{"cannot load " + path + " (error " + std::to_string(::GetLastError()) + ")"};
    return std::unique_ptr<DynamicLibrary>(std::make_unique<WinLibrary>(h));
}

std::string sharedLibraryFileName(std::string_view baseName) {
    return std::string(baseName) + ".dll";
}

Status writeFileAtomic(const std::string& path, std::string_view data, bool /*ownerOnly*/) {
    std::wstring target = widen(path);
    std::wstring tmp = target + L".tmp" + std::to_wstring(::GetCurrentProcessId());
    HANDLE h = ::CreateFileW(tmp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return Error{"cannot create a temporary file for " + path};
    const char* p = data.data();
    std::size_t left = data.size();
    bool ok = true;
    while (ok && left > 0) {
        DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(left, 1u << 30));
        DWORD written = 0;
        ok = ::WriteFile(h, p, chunk, &written, nullptr) && written == chunk;
        p += written;
        left -= written;
    }
    ok = ok && ::FlushFileBuffers(h);
    ::CloseHandle(h);
    if (!ok || !::MoveFileExW(tmp.c_str(), target.c_str(),
                              MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        ::DeleteFileW(tmp.c_str());
        return Error{"cannot write " + path};
    }
    return {};
}

SharedReadFile::~SharedReadFile() {
    if (m_handle != -1)
        ::CloseHandle(reinterpret_cast<HANDLE>(m_handle));
}

Status SharedReadFile::open(const std::string& path) {
    HANDLE h = ::CreateFileW(widen(path).c_str(), GENERIC_READ,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return Error{"cannot open " + path};
    m_handle = reinterpret_cast<std::intptr_t>(h);
    return {};
}

long long SharedReadFile::read(char* buffer, std::size_t size) {
    DWORD got = 0;
    DWORD want = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
    if (!::ReadFile(reinterpret_cast<HANDLE>(m_handle), buffer, want, &got, nullptr))
        return -1;
    return got;
}

bool fileExists(const std::string& path) {
    DWORD a = ::GetFileAttributesW(widen(path).c_str());
    return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
}

std::optional<FileStamp> fileStamp(const std::string& path) {
    HANDLE h = ::CreateFileW(widen(path).c_str(), FILE_READ_ATTRIBUTES,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return std::nullopt;
    BY_HANDLE_FILE_INFORMATION info{};
    FILE_BASIC_INFO basic{};
    const bool ok = ::GetFileInformationByHandle(h, &info) &&
                    ::GetFileInformationByHandleEx(h, FileBasicInfo, &basic, sizeof basic) &&
                    !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
    ::CloseHandle(h);
    if (!ok)
        return std::nullopt;
    auto join = [](DWORD hi, DWORD lo) { return (static_cast<std::uint64_t>(hi) << 32) | lo; };
    // FILETIME counts 100 ns steps since 1601; in nanoseconds that overflows 64 bits, so the
    // times count from 1970 as on POSIX.
    auto ns = [](LONGLONG ticks) { return (ticks - 116444736000000000LL) * 100; };
    return FileStamp{join(info.nFileSizeHigh, info.nFileSizeLow),
                     ns(basic.LastWriteTime.QuadPart), ns(basic.ChangeTime.QuadPart),
                     info.dwVolumeSerialNumber, join(info.nFileIndexHigh, info.nFileIndexLow)};
}

std::int64_t fileClockNow() {
    FILETIME ft{};
    ::GetSystemTimeAsFileTime(&ft);
    const auto ticks = static_cast<std::int64_t>(
        (static_cast<std::uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime);
    return (ticks - 116444736000000000LL) * 100; // from 1970, as fileStamp's times
}

bool makeOwnerExecutable(const std::string& path) {
    // Windows starts any regular file by its extension; there is no right to add. A
    // reparse point (a link) is refused like a link elsewhere.
    DWORD a = ::GetFileAttributesW(widen(path).c_str());
    return a != INVALID_FILE_ATTRIBUTES &&
           !(a & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT));
}

bool dirExists(const std::string& path) {
    DWORD a = ::GetFileAttributesW(widen(path).c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

bool createDir(const std::string& path) {
    return ::CreateDirectoryW(widen(path).c_str(), nullptr) || dirExists(path);
}

bool createDirs(const std::string& path) {
    if (path.empty())
        return false;
    if (dirExists(path))
        return true;
    for (std::size_t pos = 0; (pos = path.find_first_of("\\/", pos + 1)) != std::string::npos;) {
        std::string part = path.substr(0, pos);
        if (!part.empty() && part.back() != ':')
            ::CreateDirectoryW(widen(part).c_str(), nullptr);
    }
    return createDir(path);
}

} // namespace vx::platform

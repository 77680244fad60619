#include "FileOps.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <thread>
#include <vector>
#include <winsock2.h>
#include <windows.h>

namespace vxdl {

namespace {

std::atomic<unsigned> g_tempCounter{0};

std::wstring wide(const std::string& utf8) {
    if (utf8.empty())
        return {};
    int n = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring out(static_cast<std::size_t>(n), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
    return out;
}

std::string narrow(const std::wstring& w) {
    if (w.empty())
        return {};
    int n = ::WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(n), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), out.data(), n, nullptr, nullptr);
    return out;
}

Error sysError(const std::string& what, const std::string& path) {
    return Error{what + " " + path + ": " + lastSystemError()};
}

HANDLE handleOf(std::intptr_t h) { return reinterpret_cast<HANDLE>(h); }

} // namespace

std::string lastSystemError() {
    DWORD code = ::GetLastError();
    wchar_t* text = nullptr;
    DWORD n = ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                   FORMAT_MESSAGE_IGNORE_INSERTS,
                               nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring w = n && text ? std::wstring(text, n) : L"error " + std::to_wstring(code);
    if (text)
        ::LocalFree(text);
    while (!w.empty() && (w.back() == L'\n' || w.back() == L'\r' || w.back() == L' '))
        w.pop_back();
    return narrow(w);
}

std::optional<std::uint64_t> freeSpace(const std::string& path) {
    ULARGE_INTEGER available{};
    if (!::GetDiskFreeSpaceExW(wide(path.empty() ? std::string(".") : path).c_str(), &available, nullptr, nullptr))
        return std::nullopt;
    return static_cast<std::uint64_t>(available.QuadPart);
}

std::string parentOf(const std::string& path) {
    auto pos = path.find_last_of("/\\");
    if (pos == std::string::npos)
        return {};
    if (pos == 0 || (pos == 2 && path[1] == ':'))
        return path.substr(0, pos + 1);
    return path.substr(0, pos);
}

TempFile::~TempFile() { discard(); }

Status TempFile::create(const std::string& target) {
    discard();
    m_keptPart = false;
    m_target = target;
    m_size = 0;
    m_flushed = 0;
    std::string dir = parentOf(target);
    std::string name = target.substr(target.find_last_of("/\\") == std::string::npos ? 0 : target.find_last_of("/\\") + 1);
    std::string prefix = (dir.empty() ? "" : dir + "\\") + "." + name + ".vxdl-" +
                         std::to_string(::GetCurrentProcessId()) + "-";
    for (int tries = 0; tries < 100; ++tries) {
        std::string candidate = prefix + std::to_string(g_tempCounter.fetch_add(1));
        HANDLE h = ::CreateFileW(wide(candidate).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                 CREATE_NEW, FILE_ATTRIBUTE_HIDDEN, nullptr);
        if (h != INVALID_HANDLE_VALUE) {
            m_handle = reinterpret_cast<std::intptr_t>(h);
            m_temp = candidate;
            return {};
        }
        if (::GetLastError() != ERROR_FILE_EXISTS)
            return sysError("无法创建文件", candidate);
    }
    return Error{"无法创建临时文件 " + prefix};
}

Status TempFile::createAt(const std::string& path) { return create(path); }

Status TempFile::openKept(const std::string& path, bool& busy) {
    discard();
    busy = false;
    m_target = path;
    m_size = 0;
    m_flushed = 0;
    // No sharing but deletion: a second holder (another call, DiscardPartials) is refused.
    HANDLE h = ::CreateFileW(wide(path).c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_DELETE, nullptr,
                             OPEN_ALWAYS, FILE_ATTRIBUTE_HIDDEN, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        busy = ::GetLastError() == ERROR_SHARING_VIOLATION;
        return sysError("无法打开文件", path);
    }
    LARGE_INTEGER size{}, zero{};
    if (!::GetFileSizeEx(h, &size) || !::SetFilePointerEx(h, zero, nullptr, FILE_END)) {
        Status s = sysError("无法打开文件", path);
        ::CloseHandle(h);
        return s;
    }
    m_handle = reinterpret_cast<std::intptr_t>(h);
    m_temp = path;
    m_size = static_cast<std::uint64_t>(size.QuadPart);
    m_keptPart = true;
    return {};
}

Status TempFile::readBack(const std::function<void(const char*, std::size_t)>& sink) {
    std::vector<char> buffer(256 * 1024);
    for (std::uint64_t at = 0; at < m_size;) {
        OVERLAPPED where{};
        where.Offset = static_cast<DWORD>(at & 0xFFFFFFFFu);
        where.OffsetHigh = static_cast<DWORD>(at >> 32);
        DWORD n = 0;
        const DWORD want = static_cast<DWORD>(std::min<std::uint64_t>(buffer.size(), m_size - at));
        if (!::ReadFile(handleOf(m_handle), buffer.data(), want, &n, &where) || n == 0)
            return sysError("读取失败", m_temp);
        sink(buffer.data(), n);
        at += n;
    }
    // A read at an offset moves the file pointer: writing goes on at the end.
    LARGE_INTEGER end{};
    end.QuadPart = static_cast<LONGLONG>(m_size);
    if (!::SetFilePointerEx(handleOf(m_handle), end, nullptr, FILE_BEGIN))
        return sysError("读取失败", m_temp);
    return {};
}

void TempFile::keep() {
    if (m_handle != -1) {
        ::FlushFileBuffers(handleOf(m_handle));
        ::CloseHandle(handleOf(m_handle));
        m_handle = -1;
    }
    m_temp.clear();
}

Status TempFile::write(const char* data, std::size_t size) {
    while (size > 0) {
        DWORD chunk = size > (1u << 30) ? (1u << 30) : static_cast<DWORD>(size);
        DWORD written = 0;
        if (!::WriteFile(handleOf(m_handle), data, chunk, &written, nullptr))
            return sysError("写入失败", m_temp);
        data += written;
        size -= written;
        m_size += written;
    }
    return {};
}

void TempFile::startFlush() {}

Status TempFile::truncate(std::uint64_t length) {
    LARGE_INTEGER at{};
    at.QuadPart = static_cast<LONGLONG>(length);
    if (!::SetFilePointerEx(handleOf(m_handle), at, nullptr, FILE_BEGIN) || !::SetEndOfFile(handleOf(m_handle)))
        return sysError("写入失败", m_temp);
    m_size = length;
    m_flushed = 0;
    return {};
}

Status TempFile::finish() {
    if (m_durable && !::FlushFileBuffers(handleOf(m_handle))) {
        Status s = sysError("写入失败", m_temp);
        discard();
        return s;
    }
    ::CloseHandle(handleOf(m_handle));
    m_handle = -1;
    // The hidden attribute belonged to the temporary name only.
    ::SetFileAttributesW(wide(m_temp).c_str(), FILE_ATTRIBUTE_NORMAL);
    return {};
}

Status TempFile::commit() {
    if (Status s = finish(); !s)
        return s;
    if (!::MoveFileExW(wide(m_temp).c_str(), wide(m_target).c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        Status s = sysError("无法替换文件", m_target);
        ::DeleteFileW(wide(m_temp).c_str());
        m_temp.clear();
        return s;
    }
    m_temp.clear();
    return {};
}

void TempFile::discard() {
    if (m_handle != -1) {
        ::CloseHandle(handleOf(m_handle));
        m_handle = -1;
    }
    if (!m_temp.empty()) {
        ::DeleteFileW(wide(m_temp).c_str());
        m_temp.clear();
    }
}

namespace {

// The names in a folder (without "." and ".."), with whether each is a folder that is not
// a reparse point.
std::vector<std::pair<std::string, bool>> entriesOf(const std::string& folder) {
    std::vector<std::pair<std::string, bool>> out;
    WIN32_FIND_DATAW found;
    HANDLE h = ::FindFirstFileW(wide(folder + "\\*").c_str(), &found);
    if (h == INVALID_HANDLE_VALUE)
        return out;
    do {
        std::string name = narrow(found.cFileName);
        if (name == "." || name == "..")
            continue;
        bool dir = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
                   !(found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
        out.push_back({name, dir});
    } while (::FindNextFileW(h, &found));
    ::FindClose(h);
    return out;
}

} // namespace

// Removes a folder and everything in it, never passing through a reparse point.
bool removeTree(const std::string& path) {
    for (const auto& [name, dir] : entriesOf(path)) {
        std::string child = path + "\\" + name;
        ::SetFileAttributesW(wide(child).c_str(), FILE_ATTRIBUTE_NORMAL);
        if (dir)
            removeTree(child);
        else if (!::DeleteFileW(wide(child).c_str()))
            ::RemoveDirectoryW(wide(child).c_str()); // a linked folder: the link only
    }
    return ::RemoveDirectoryW(wide(path).c_str()) || ::GetLastError() == ERROR_FILE_NOT_FOUND ||
           ::GetLastError() == ERROR_PATH_NOT_FOUND;
}

std::string fileIdentity(const std::string& path) {
    HANDLE h = ::CreateFileW(wide(path).c_str(), FILE_READ_ATTRIBUTES,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                             nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return {};
    BY_HANDLE_FILE_INFORMATION info{};
    const bool ok = ::GetFileInformationByHandle(h, &info);
    ::CloseHandle(h);
    if (!ok)
        return {};
    const unsigned long long index =
        (static_cast<unsigned long long>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    return std::to_string(info.dwVolumeSerialNumber) + ":" + std::to_string(index);
}

bool StageLock::take(const std::string& stage) {
    release();
    // No sharing at all: a second process cannot open the file while this one holds it.
    HANDLE h = ::CreateFileW(wide(stage + "\\lock").c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                             nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    m_handle = reinterpret_cast<std::intptr_t>(h);
    return true;
}

void StageLock::release() {
    if (m_handle != -1)
        ::CloseHandle(handleOf(m_handle));
    m_handle = -1;
}

long processId() { return static_cast<long>(::GetCurrentProcessId()); }

bool processGone(long pid) {
    if (pid <= 0 || static_cast<DWORD>(pid) == ::GetCurrentProcessId())
        return false;
    HANDLE process = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid));
    if (process) {
        DWORD code = 0;
        bool running = ::GetExitCodeProcess(process, &code) && code == STILL_ACTIVE;
        ::CloseHandle(process);
        return !running;
    }
    // Any other error: it exists but is not ours to look at.
    return ::GetLastError() == ERROR_INVALID_PARAMETER;
}

void removeStaleTemps(const std::string& target) {
    std::string dir = parentOf(target);
    auto slash = target.find_last_of("/\\");
    std::string prefix = "." + target.substr(slash == std::string::npos ? 0 : slash + 1) + ".vxdl-";
    std::string folder = dir.empty() ? std::string(".") : dir;
    for (const auto& [name, isDir] : entriesOf(folder))
        if (!isDir && name.compare(0, prefix.size(), prefix) == 0 && processGone(pidInName(name, ".vxdl-")))
            ::DeleteFileW(wide(folder + "\\" + name).c_str());
}

void removeLeftovers(const std::string& folder) {
    const std::string dir = folder.empty() ? std::string(".") : folder;
    for (const auto& [name, isDir] : entriesOf(dir)) {
        if (name.size() < 2 || name[0] != '.')
            continue;
        const std::string path = dir + "\\" + name;
        if (!isDir && (processGone(pidInName(name, ".vxdl-")) || processGone(pidInName(name, ".vxold-")))) {
            ::SetFileAttributesW(wide(path).c_str(), FILE_ATTRIBUTE_NORMAL);
            ::DeleteFileW(wide(path).c_str());
        }
    }
}

std::vector<std::string> leftoverStages(const std::string& folder) {
    const std::string dir = folder.empty() ? std::string(".") : folder;
    std::vector<std::string> out;
    for (const auto& [name, isDir] : entriesOf(dir))
        if (isDir && name.size() > 1 && name[0] == '.' && processGone(pidInName(name, ".vxstage-")))
            out.push_back(dir + "\\" + name);
    return out;
}

Status moveKeepingOld(const std::string& source, const std::string& target, const std::string& backup,
                      bool& hadOld) {
    const std::wstring from = wide(source), to = wide(target), keep = wide(backup);
    DWORD attributes = ::GetFileAttributesW(to.c_str());
    hadOld = attributes != INVALID_FILE_ATTRIBUTES;
    if (hadOld && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        ::SetLastError(ERROR_DIRECTORY);
        return sysError("无法替换文件", target);
    }
    // A second link keeps the old file while the target is replaced in one move; where
    // links are not possible (FAT) the old file moves aside first.
    bool linked = hadOld && ::CreateHardLinkW(keep.c_str(), to.c_str(), nullptr);
    if (hadOld && !linked && !::MoveFileExW(to.c_str(), keep.c_str(), MOVEFILE_WRITE_THROUGH))
        return sysError("无法替换文件", target); // in use, for one
    if (!::MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        Status s = sysError("无法替换文件", target);
        if (linked)
            ::DeleteFileW(keep.c_str());
        else if (hadOld)
            ::MoveFileExW(keep.c_str(), to.c_str(), MOVEFILE_WRITE_THROUGH);
        return s;
    }
    return {};
}

Status moveBack(const std::string& backup, const std::string& target) {
    if (!::MoveFileExW(wide(backup).c_str(), wide(target).c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return sysError("无法恢复文件", target);
    return {};
}

Status makeDirs(const std::string& path) {
    if (path.empty())
        return {};
    DWORD attrs = ::GetFileAttributesW(wide(path).c_str());
    if (attrs != INVALID_FILE_ATTRIBUTES) {
        if (attrs & FILE_ATTRIBUTE_DIRECTORY)
            return {};
        return Error{"无法创建文件夹 " + path + ": 同名文件已存在"};
    }
    std::string parent = parentOf(path);
    if (!parent.empty() && parent != path) {
        if (Status s = makeDirs(parent); !s)
            return s;
    }
    if (!::CreateDirectoryW(wide(path).c_str(), nullptr) && ::GetLastError() != ERROR_ALREADY_EXISTS)
        return sysError("无法创建文件夹", path);
    return {};
}

// MoveFileExW runs with MOVEFILE_WRITE_THROUGH and NTFS journals its folders: nothing is left
// to flush here.
Status syncFolder(const std::string&) { return {}; }

// FlushFileBuffers waits for the disk's cache to be emptied, one file at a time on one
// thread; several threads keep the disk's queue full, as syncfs does on Linux.
Status flushTogether(const std::vector<std::string>& paths) {
    std::atomic<std::size_t> next{0};
    std::mutex failMutex;
    std::size_t failedAt = paths.size();
    std::string failure;
    auto flushSome = [&] {
        for (std::size_t i; (i = next.fetch_add(1)) < paths.size();) {
            const std::wstring path = wide(paths[i]);
            const DWORD attributes = ::GetFileAttributesW(path.c_str());
            if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY))
                continue; // gone, or a folder: its renames are written through already
            HANDLE h = ::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                     nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
            std::string why;
            if (h == INVALID_HANDLE_VALUE) {
                const DWORD code = ::GetLastError();
                if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND)
                    continue;
                why = lastSystemError();
            } else {
                if (!::FlushFileBuffers(h))
                    why = lastSystemError();
                ::CloseHandle(h);
            }
            const bool ok = why.empty();
            if (!ok) {
                std::lock_guard lock(failMutex);
                if (i < failedAt) {
                    failedAt = i;
                    failure = "写入失败 " + paths[i] + ": " + why;
                }
            }
        }
    };
    constexpr std::size_t kThreads = 8;
    std::vector<std::thread> threads;
    for (std::size_t t = 1; t < kThreads && t * 16 < paths.size(); ++t) {
        try {
            threads.emplace_back(flushSome);
        } catch (...) {
            break; // fewer threads then
        }
    }
    flushSome();
    for (auto& t : threads)
        t.join();
    if (failedAt < paths.size())
        return Error{failure};
    return {};
}

Status makeDirsBelow(const std::string& root, const std::vector<std::string>& parts) {
    std::string path = root;
    for (const std::string& part : parts) {
        path += "\\" + part;
        DWORD attrs = ::GetFileAttributesW(wide(path).c_str());
        if (attrs != INVALID_FILE_ATTRIBUTES) {
            if (attrs & FILE_ATTRIBUTE_REPARSE_POINT)
                return Error{"文件夹中有符号链接，拒绝经由它写入：" + path};
            if (!(attrs & FILE_ATTRIBUTE_DIRECTORY))
                return Error{"无法创建文件夹 " + path + ": 同名文件已存在"};
            continue;
        }
        if (!::CreateDirectoryW(wide(path).c_str(), nullptr)) {
            if (::GetLastError() != ERROR_ALREADY_EXISTS)
                return sysError("无法创建文件夹", path);
            attrs = ::GetFileAttributesW(wide(path).c_str());
            if (attrs == INVALID_FILE_ATTRIBUTES || (attrs & FILE_ATTRIBUTE_REPARSE_POINT) ||
                !(attrs & FILE_ATTRIBUTE_DIRECTORY))
                return Error{"无法创建文件夹 " + path};
        }
    }
    return {};
}

bool isLink(const std::string& path) {
    DWORD attrs = ::GetFileAttributesW(wide(path).c_str());
    return attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_REPARSE_POINT);
}

bool removeFile(const std::string& path) {
    if (::DeleteFileW(wide(path).c_str()))
        return true;
    DWORD e = ::GetLastError();
    return e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND;
}

bool removeUnlessHeld(const std::string& path) {
    // No sharing at all: refused while a call holds the file open (TempFile::openKept).
    HANDLE h = ::CreateFileW(wide(path).c_str(), DELETE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT,
                             nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD e = ::GetLastError();
        if (e == ERROR_SHARING_VIOLATION)
            return false;
        return e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND || removeFile(path);
    }
    // Removed through the handle, so that no call takes it up meanwhile.
    FILE_DISPOSITION_INFO gone{};
    gone.DeleteFile = TRUE;
    const bool removed = ::SetFileInformationByHandle(h, FileDispositionInfo, &gone, sizeof gone);
    ::CloseHandle(h);
    return removed || removeFile(path);
}

void keepNewSocketsPrivate(const std::function<void()>& open) { open(); }

} // namespace vxdl

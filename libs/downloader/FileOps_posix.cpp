#include "FileOps.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <mutex>
#include <set>
#include <signal.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace vxdl {

namespace {

std::atomic<unsigned> g_tempCounter{0};

Error sysError(const std::string& what, const std::string& path) {
    return Error{what + " " + path + ": " + std::strerror(errno)};
}

// The descriptors open in this process.
std::set<int> openDescriptors() {
    std::set<int> fds;
    DIR* d = ::opendir("/proc/self/fd");
    if (!d)
        d = ::opendir("/dev/fd");
    if (!d)
        return fds;
    const int own = ::dirfd(d);
    while (dirent* e = ::readdir(d)) {
        if (e->d_name[0] < '0' || e->d_name[0] > '9')
            continue;
        int fd = std::atoi(e->d_name);
        if (fd != own)
            fds.insert(fd);
    }
    ::closedir(d);
    return fds;
}

} // namespace

std::string lastSystemError() { return std::strerror(errno); }

std::optional<std::uint64_t> freeSpace(const std::string& path) {
    struct statvfs st {};
    if (::statvfs(path.empty() ? "." : path.c_str(), &st) != 0)
        return std::nullopt;
    return static_cast<std::uint64_t>(st.f_bavail) * static_cast<std::uint64_t>(st.f_frsize);
}

std::string parentOf(const std::string& path) {
    auto pos = path.find_last_of('/');
    if (pos == std::string::npos)
        return {};
    if (pos == 0)
        return "/";
    return path.substr(0, pos);
}

TempFile::~TempFile() { discard(); }

Status TempFile::create(const std::string& target) {
    discard();
    m_keptPart = false;
    m_inPlace = false;
    m_target = target;
    m_size = 0;
    m_flushed = 0;
    std::string dir = parentOf(target);
    std::string name = target.substr(dir.empty() ? 0 : target.find_last_of('/') + 1);
    std::string prefix = (dir.empty() ? "" : (dir == "/" ? dir : dir + "/")) + "." + name + ".vxdl-" +
                         std::to_string(::getpid()) + "-";
    for (int tries = 0; tries < 100; ++tries) {
        std::string candidate = prefix + std::to_string(g_tempCounter.fetch_add(1));
        int fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd >= 0) {
            m_handle = fd;
            m_temp = candidate;
            return {};
        }
        if (errno != EEXIST)
            return sysError("无法创建文件", candidate);
    }
    return Error{"无法创建临时文件 " + prefix};
}

Status TempFile::createAt(const std::string& path) {
    discard();
    m_keptPart = false;
    m_target = path;
    m_size = 0;
    m_flushed = 0;
    for (int tries = 0;; ++tries) {
        int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd >= 0) {
            m_handle = fd;
            m_temp = path;
            m_inPlace = true;
            return {};
        }
        if (errno != EEXIST || tries > 0)
            return sysError("无法创建文件", path);
        // An earlier entry of the same name, or a link: removed, not followed.
        struct stat st {};
        if (::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
            errno = EISDIR;
            return sysError("无法替换文件", path);
        }
        if (::unlink(path.c_str()) != 0 && errno != ENOENT)
            return sysError("无法替换文件", path);
    }
}

Status TempFile::openKept(const std::string& path, bool& busy) {
    discard();
    m_inPlace = false;
    busy = false;
    m_target = path;
    m_size = 0;
    m_flushed = 0;
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return sysError("无法创建文件", path);
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        busy = errno == EWOULDBLOCK;
        Status s = sysError("无法锁定文件", path);
        ::close(fd);
        return s;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || ::lseek(fd, 0, SEEK_END) != st.st_size) {
        Status s = sysError("无法打开文件", path);
        ::close(fd);
        return s;
    }
    m_handle = fd;
    m_temp = path;
    m_size = static_cast<std::uint64_t>(st.st_size);
    m_keptPart = true;
    return {};
}

Status TempFile::readBack(const std::function<void(const char*, std::size_t)>& sink) {
    std::vector<char> buffer(256 * 1024);
    for (std::uint64_t at = 0; at < m_size;) {
        ssize_t n = ::pread(static_cast<int>(m_handle), buffer.data(),
                            static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), m_size - at)),
                            static_cast<off_t>(at));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return sysError("读取失败", m_temp);
        sink(buffer.data(), static_cast<std::size_t>(n));
        at += static_cast<std::uint64_t>(n);
    }
    return {};
}

void TempFile::keep() {
    if (m_handle >= 0) {
        ::fsync(static_cast<int>(m_handle));
        ::close(static_cast<int>(m_handle));
        m_handle = -1;
    }
    m_temp.clear();
}

Status TempFile::write(const char* data, std::size_t size) {
    while (size > 0) {
        ssize_t n = ::write(static_cast<int>(m_handle), data, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return sysError("写入失败", m_temp);
        }
        data += n;
        size -= static_cast<std::size_t>(n);
        m_size += static_cast<std::uint64_t>(n);
    }
#ifdef __linux__
    // Big downloads are flushed as they arrive rather than all at commit: start writing
    // each full window back and wait for the one before, so the final fsync has little
    // left to do and dirty pages never pile up.
    constexpr std::uint64_t kWindow = 16u << 20;
    while (m_durable && m_size - m_flushed >= kWindow) {
        int fd = static_cast<int>(m_handle);
        ::sync_file_range(fd, static_cast<off64_t>(m_flushed), kWindow, SYNC_FILE_RANGE_WRITE);
        if (m_flushed >= kWindow)
            ::sync_file_range(fd, static_cast<off64_t>(m_flushed - kWindow), kWindow,
                              SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE |
                                  SYNC_FILE_RANGE_WAIT_AFTER);
        m_flushed += kWindow;
    }
#endif
    return {};
}

void TempFile::startFlush() {
#ifdef __linux__
    ::sync_file_range(static_cast<int>(m_handle), 0, 0, SYNC_FILE_RANGE_WRITE);
#endif
}

Status TempFile::truncate(std::uint64_t length) {
    int fd = static_cast<int>(m_handle);
    const auto at = static_cast<off_t>(length);
    if (::ftruncate(fd, at) != 0 || ::lseek(fd, at, SEEK_SET) != at)
        return sysError("写入失败", m_temp);
    m_size = length;
    m_flushed = 0;
    return {};
}

Status TempFile::finish() {
    int fd = static_cast<int>(m_handle);
    // mkstemp-style files are owner-only; the placed file gets the usual rights.
    ::fchmod(fd, m_executable ? 0755 : 0644);
    if (m_durable && ::fsync(fd) != 0) {
        Status s = sysError("写入失败", m_temp);
        discard();
        return s;
    }
    m_handle = -1;
    if (::close(fd) != 0) {
        Status s = sysError("写入失败", m_temp);
        ::unlink(m_temp.c_str());
        m_temp.clear();
        return s;
    }
    return {};
}

Status TempFile::commit() {
    if (Status s = finish(); !s)
        return s;
    if (m_inPlace) {
        m_inPlace = false;
        m_temp.clear();
        return {};
    }
    if (::rename(m_temp.c_str(), m_target.c_str()) != 0) {
        Status s = sysError("无法替换文件", m_target);
        ::unlink(m_temp.c_str());
        m_temp.clear();
        return s;
    }
    m_temp.clear();
    return {};
}

void TempFile::discard() {
    if (m_handle >= 0) {
        ::close(static_cast<int>(m_handle));
        m_handle = -1;
    }
    if (!m_temp.empty()) {
        ::unlink(m_temp.c_str());
        m_temp.clear();
    }
}

bool removeTree(const std::string& path) {
    DIR* d = ::opendir(path.c_str());
    if (d) {
        std::vector<std::string> names;
        while (dirent* e = ::readdir(d)) {
            std::string name = e->d_name;
            if (name != "." && name != "..")
                names.push_back(name);
        }
        ::closedir(d);
        for (const auto& name : names) {
            std::string child = path + "/" + name;
            struct stat st {};
            if (::lstat(child.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
                removeTree(child);
            else
                ::unlink(child.c_str());
        }
    }
    return ::rmdir(path.c_str()) == 0 || errno == ENOENT;
}

std::string fileIdentity(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0)
        return {};
    return std::to_string(static_cast<unsigned long long>(st.st_dev)) + ":" +
           std::to_string(static_cast<unsigned long long>(st.st_ino));
}

bool StageLock::take(const std::string& stage) {
    release();
    const std::string path = stage + "/lock";
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return false;
    }
    m_handle = fd;
    return true;
}

void StageLock::release() {
    if (m_handle >= 0)
        ::close(static_cast<int>(m_handle));
    m_handle = -1;
}

long processId() { return static_cast<long>(::getpid()); }

bool processGone(long pid) {
    if (pid <= 0 || pid == ::getpid())
        return false;
    return ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
}

void removeStaleTemps(const std::string& target) {
    std::string dir = parentOf(target);
    auto slash = target.find_last_of('/');
    std::string prefix = "." + target.substr(slash == std::string::npos ? 0 : slash + 1) + ".vxdl-";
    DIR* d = ::opendir(dir.empty() ? "." : dir.c_str());
    if (!d)
        return;
    std::vector<std::string> stale;
    while (dirent* e = ::readdir(d)) {
        std::string name = e->d_name;
        if (name.compare(0, prefix.size(), prefix) != 0)
            continue;
        if (processGone(pidInName(name, ".vxdl-")))
            stale.push_back(name);
    }
    ::closedir(d);
    for (const auto& name : stale)
        ::unlink(((dir.empty() ? std::string(".") : dir) + "/" + name).c_str());
}

void removeLeftovers(const std::string& folder) {
    const std::string dir = folder.empty() ? std::string(".") : folder;
    DIR* d = ::opendir(dir.c_str());
    if (!d)
        return;
    std::vector<std::string> stale;
    while (dirent* e = ::readdir(d)) {
        std::string name = e->d_name;
        if (name.size() < 2 || name[0] != '.')
            continue;
        if (processGone(pidInName(name, ".vxdl-")) || processGone(pidInName(name, ".vxold-")))
            stale.push_back(name);
    }
    ::closedir(d);
    for (const auto& name : stale) {
        std::string path = dir + "/" + name;
        struct stat st {};
        if (::lstat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode))
            ::unlink(path.c_str());
    }
}

std::vector<std::string> leftoverStages(const std::string& folder) {
    const std::string dir = folder.empty() ? std::string(".") : folder;
    std::vector<std::string> out;
    DIR* d = ::opendir(dir.c_str());
    if (!d)
        return out;
    while (dirent* e = ::readdir(d)) {
        std::string name = e->d_name;
        struct stat st {};
        if (name.size() > 1 && name[0] == '.' && processGone(pidInName(name, ".vxstage-")) &&
            ::lstat((dir + "/" + name).c_str(), &st) == 0 && S_ISDIR(st.st_mode))
            out.push_back(dir + "/" + name);
    }
    ::closedir(d);
    return out;
}

Status moveKeepingOld(const std::string& source, const std::string& target, const std::string& backup,
                      bool& hadOld) {
    struct stat st {};
    hadOld = ::lstat(target.c_str(), &st) == 0;
    if (hadOld && S_ISDIR(st.st_mode)) {
        errno = EISDIR;
        return sysError("无法替换文件", target);
    }
    if (hadOld && ::link(target.c_str(), backup.c_str()) != 0) {
        // No second link on this file system: the old file moves aside first, so for a
        // moment the target is missing.
        if (::rename(target.c_str(), backup.c_str()) != 0)
            return sysError("无法替换文件", target);
    }
    if (::rename(source.c_str(), target.c_str()) != 0) {
        Status s = sysError("无法替换文件", target);
        if (hadOld && ::lstat(target.c_str(), &st) != 0)
            ::rename(backup.c_str(), target.c_str());
        else if (hadOld)
            ::unlink(backup.c_str());
        return s;
    }
    return {};
}

Status moveBack(const std::string& backup, const std::string& target) {
    if (::rename(backup.c_str(), target.c_str()) != 0)
        return sysError("无法恢复文件", target);
    return {};
}

Status makeDirs(const std::string& path) {
    if (path.empty())
        return {};
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode))
            return {};
        errno = ENOTDIR;
        return sysError("无法创建文件夹", path);
    }
    std::string parent = parentOf(path);
    if (!parent.empty() && parent != path) {
        if (Status s = makeDirs(parent); !s)
            return s;
    }
    if (::mkdir(path.c_str(), 0755) != 0) {
        if (errno != EEXIST)
            return sysError("无法创建文件夹", path);
    } else if (Status s = syncFolder(parent.empty() ? "." : parent); !s) {
        return s;
    }
    if (::stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        errno = ENOTDIR;
        return sysError("无法创建文件夹", path);
    }
    return {};
}

Status syncFolder(const std::string& path) {
    int fd = ::open(path.empty() ? "." : path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return sysError("写入失败", path);
    // Some file systems cannot flush a folder (EINVAL); they have nothing to lose by it.
    bool ok = ::fsync(fd) == 0 || errno == EINVAL || errno == ENOTSUP;
    Status s = ok ? Status{} : sysError("写入失败", path);
    ::close(fd);
    return s;
}

Status flushTogether(const std::vector<std::string>& paths) {
    auto flushOne = [](const std::string& path) -> Status {
        int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        if (fd < 0)
            return errno == ENOENT ? Status{} : sysError("写入失败", path);
        // Some file systems cannot flush a folder (EINVAL); they have nothing to lose by it.
        const bool ok = ::fsync(fd) == 0 || errno == EINVAL || errno == ENOTSUP;
        Status s = ok ? Status{} : sysError("写入失败", path);
        ::close(fd);
        return s;
    };
#ifdef __linux__
    // One syncfs writes back every dirty page and the metadata of the file system and waits
    // for all of it, letting the disk take the set in one sweep rather than one file at a
    // time; a few paths are cheaper each on their own than the whole file system's cache.
    constexpr std::size_t kFew = 4;
    if (paths.size() > kFew) {
        std::set<dev_t> done;
        for (const std::string& path : paths) {
            struct stat st {};
            if (::lstat(path.c_str(), &st) != 0) {
                if (errno == ENOENT)
                    continue;
                return sysError("写入失败", path);
            }
            if (!done.insert(st.st_dev).second)
                continue;
            int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
            if (fd < 0) {
                if (errno == ENOENT)
                    continue;
                return sysError("写入失败", path);
            }
            // syncfs reports the file system's write-back errors (from Linux 5.8 on).
            const bool ok = ::syncfs(fd) == 0;
            Status s = ok ? Status{} : sysError("写入失败", path);
            ::close(fd);
            if (!s)
                return s;
        }
        return {};
    }
#endif
    for (const std::string& path : paths)
        if (Status s = flushOne(path); !s)
            return s;
    return {};
}

Status makeDirsBelow(const std::string& root, const std::vector<std::string>& parts) {
    std::string path = root;
    for (const std::string& part : parts) {
        path += "/" + part;
        struct stat st {};
        if (::lstat(path.c_str(), &st) == 0) {
            if (S_ISLNK(st.st_mode))
                return Error{"文件夹中有符号链接，拒绝经由它写入：" + path};
            if (!S_ISDIR(st.st_mode)) {
                errno = ENOTDIR;
                return sysError("无法创建文件夹", path);
            }
            continue;
        }
        if (::mkdir(path.c_str(), 0755) != 0) {
            if (errno != EEXIST)
                return sysError("无法创建文件夹", path);
            // Created meanwhile by someone else: check it again.
            if (::lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
                return Error{"无法创建文件夹 " + path};
        }
    }
    return {};
}

bool isLink(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

bool removeFile(const std::string& path) {
    if (::unlink(path.c_str()) == 0)
        return true;
    return errno == ENOENT;
}

bool removeUnlessHeld(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0)
        return errno == ENOENT ? true : removeFile(path);
    // Removed under the lock, so that no call takes it up meanwhile.
    const bool held = ::flock(fd, LOCK_EX | LOCK_NB) != 0;
    const bool removed = !held && removeFile(path);
    ::close(fd);
    return removed;
}

void keepNewSocketsPrivate(const std::function<void()>& open) {
    // One at a time, so that overlapping calls never take each other's sockets for their
    // own; only sockets are touched, so a descriptor another thread of the program opens
    // meanwhile for a child of its own is never taken from it.
    static std::mutex mutex;
    std::lock_guard lock(mutex);
    const std::set<int> before = openDescriptors();
    open();
    for (int fd : openDescriptors()) {
        struct stat st {};
        if (before.count(fd) || ::fstat(fd, &st) != 0 || !S_ISSOCK(st.st_mode))
            continue;
        int flags = ::fcntl(fd, F_GETFD);
        if (flags >= 0 && !(flags & FD_CLOEXEC))
            ::fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
    }
}

} // namespace vxdl

#include "platform/Platform.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <csignal>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <iconv.h>
#include <limits.h>
#include <pwd.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/vfs.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <thread>
#include <mutex>
#include <map>
#include <unistd.h>

extern char** environ;

namespace vx::platform {

const char kSeparator = '/';

std::string executablePath() {
    char buf[PATH_MAX + 1];
    ssize_t n = ::readlink("/proc/self/exe", buf, PATH_MAX);
    if (n <= 0)
        return {};
    return std::string(buf, static_cast<std::size_t>(n));
}

// --- Text -------------------------------------------------------------------------------

unsigned ansiCodePage() { return 936; }

namespace {

// RAII for an iconv descriptor.
class Iconv {
public:
    Iconv(const char* to, const char* from) : m_cd(::iconv_open(to, from)) {}
    ~Iconv() {
        if (valid())
            ::iconv_close(m_cd);
    }
    Iconv(const Iconv&) = delete;
    Iconv& operator=(const Iconv&) = delete;
    bool valid() const { return m_cd != reinterpret_cast<iconv_t>(-1); }
    iconv_t get() const { return m_cd; }

private:
    iconv_t m_cd;
};

// The bytes to replace by one "?" where iconv stopped at p: a whole well-formed
// sequence (a character the code page lacks), or else its maximal subpart, the longest
// start of a well-formed sequence, at least one byte. The bytes after that are converted
// again, so one stray lead byte costs no neighbouring character.
std::size_t utf8ReplacedLength(const unsigned char* p, std::size_t n) {
    const unsigned char c = p[0];
    std::size_t trail = 0;
    unsigned char lo = 0x80, hi = 0xBF; // the allowed range of the first trail byte
    if (c >= 0xC2 && c <= 0xDF) {
        trail = 1;
    } else if (c >= 0xE0 && c <= 0xEF) {
        trail = 2;
        if (c == 0xE0)
            lo = 0xA0; // no overlong forms
        else if (c == 0xED)
            hi = 0x9F; // no surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
        trail = 3;
        if (c == 0xF0)
            lo = 0x90;
        else if (c == 0xF4)
            hi = 0x8F; // nothing above U+10FFFF
    } else {
        return 1;
    }
    std::size_t i = 1;
    for (; i <= trail && i < n; ++i) {
        const unsigned char b = p[i];
        if (b < (i == 1 ? lo : 0x80) || b > (i == 1 ? hi : 0xBF))
            break;
    }
    return i;
}

// Converts with iconv; on an unconvertible input unit, writes `replacement` and skips
// `skip(in, left)` bytes.
template <typename Skip>
std::string convert(Iconv& cd, std::string_view input, std::string_view replacement, Skip skip) {
    if (!cd.valid())
        return {};
    std::string out;
    out.reserve(input.size() * 2 + 8);
    char* in = const_cast<char*>(input.data());
    size_t inLeft = input.size();
    char buf[4096];
    while (inLeft > 0) {
        char* o = buf;
        size_t oLeft = sizeof buf;
        size_t r = ::iconv(cd.get(), &in, &inLeft, &o, &oLeft);
        out.append(buf, static_cast<std::size_t>(o - buf));
        if (r == static_cast<size_t>(-1)) {
            if (errno == E2BIG)
                continue;
            // EILSEQ or EINVAL (truncated sequence at the end): replace one unit.
            out.append(replacement);
            std::size_t n = std::min<std::size_t>(skip(reinterpret_cast<unsigned char*>(in), inLeft), inLeft);
            in += n;
            inLeft -= n;
            ::iconv(cd.get(), nullptr, nullptr, nullptr, nullptr);
        }
    }
    // Flush any shift state.
    char* o = buf;
    size_t oLeft = sizeof buf;
    ::iconv(cd.get(), nullptr, nullptr, &o, &oLeft);
    out.append(buf, static_cast<std::size_t>(o - buf));
    return out;
}

bool isAscii(std::string_view s) {
    for (unsigned char c : s)
        if (c >= 0x80)
            return false;
    return true;
}

// Canonical iconv name for a charset label, or empty for an unknown one.
std::string iconvName(std::string_view label) {
    std::string name;
    for (char c : label) {
        if (c == ' ' || c == '"' || c == '\'')
            continue;
        name += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    if (name.empty() || name.find('/') != std::string::npos)
        return {};
    // Windows treats these labels as code page 936; so do we.
    if (name == "GB2312" || name == "GBK" || name == "CP936" || name == "X-GBK" ||
        name == "936" || name == "MS936" || name == "WINDOWS-936")
        return "CP936";
    Iconv probe("UTF-8", name.c_str());
    return probe.valid() ? name : std::string{};
}

} // namespace

Expected<std::string> utf8ToAnsi(std::string_view utf8) {
    if (isAscii(utf8))
        return std::string(utf8);
    Iconv cd("CP936", "UTF-8");
    if (!cd.valid())
        return Error{"no converter from UTF-8 to code page 936 (iconv: " +
                     std::string(std::strerror(errno)) + ")"};
    return convert(cd, utf8, "?", utf8ReplacedLength);
}

Expected<std::string> ansiToUtf8(std::string_view ansi) {
    if (isAscii(ansi))
        return std::string(ansi);
    Iconv cd("UTF-8", "CP936");
    if (!cd.valid())
        return Error{"no converter from code page 936 to UTF-8 (iconv: " +
                     std::string(std::strerror(errno)) + ")"};
    return convert(cd, ansi, "\xEF\xBF\xBD",
                   [](const unsigned char*, std::size_t) { return std::size_t{1}; });
}

std::optional<std::string> decodeCharset(std::string_view bytes, std::string_view charset) {
    const std::string name = iconvName(charset);
    if (name.empty())
        return std::nullopt;
    Iconv cd("UTF-8", name.c_str());
    if (!cd.valid())
        return std::nullopt;
    return convert(cd, bytes, "\xEF\xBF\xBD",
                   [](const unsigned char*, std::size_t) { return std::size_t{1}; });
}

// --- Processes --------------------------------------------------------------------------

std::vector<std::string> splitCommandLine(std::string_view params) {
    std::vector<std::string> args;
    std::size_t i = 0;
    const std::size_t n = params.size();
    for (;;) {
        while (i < n && (params[i] == ' ' || params[i] == '\t'))
            ++i;
        if (i >= n)
            break;
        std::string arg;
        bool quoted = false;
        while (i < n) {
            char c = params[i];
            if (!quoted && (c == ' ' || c == '\t'))
                break;
            if (c == '\\') {
                std::size_t slashes = 0;
                while (i < n && params[i] == '\\') {
                    ++slashes;
                    ++i;
                }
                if (i < n && params[i] == '"') {
                    arg.append(slashes / 2, '\\');
                    if (slashes % 2 == 1) {
                        arg += '"';
                        ++i;
                    }
                } else {
                    arg.append(slashes, '\\');
                }
                continue;
            }
            if (c == '"') {
                if (quoted && i + 1 < n && params[i + 1] == '"') {
                    // "" inside a quoted run is a literal quote.
                    arg += '"';
                    i += 2;
                    continue;
                }
                quoted = !quoted;
                ++i;
                continue;
            }
            arg += c;
            ++i;
        }
        args.push_back(std::move(arg));
    }
    return args;
}

namespace {

// Spawns argv[0] detached: a session of its own, the given working folder, and a thread
// that reaps it so no zombie is left behind. The child inherits nothing of the client: its
// standard descriptors read and write /dev/null, and every other descriptor is closed, so
// that a launched program never holds the link server's port, a peer's connection or a
// browser socket (it would keep the port from a restarted client and keep closed
// connections open for their peers).
// The programs shellOpen started that still run, by process id, with their folder.
std::mutex g_startedMutex;
std::map<pid_t, std::string> g_started;

bool spawnDetached(const std::vector<std::string>& argv, const std::string& folder,
                   bool searchPath, bool track = false) {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attr);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    if (!folder.empty())
        posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID);
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = 0;
    int rc = searchPath ? ::posix_spawnp(&pid, args[0], &actions, &attr, args.data(), environ)
                        : ::posix_spawn(&pid, args[0], &actions, &attr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    if (rc != 0)
        return false;
    if (track) {
        std::lock_guard lock(g_startedMutex);
        g_started[pid] = folder;
    }
    std::thread([pid, track] {
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        if (track) {
            std::lock_guard lock(g_startedMutex);
            g_started.erase(pid);
        }
    }).detach();
    return true;
}

bool removeTreeOn(const std::string& path, dev_t device) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0)
        return errno == ENOENT;
    if (!S_ISDIR(st.st_mode))
        return ::unlink(path.c_str()) == 0 || errno == ENOENT;
    if (st.st_dev != device)
        return false; // another file system: not ours to empty
    bool all = true;
    if (DIR* d = ::opendir(path.c_str())) {
        std::vector<std::string> names;
        while (dirent* e = ::readdir(d))
            if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
                names.emplace_back(e->d_name);
        ::closedir(d);
        for (const auto& name : names)
            all = removeTreeOn(path + "/" + name, device) && all;
    }
    return ::rmdir(path.c_str()) == 0 && all;
}

} // namespace

bool shellOpen(const std::string& file, const std::string& params, const std::string& folder) {
    if (file.empty())
        return false;
    std::string path = file;
    if (file[0] != '/' && !folder.empty())
        path = folder + (folder.back() == '/' ? "" : "/") + file;
    std::vector<std::string> argv{path};
    for (auto& a : splitCommandLine(params))
        argv.push_back(std::move(a));
    return spawnDetached(argv, folder, false, true);
}

long currentProcessId() { return static_cast<long>(::getpid()); }

bool keepsChangeTimes(const std::string& path) {
    struct statfs fs {};
    if (::statfs(path.c_str(), &fs) != 0)
        return true;
    constexpr long kFat = 0x4d44, kExFat = 0x2011BAB0, kFuse = 0x65735546;
    const long type = static_cast<long>(fs.f_type);
    return type != kFat && type != kExFat && type != kFuse;
}

bool startedProgramRuns(const std::string& folder) {
    std::lock_guard lock(g_startedMutex);
    for (const auto& [pid, started] : g_started) {
        if (started != folder || ::kill(pid, 0) != 0)
            continue;
        // Ended but not reaped yet (its waiting thread comes a moment later): a zombie, or
        // one still on its way out (the kernel marks a process as exiting before it closes
        // its files, so a program whose link connection has just dropped is never taken for
        // running), or one reaped since kill() saw it: no stat to read any more.
        char state = 0;
        unsigned long flags = 0;
        if (FILE* f = std::fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "re")) {
            char line[1024] = {};
            if (std::fgets(line, sizeof line, f))
                if (const char* close = std::strrchr(line, ')'); close && close[1] == ' ') {
                    int ppid = 0, pgrp = 0, session = 0, tty = 0, tpgid = 0;
                    if (std::sscanf(close + 2, "%c %d %d %d %d %d %lu", &state, &ppid, &pgrp,
                                    &session, &tty, &tpgid, &flags) != 7)
                        state = 0;
                }
            std::fclose(f);
        }
        constexpr unsigned long kExiting = 0x4; // PF_EXITING
        if (state != 0 && state != 'Z' && state != 'X' && !(flags & kExiting))
            return true;
    }
    return false;
}

std::string userStateFolder() {
    if (const char* state = std::getenv("XDG_STATE_HOME"); state && state[0] == '/')
        return state;
    std::string home;
    if (const char* h = std::getenv("HOME"); h && h[0] == '/')
        home = h;
    else if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir)
        home = pw->pw_dir;
    return home.empty() ? std::string() : home + "/.local/state";
}

std::optional<unsigned long long> freeSpace(const std::string& path) {
    std::string at = path;
    for (;;) {
        struct statvfs v {};
        if (::statvfs(at.empty() ? "/" : at.c_str(), &v) == 0)
            return static_cast<unsigned long long>(v.f_bavail) * v.f_frsize;
        if (errno != ENOENT && errno != ENOTDIR)
            return std::nullopt;
        while (!at.empty() && at.back() == '/')
            at.pop_back();
        const auto slash = at.find_last_of('/');
        if (at.empty() || slash == std::string::npos)
            return std::nullopt;
        at.resize(slash == 0 ? 1 : slash);
    }
}

bool removeTree(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0)
        return errno == ENOENT;
    return removeTreeOn(path, st.st_dev);
}

bool runTaskAsInteractiveUser(const std::string&, const std::string&) { return false; }

std::intptr_t openPrivateSocket(int family, int type, int protocol) {
    return ::socket(family, type | SOCK_CLOEXEC, protocol);
}

bool openUrl(const std::string& url) { return spawnDetached({"xdg-open", url}, {}, true); }

SystemProxy systemProxy(std::string_view) {
    SystemProxy p;
    p.fromEnvironment = true;
    return p;
}

bool runScriptDetached(const std::string& scriptPath, const std::string& folder) {
    return spawnDetached({"/bin/sh", scriptPath}, folder, false);
}

int osMajorVersion() {
    struct utsname u {};
    if (::uname(&u) != 0)
        return 0;
    return std::atoi(u.release);
}

void enableDebugPrivilege() {}

std::optional<FileStamp> fileStamp(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return std::nullopt;
    auto ns = [](const timespec& t) {
        return static_cast<std::int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
    };
    return FileStamp{static_cast<std::uint64_t>(st.st_size), ns(st.st_mtim), ns(st.st_ctim),
                     static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

std::int64_t fileClockNow() {
    timespec t{};
    ::clock_gettime(CLOCK_REALTIME, &t);
    return static_cast<std::int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

bool makeOwnerExecutable(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return false;
    struct stat st {};
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    if (ok && (st.st_mode & S_IXUSR) == 0)
        ok = ::fchmod(fd, (st.st_mode & 07777) | S_IXUSR) == 0;
    ::close(fd);
    return ok;
}

// --- Single instance --------------------------------------------------------------------

namespace {
class FlockLock : public InstanceLock {
public:
    explicit FlockLock(int fd) : m_fd(fd) {}
    ~FlockLock() override { ::close(m_fd); }

private:
    int m_fd;
};
} // namespace

namespace {

// A folder that belongs to this user alone: a real folder (not a link), owned by the user,
// open to nobody else. Created with mode 0700 when missing.
bool isPrivateFolder(const std::string& path, bool create) {
    if (create && ::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST)
        return false;
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::getuid() &&
           (st.st_mode & 077) == 0;
}

// Where the lock lives: the session's runtime folder; without one, a private folder of the
// user in /tmp; if another user took that name first, one in the home folder. Anything that
// another user could have created first would let that user keep this one's client from
// starting.
std::string lockFolder() {
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime)
        return runtime;
    const std::string tmp = "/tmp/vxcenter-" + std::to_string(::getuid());
    if (isPrivateFolder(tmp, true))
        return tmp;
    if (const char* home = std::getenv("HOME"); home && *home) {
        const std::string own = std::string(home) + "/.vxcenter";
        if (isPrivateFolder(own, true))
            return own;
    }
    return {};
}

} // namespace

std::unique_ptr<InstanceLock> acquireInstanceLock(const std::string& name) {
    const std::string dir = lockFolder();
    if (dir.empty())
        return nullptr;
    const std::string path = dir + "/" + name + ".lock";
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return nullptr;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::getuid() ||
        ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return nullptr;
    }
    return std::make_unique<FlockLock>(fd);
}

// --- Dynamic libraries ----------------------------------------------------------------

namespace {
class PosixLibrary : public DynamicLibrary {
public:
    explicit PosixLibrary(void* handle) : m_handle(handle) {}
    ~PosixLibrary() override { ::dlclose(m_handle); }
    void* symbol(const char* name) const override { return ::dlsym(m_handle, name); }

private:
    void* m_handle;
};
} // namespace

Expected<std::unique_ptr<DynamicLibrary>> loadLibrary(const std::string& path) {
    void* h = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!h) {
        const char* why = ::dlerror();
        return Error{why ? why : ("cannot load " + path)};
    }
    return std::unique_ptr<DynamicLibrary>(std::make_unique<PosixLibrary>(h));
}

std::string sharedLibraryFileName(std::string_view baseName) {
    return "lib" + std::string(baseName) + ".so";
}

// --- Files ------------------------------------------------------------------------------

namespace {

bool writeAll(int fd, std::string_view data) {
    const char* p = data.data();
    std::size_t left = data.size();
    while (left > 0) {
        ssize_t w = ::write(fd, p, left);
        if (w < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        p += w;
        left -= static_cast<std::size_t>(w);
    }
    return true;
}

// Temporary files of writers that were killed before their rename: "<name>.<pid>.XXXXXX"
// beside the target whose process no longer runs. They may hold remembered passwords.
void removeLeftovers(const std::string& folder, const std::string& name) {
    DIR* d = ::opendir(folder.c_str());
    if (!d)
        return;
    const std::string prefix = name + ".";
    while (dirent* e = ::readdir(d)) {
        std::string_view entry = e->d_name;
        if (entry.size() <= prefix.size() + 8 || entry.substr(0, prefix.size()) != prefix)
            continue;
        std::string_view rest = entry.substr(prefix.size());
        auto dot = rest.find('.');
        if (dot == std::string_view::npos || dot == 0 || rest.size() - dot - 1 != 6)
            continue;
        const std::string digits(rest.substr(0, dot));
        if (digits.find_first_not_of("0123456789") != std::string::npos || digits.size() > 9)
            continue;
        const pid_t pid = static_cast<pid_t>(std::atol(digits.c_str()));
        if (pid <= 0)
            continue;
        if (::kill(pid, 0) != 0 && errno == ESRCH)
            ::unlinkat(::dirfd(d), e->d_name, 0);
    }
    ::closedir(d);
}

} // namespace

namespace {

// The process's umask, read once, before any thread of the program runs (this initialiser
// runs before main), and never changed: reading it with umask() means setting it, and a
// thread creating a folder or file between the two calls would do so with no mask at all.
// /proc tells it without setting it where the kernel offers it.
mode_t readUmask() {
    if (FILE* f = std::fopen("/proc/self/status", "re")) {
        char line[256];
        unsigned mask = 0;
        bool found = false;
        while (!found && std::fgets(line, sizeof line, f))
            found = std::sscanf(line, "Umask: %o", &mask) == 1;
        std::fclose(f);
        if (found)
            return static_cast<mode_t>(mask & 0777);
    }
    const mode_t mask = ::umask(022);
    ::umask(mask);
    return mask;
}

const mode_t g_umask = readUmask();

} // namespace

Status writeFileAtomic(const std::string& path, std::string_view data, bool ownerOnly) {
    auto fail = [&](const char* what) {
        return Error{std::string(what) + " " + path + ": " + std::strerror(errno)};
    };
    const auto cut = path.find_last_of('/');
    const std::string folder = cut == std::string::npos ? "." : path.substr(0, cut + 1);
    const std::string name = cut == std::string::npos ? path : path.substr(cut + 1);
    removeLeftovers(folder, name);

    mode_t mode = 0600;
    if (!ownerOnly) {
        struct stat old {};
        if (::stat(path.c_str(), &old) == 0) {
            mode = old.st_mode & 07777;
        } else {
            mode = 0666 & ~g_umask;
        }
    }
    // The new content goes to a temporary file beside the target, named after this process so
    // that a later writer can remove it should this one be killed before the rename.
    std::string tmp = path + "." + std::to_string(::getpid()) + ".XXXXXX";
    int fd = ::mkstemp(tmp.data());
    if (fd < 0)
        return fail("cannot create a temporary file for");
    ::fchmod(fd, mode);
    if (!writeAll(fd, data)) {
        Status st = fail("cannot write");
        ::close(fd);
        ::unlink(tmp.c_str());
        return st;
    }
    if (::fsync(fd) != 0 || ::close(fd) != 0) {
        Status st = fail("cannot write");
        ::unlink(tmp.c_str());
        return st;
    }
    if (::rename(tmp.c_str(), path.c_str()) != 0) {
        Status st = fail("cannot replace");
        ::unlink(tmp.c_str());
        return st;
    }
    return {};
}

SharedReadFile::~SharedReadFile() {
    if (m_handle >= 0)
        ::close(static_cast<int>(m_handle));
}

Status SharedReadFile::open(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return Error{"cannot open " + path + ": " + std::strerror(errno)};
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    m_handle = fd;
    return {};
}

long long SharedReadFile::read(char* buffer, std::size_t size) {
    for (;;) {
        ssize_t n = ::read(static_cast<int>(m_handle), buffer, size);
        if (n < 0 && errno == EINTR)
            continue;
        return n;
    }
}

bool fileExists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool dirExists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool createDir(const std::string& path) {
    if (::mkdir(path.c_str(), 0777) == 0)
        return true;
    return dirExists(path);
}

bool createDirs(const std::string& path) {
    if (path.empty())
        return false;
    if (dirExists(path))
        return true;
    std::string::size_type pos = 0;
    while ((pos = path.find('/', pos + 1)) != std::string::npos) {
        std::string part = path.substr(0, pos);
        if (!part.empty())
            ::mkdir(part.c_str(), 0777);
    }
    return createDir(path);
}

} // namespace vx::platform

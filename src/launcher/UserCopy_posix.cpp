#include "launcher/UserCopy.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <pwd.h>
#include <set>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

#include "platform/Platform.h"

namespace vx::launcher {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kMarker = VX_CLIENT_VERSION_MARKER_PREFIX;
constexpr const char* kStage = ".refresh";         // the stage of a refresh, in the folder
constexpr const char* kStageFiles = ".refresh/files"; // the new files, by their paths
constexpr const char* kJournal = ".refresh/journal";  // present once the stage is complete
constexpr const char* kJournalHead = "vxcenter-refresh 1";
constexpr const char* kLockFile = ".launcher.lock";

std::string sysError(const std::string& what, const std::string& path, int err = errno) {
    return what + " " + path + "：" + std::strerror(err);
}

std::string join(const std::string& folder, const std::string& rel) { return folder + "/" + rel; }

std::string parentOf(const std::string& path) {
    const auto cut = path.find_last_of('/');
    return cut == std::string::npos || cut == 0 ? std::string("/") : path.substr(0, cut);
}

// One numbered step that changes the folder: the hook sees it before it is taken.
struct Steps {
    const StepHook& hook;
    int next = 0;
    void operator()() {
        if (hook)
            hook(next);
        ++next;
    }
};

class Fd {
public:
    explicit Fd(int fd = -1) : m_fd(fd) {}
    ~Fd() {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return m_fd; }
    int release() { return std::exchange(m_fd, -1); }

private:
    int m_fd;
};

bool syncFolder(const std::string& path) {
    Fd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return fd.get() >= 0 && ::fsync(fd.get()) == 0;
}

bool exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

// Creates the folder and its missing parents, each new level with mode 0700.
Status makeFolders(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) {
        if (!S_ISDIR(st.st_mode))
            return Error{"无法建立文件夹 " + path + "：同名的文件已存在"};
        return {};
    }
    if (errno != ENOENT)
        return Error{sysError("无法访问文件夹", path)};
    if (Status up = makeFolders(parentOf(path)); !up)
        return up;
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST)
        return Error{sysError("无法建立文件夹", path)};
    return {};
}

// Copies one file, owner-only (executable when the original is), and makes it durable.
Status copyFile(const std::string& from, const std::string& to) {
    Fd in(::open(from.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st {};
    if (in.get() < 0 || ::fstat(in.get(), &st) != 0)
        return Error{sysError("无法读取", from)};
    const mode_t mode = (st.st_mode & S_IXUSR) ? 0700 : 0600;
    Fd out(::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
    if (out.get() < 0)
        return Error{sysError("无法写入", to)};
    std::vector<char> buffer(1 << 20);
    for (;;) {
        const ssize_t got = ::read(in.get(), buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return Error{sysError("无法读取", from)};
        if (got == 0)
            break;
        for (ssize_t done = 0; done < got;) {
            const ssize_t put = ::write(out.get(), buffer.data() + done, got - done);
            if (put < 0 && errno == EINTR)
                continue;
            if (put < 0)
                return Error{sysError("无法写入", to)};
            done += put;
        }
    }
    if (::fsync(out.get()) != 0 || ::close(out.release()) != 0)
        return Error{sysError("无法写入", to)};
    return {};
}

Status removeTree(const std::string& path) {
    std::error_code ec;
    fs::remove_all(path, ec);
    if (ec)
        return Error{"无法删除 " + path + "：" + ec.message()};
    return {};
}

Status writeJournal(const std::string& folder, const std::vector<std::string>& files,
                    Steps& step) {
    const std::string path = join(folder, kJournal);
    const std::string temp = path + ".new";
    std::string text = std::string(kJournalHead) + "\n";
    for (const std::string& f : files)
        text += f + "\n";
    step();
    Fd fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (fd.get() < 0 || ::write(fd.get(), text.data(), text.size()) != ssize_t(text.size()) ||
        ::fsync(fd.get()) != 0 || ::close(fd.release()) != 0)
        return Error{sysError("无法写入", temp)};
    // The commit: from here on the next start finishes what this one began.
    step();
    if (::rename(temp.c_str(), path.c_str()) != 0)
        return Error{sysError("无法写入", path)};
    if (!syncFolder(join(folder, kStage)))
        return Error{sysError("无法写入", join(folder, kStage))};
    return {};
}

// The paths of a complete journal; nullopt when it is not one of ours.
std::optional<std::vector<std::string>> readJournal(const std::string& path) {
    std::string text;
    {
        Fd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
        if (fd.get() < 0)
            return std::nullopt;
        char buf[4096];
        for (ssize_t n; (n = ::read(fd.get(), buf, sizeof buf)) > 0;)
            text.append(buf, std::size_t(n));
    }
    std::vector<std::string> files;
    std::size_t at = 0;
    bool head = true;
    while (at < text.size()) {
        const auto end = text.find('\n', at);
        if (end == std::string::npos)
            return std::nullopt; // a journal is renamed into place whole
        std::string line = text.substr(at, end - at);
        at = end + 1;
        if (head) {
            if (line != kJournalHead)
                return std::nullopt;
            head = false;
            continue;
        }
        // Only relative paths below the folder, as programFiles gives them.
        if (line.empty() || line.front() == '/' || line.find("..") != std::string::npos)
            return std::nullopt;
        files.push_back(std::move(line));
    }
    if (head)
        return std::nullopt;
    return files;
}

// Moves every staged file of a committed refresh into place, then retires the journal and
// the stage. Every step can be taken again after a kill: a file already moved has left the
// stage.
Status rollForward(const std::string& folder, const std::vector<std::string>& files,
                   Steps& step) {
    std::set<std::string> touched;
    for (const std::string& rel : files) {
        const std::string from = join(join(folder, kStageFiles), rel);
        if (!exists(from))
            continue;
        const std::string to = join(folder, rel);
        if (Status made = makeFolders(parentOf(to)); !made)
            return made;
        step();
        if (::rename(from.c_str(), to.c_str()) != 0)
            return Error{sysError("无法替换", to)};
        touched.insert(parentOf(to));
    }
    for (const std::string& dir : touched)
        if (!syncFolder(dir))
            return Error{sysError("无法写入", dir)};
    step();
    if (::unlink(join(folder, kJournal).c_str()) != 0 && errno != ENOENT)
        return Error{sysError("无法删除", join(folder, kJournal))};
    (void)syncFolder(join(folder, kStage));
    step();
    return removeTree(join(folder, kStage));
}

// Finishes a refresh that a kill cut short after its commit, or drops one cut short before.
// True in `recovered` when there was one.
Status recover(const std::string& folder, Steps& step, bool& recovered) {
    const std::string stage = join(folder, kStage);
    if (!exists(stage))
        return {};
    recovered = true;
    if (exists(join(folder, kJournal))) {
        auto files = readJournal(join(folder, kJournal));
        if (!files)
            return Error{"无法读取 " + join(folder, kJournal) + "：内容不完整"};
        return rollForward(folder, *files, step);
    }
    step();
    return removeTree(stage);
}

// The folder must be a folder of this user (a link to one is accepted: a user may keep his
// data elsewhere); it is made owner-only.
Status checkOwnFolder(const std::string& folder) {
    struct stat st {};
    if (::stat(folder.c_str(), &st) != 0)
        return Error{sysError("无法访问文件夹", folder)};
    if (!S_ISDIR(st.st_mode))
        return Error{"无法建立文件夹 " + folder + "：同名的文件已存在"};
    if (st.st_uid != ::geteuid())
        return Error{"文件夹 " + folder + " 属于另一个用户"};
    if ((st.st_mode & 07777) != 0700 && ::chmod(folder.c_str(), 0700) != 0)
        return Error{sysError("无法设置文件夹的权限", folder)};
    return {};
}

bool needsRefresh(const std::string& package, const std::string& folder,
                  const std::vector<std::string>& files) {
    for (const std::string& rel : files)
        if (!exists(join(folder, rel)))
            return true;
    const auto have = clientVersionOf(join(folder, "vxclient"));
    const auto offered = clientVersionOf(join(package, "vxclient"));
    return compareVersions(offered.value_or("0"), have.value_or("0")) > 0;
}

} // namespace

std::optional<std::string> clientVersionOf(const std::string& path) {
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st {};
    if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size == 0)
        return std::nullopt;
    void* map = ::mmap(nullptr, std::size_t(st.st_size), PROT_READ, MAP_PRIVATE, fd.get(), 0);
    if (map == MAP_FAILED)
        return std::nullopt;
    const std::string_view bytes(static_cast<const char*>(map), std::size_t(st.st_size));
    std::optional<std::string> version;
    // The marker's prefix may stand elsewhere in the file too; the version is the one that
    // digits follow.
    for (auto at = bytes.find(kMarker); at != std::string_view::npos && !version;
         at = bytes.find(kMarker, at + 1)) {
        std::size_t end = at + kMarker.size();
        while (end < bytes.size() && (std::isdigit(static_cast<unsigned char>(bytes[end])) ||
                                      bytes[end] == '.'))
            ++end;
        const auto digits = bytes.substr(at + kMarker.size(), end - at - kMarker.size());
        if (!digits.empty() && std::isdigit(static_cast<unsigned char>(digits.front())) &&
            end < bytes.size() && bytes[end] == '\0')
            version = std::string(digits);
    }
    ::munmap(map, std::size_t(st.st_size));
    return version;
}

int compareVersions(std::string_view a, std::string_view b) {
    auto next = [](std::string_view& v) {
        unsigned long long n = 0;
        while (!v.empty() && v.front() != '.') {
            if (std::isdigit(static_cast<unsigned char>(v.front())))
                n = std::min<unsigned long long>(n * 10 + unsigned(v.front() - '0'), 1ull << 60);
            v.remove_prefix(1);
        }
        if (!v.empty())
            v.remove_prefix(1);
        return n;
    };
    while (!a.empty() || !b.empty()) {
        const auto x = next(a);
        const auto y = next(b);
        if (x != y)
            return x < y ? -1 : 1;
    }
    return 0;
}

Expected<std::string> userClientFolder() {
    if (const char* data = std::getenv("XDG_DATA_HOME"); data && data[0] == '/')
        return std::string(data) + "/vxcenter";
    std::string home;
    if (const char* h = std::getenv("HOME"); h && h[0] == '/')
        home = h;
    else if (const passwd* pw = ::getpwuid(::geteuid()); pw && pw->pw_dir && pw->pw_dir[0] == '/')
        home = pw->pw_dir;
    if (home.empty())
        return Error{"找不到当前用户的主文件夹（HOME 未设置）"};
    while (home.size() > 1 && home.back() == '/')
        home.pop_back();
    return (home == "/" ? std::string() : home) + "/.local/share/vxcenter";
}

bool runsInPlace(const std::string& package) {
    struct stat st {};
    return ::stat(package.c_str(), &st) == 0 && S_ISDIR(st.st_mode) &&
           st.st_uid == ::geteuid() && ::access(package.c_str(), W_OK) == 0;
}

Expected<std::vector<std::string>> programFiles(const std::string& package) {
    std::vector<std::string> files = {platform::sharedLibraryFileName("TCPServer"),
                                      platform::sharedLibraryFileName("DownLoader"),
                                      "Config/config.xml"};
    for (const std::string& rel : files)
        if (!platform::fileExists(join(package, rel)))
            return Error{"客户端的安装不完整，缺少 " + join(package, rel)};
    if (!platform::fileExists(join(package, "vxclient")))
        return Error{"客户端的安装不完整，缺少 " + join(package, "vxclient")};
    std::error_code ec;
    std::vector<std::string> images;
    const fs::path imgs = join(package, "imgs");
    if (fs::is_directory(imgs, ec)) {
        for (auto it = fs::recursive_directory_iterator(imgs, ec);
             !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
            if (!it->is_regular_file(ec) || it->is_symlink(ec))
                continue;
            const std::string rel = "imgs/" + fs::relative(it->path(), imgs, ec).string();
            if (rel.find('\n') == std::string::npos && rel.find("..") == std::string::npos)
                images.push_back(rel);
        }
        if (ec)
            return Error{"无法读取 " + imgs.string() + "：" + ec.message()};
    }
    std::sort(images.begin(), images.end());
    files.insert(files.end(), images.begin(), images.end());
    // The executable last: a copy with its new executable in place has everything else too.
    files.push_back("vxclient");
    return files;
}

Expected<Prepared> prepareUserCopy(const std::string& package, const std::string& folder,
                                   const StepHook& hook) {
    Steps step{hook};
    Prepared result;
    result.folder = folder;
    auto files = programFiles(package);
    if (!files)
        return Error{files.error()};

    if (!exists(folder)) {
        step();
        if (Status made = makeFolders(folder); !made)
            return Error{made.error()};
    }
    if (Status own = checkOwnFolder(folder); !own)
        return Error{own.error()};

    // One launcher of this user at a time past this point.
    const std::string lockPath = join(folder, kLockFile);
    Fd lock(::open(lockPath.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (lock.get() < 0)
        return Error{sysError("无法建立", lockPath)};
    while (::flock(lock.get(), LOCK_EX) != 0)
        if (errno != EINTR)
            return Error{sysError("无法锁定", lockPath)};

    if (Status done = recover(folder, step, result.recovered); !done)
        return Error{done.error()};
    if (!needsRefresh(package, folder, *files))
        return result;

    // The stage: every new file, complete and durable, before anything in the copy changes.
    const std::string stage = join(folder, kStage);
    step();
    if (::mkdir(stage.c_str(), 0700) != 0)
        return Error{sysError("无法建立文件夹", stage)};
    Status staged;
    for (const std::string& rel : *files) {
        const std::string to = join(join(folder, kStageFiles), rel);
        if (!(staged = makeFolders(parentOf(to))))
            break;
        step();
        if (!(staged = copyFile(join(package, rel), to)))
            break;
    }
    if (staged)
        staged = writeJournal(folder, *files, step);
    if (!staged) {
        // Nothing was moved: the old copy stands. A stage that cannot be removed now is
        // dropped by the next start.
        if (!exists(join(folder, kJournal)))
            (void)removeTree(stage);
        return Error{staged.error()};
    }
    if (Status placed = rollForward(folder, *files, step); !placed)
        return Error{placed.error()};
    result.laidOut = true;
    return result;
}

} // namespace vx::launcher

#include "Unpack.h"

#include <algorithm>
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <zip.h>

#include "core/Text.h"

// Packages are opened by libzip, which opens files close-on-exec from 1.6 on; an older one
// would hand the package to every program the client starts meanwhile.
static_assert(LIBZIP_VERSION_MAJOR > 1 || (LIBZIP_VERSION_MAJOR == 1 && LIBZIP_VERSION_MINOR >= 6),
              "libzip 1.6 or later is needed");

namespace vxdl {

namespace {

// Unix file types as stored in a zip entry's external attributes (the upper 16 bits).
constexpr unsigned kTypeMask = 0170000;
constexpr unsigned kTypeDir = 0040000;
constexpr unsigned kTypeFile = 0100000;

bool validUtf8(const std::string& s) {
    std::size_t i = 0, n = s.size();
    while (i < n) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        std::size_t len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        if (len == 0 || i + len > n)
            return false;
        for (std::size_t k = 1; k < len; ++k)
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80)
                return false;
        i += len;
    }
    return true;
}

// CON, PRN, AUX, NUL, COM1..9, LPT1..9, alone or before an extension, in any case.
bool isDeviceName(const std::string& part) {
    std::string base = part.substr(0, part.find('.'));
    while (!base.empty() && base.back() == ' ')
        base.pop_back();
    for (char& c : base)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 32);
    if (base == "CON" || base == "PRN" || base == "AUX" || base == "NUL")
        return true;
    return base.size() == 4 && (base.rfind("COM", 0) == 0 || base.rfind("LPT", 0) == 0) && base[3] >= '1' &&
           base[3] <= '9';
}

struct ZipCloser {
    void operator()(zip_t* z) const { zip_discard(z); }
};

struct Entry {
    zip_uint64_t index = 0;
    std::string name;
    std::vector<std::string> parts;
    bool folder = false;
    bool executable = false;
};

} // namespace

std::optional<std::vector<std::string>> entryParts(const std::string& name, std::string& why) {
    if (name.empty()) {
        why = "空的文件名";
        return std::nullopt;
    }
    if (name[0] == '/' || name[0] == '\\') {
        why = "绝对路径";
        return std::nullopt;
    }
    for (unsigned char c : name) {
        if (c == ':') {
            why = "含有盘符或冒号";
            return std::nullopt;
        }
        if (c < 0x20 || c == 0x7F) {
            why = "含有控制字符";
            return std::nullopt;
        }
    }
    std::vector<std::string> parts;
    std::string part;
    auto flush = [&]() -> bool {
        if (part.empty() || part == ".")
            return part.clear(), true;
        if (part == "..") {
            why = "含有上级目录 \"..\"";
            return false;
        }
        // Windows drops trailing dots and spaces (".. " would become ".."), and device
        // names (CON, NUL.txt, COM1, ...) open devices rather than files.
        if (part.back() == '.' || part.back() == ' ') {
            why = "文件名以点或空格结尾";
            return false;
        }
        if (isDeviceName(part)) {
            why = "使用了设备名";
            return false;
        }
        parts.push_back(part);
        part.clear();
        return true;
    };
    for (char c : name) {
        if (c == '/' || c == '\\') {
            if (!flush())
                return std::nullopt;
        } else {
            part += c;
        }
    }
    if (!flush())
        return std::nullopt;
    if (parts.empty()) {
        why = "不指向任何文件";
        return std::nullopt;
    }
    return parts;
}

vx::Expected<UnpackResult> unpackZip(const std::string& package, const std::string& folder,
                                     const std::function<bool()>& stop,
                                     const std::function<std::optional<std::uint64_t>()>& freeBytes,
                                     bool* outOfRoom) {
    int err = 0;
    std::unique_ptr<zip_t, ZipCloser> zip(zip_open(package.c_str(), ZIP_RDONLY, &err));
    if (!zip) {
        zip_error_t ze;
        zip_error_init_with_code(&ze, err);
        std::string text = zip_error_strerror(&ze);
        zip_error_fini(&ze);
        return Error{"安装包无法打开（" + text + "）"};
    }

    // Check every entry before writing anything.
    zip_int64_t count = zip_get_num_entries(zip.get(), 0);
    std::vector<Entry> entries;
    entries.reserve(static_cast<std::size_t>(std::max<zip_int64_t>(count, 0)));
    for (zip_int64_t i = 0; i < count; ++i) {
        Entry e;
        e.index = static_cast<zip_uint64_t>(i);
        const char* raw = zip_get_name(zip.get(), e.index, ZIP_FL_ENC_RAW);
        if (!raw)
            return Error{"安装包已损坏（" + std::string(zip_strerror(zip.get())) + "）"};
        std::string rawName = raw;
        e.name = validUtf8(rawName) ? rawName : vx::fromAnsi(rawName);
        std::string why;
        auto parts = entryParts(e.name, why);
        if (!parts)
            return Error{"安装包中有不安全的文件 \"" + e.name + "\"（" + why + "），已拒绝解压"};
        e.parts = std::move(*parts);
        e.folder = !rawName.empty() && (rawName.back() == '/' || rawName.back() == '\\');

        zip_uint8_t opsys = 0;
        zip_uint32_t attributes = 0;
        if (zip_file_get_external_attributes(zip.get(), e.index, 0, &opsys, &attributes) == 0 &&
            opsys == ZIP_OPSYS_UNIX) {
            unsigned mode = attributes >> 16;
            unsigned type = mode & kTypeMask;
            if (type == kTypeDir)
                e.folder = true;
            else if (type != 0 && type != kTypeFile)
                return Error{"安装包中有符号链接或特殊文件 \"" + e.name + "\"，已拒绝解压"};
            e.executable = (mode & 0111) != 0;
        }
        entries.push_back(std::move(e));
    }

    // Every unpacked file stays in the stage, beside the old files it replaces, until the
    // whole set is moved in, so the package needs the whole of its unpacked size on top of
    // what the disk holds now. A package that cannot fit is refused before it writes a byte,
    // rather than after filling the disk for nothing. The sizes are those the central
    // directory announces (libzip refuses an entry whose data disagrees); no margin for the
    // file system's own blocks is added, so only what would have failed anyway is refused.
    if (freeBytes) {
        std::uint64_t needed = 0;
        for (const Entry& e : entries) {
            zip_stat_t st;
            zip_stat_init(&st);
            if (!e.folder && zip_stat_index(zip.get(), e.index, 0, &st) == 0 && (st.valid & ZIP_STAT_SIZE))
                needed = st.size > UINT64_MAX - needed ? UINT64_MAX : needed + st.size;
        }
        if (auto available = freeBytes(); available && needed > *available) {
            constexpr std::uint64_t kMiB = 1024 * 1024;
            if (outOfRoom)
                *outOfRoom = true;
            return Error{"磁盘空间不足：需要 " + std::to_string((needed + kMiB - 1) / kMiB) + " MB，可用 " +
                         std::to_string(*available / kMiB) + " MB"};
        }
    }

    UnpackResult result;
    std::set<std::string> madeDirs;
    auto ensureDirs = [&](const std::vector<std::string>& parts, std::size_t n) -> Status {
        std::vector<std::string> sub(parts.begin(), parts.begin() + static_cast<std::ptrdiff_t>(n));
        std::string key;
        for (const auto& p : sub)
            key += p + '/';
        if (madeDirs.count(key))
            return {};
        if (Status s = makeDirsBelow(folder, sub); !s)
            return s;
        // Every prefix is now a checked folder as well.
        std::string prefix;
        for (const auto& p : sub) {
            prefix += p + '/';
            madeDirs.insert(prefix);
        }
        return {};
    };

    // A later entry of a name replaces an earlier one: only the last of each is written, and
    // its CRC-32 and size are what the package holds under that name.
    std::map<std::vector<std::string>, std::size_t> last;
    for (std::size_t i = 0; i < entries.size(); ++i)
        if (!entries[i].folder)
            last[entries[i].parts] = i;

    // Every folder first (the stage's own folders are not flushed: its files are moved out of
    // it, and the folders they land in are flushed then, Placement::finish); so the files
    // below can be written in any order, on several threads.
    std::set<std::vector<std::string>> seenFiles, seenFolders;
    std::vector<const Entry*> writes;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const Entry& e = entries[i];
        if (Status s = ensureDirs(e.parts, e.folder ? e.parts.size() : e.parts.size() - 1); !s)
            return Error{s.error()};
        if (e.folder) {
            if (seenFolders.insert(e.parts).second)
                result.folders.push_back(e.parts);
            continue;
        }
        if (last[e.parts] == i)
            writes.push_back(&e);
        if (!seenFiles.insert(e.parts).second)
            continue;
        result.files.push_back(e.parts);
        UnpackResult::Sum sum;
        for (const auto& p : e.parts)
            sum.name += (sum.name.empty() ? "" : "/") + p;
        zip_stat_t st;
        zip_stat_init(&st);
        if (zip_stat_index(zip.get(), entries[last[e.parts]].index, 0, &st) == 0) {
            sum.crc = (st.valid & ZIP_STAT_CRC) ? st.crc : 0;
            sum.size = (st.valid & ZIP_STAT_SIZE) ? st.size : 0;
        }
        result.sums.push_back(std::move(sum));
    }

    // No file is flushed here: the placement flushes the whole stage at once before its first
    // move (Placement::flushSources), which lets the disk take thousands of small files in
    // one sweep instead of waiting for each in turn. (Starting each file's write-back here
    // costs the unpacking more than it saves the flush: the file system's own write-back
    // has most of the stage on the disk by the time the flush comes.)
    // Each file is written at its own name: the stage is this call's alone, so no other
    // process reads a half-written file there, and a rename per file is saved.
    auto unpackOne = [&](zip_t* archive, const Entry& e, std::vector<char>& buffer) -> Status {
        std::string target = folder;
        for (const auto& p : e.parts)
            target += "/" + p;
        std::unique_ptr<zip_file_t, decltype(&zip_fclose)> in(zip_fopen_index(archive, e.index, 0), &zip_fclose);
        if (!in)
            return Error{"无法读取安装包中的 \"" + e.name + "\"（" + zip_strerror(archive) + "）"};
        TempFile out;
        // A link placed at the target by someone else is replaced, never followed.
        if (Status s = out.createAt(target); !s)
            return s;
        out.setExecutable(e.executable);
        for (;;) {
            if (stop && stop())
                return Error{"已取消"};
            zip_int64_t n = zip_fread(in.get(), buffer.data(), buffer.size());
            if (n < 0)
                return Error{"安装包中的 \"" + e.name + "\" 已损坏（" +
                             zip_error_strerror(zip_file_get_error(in.get())) + "）"};
            if (n == 0)
                break;
            if (Status s = out.write(buffer.data(), static_cast<std::size_t>(n)); !s)
                return s;
        }
        return out.commit();
    };

    // Inflating and creating thousands of small files is work for every core: each lane
    // reads the package through a handle of its own and takes the next file in turn. The
    // first failure stops the others, and is the one reported.
    std::atomic<std::size_t> next{0};
    std::atomic<bool> failed{false};
    std::mutex failureMutex;
    std::optional<std::string> failure;
    auto lane = [&](zip_t* archive) {
        std::vector<char> buffer(256 * 1024);
        for (std::size_t i; !failed && (i = next++) < writes.size();) {
            Status s;
            try {
                s = unpackOne(archive, *writes[i], buffer);
            } catch (...) {
                s = Error{"内存不足"};
            }
            if (!s) {
                std::lock_guard lock(failureMutex);
                if (!failure)
                    failure = s.error();
                failed = true;
            }
        }
    };
    const std::size_t lanes = std::min<std::size_t>(
        {std::max(1u, std::thread::hardware_concurrency()), 4, writes.size() / 32 + 1});
    std::vector<std::unique_ptr<zip_t, ZipCloser>> archives;
    std::vector<std::thread> others;
    for (std::size_t l = 1; l < lanes; ++l) {
        zip_t* own = zip_open(package.c_str(), ZIP_RDONLY, &err);
        if (!own)
            break; // fewer lanes then
        archives.emplace_back(own);
        try {
            others.emplace_back(lane, own);
        } catch (...) {
            archives.pop_back();
            break;
        }
    }
    lane(zip.get());
    for (auto& t : others)
        t.join();
    if (failure)
        return Error{*failure};
    return result;
}

} // namespace vxdl

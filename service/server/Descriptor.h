#pragma once
// Descriptors of the files the service hands out: an application's version.xml and the
// client's own apps/KVLMZ/version.xml. Both list every file of a release folder with its MD5
// digest (upper-case hex, which every client reads) and its SHA-256 (lower-case hex, which
// clients that check downloads read), computed from the files themselves.

#include "core/Expected.h"

#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace vxdemo {

// The digests of one file: MD5 in upper-case hex, SHA-256 in lower-case hex.
struct FileDigests {
    std::string md5;
    std::string sha256;
};

// A binary patch that makes a release file from the previous release's file of the same
// path (<patch from url SHA256 size/> in the file's entry).
struct ReleasePatch {
    std::string from;   // SHA-256 of the previous file
    std::string url;    // "{app}patches/NAME"
    std::string sha256; // of the patch
    std::uintmax_t size = 0;
};

// One file of a release folder: its folder relative to the release ("" or "sub/dir/"), name
// and digests.
struct ReleaseFile {
    std::string dir;
    std::string name;
    std::string md5;
    std::string sha256;
    std::vector<ReleasePatch> patches;
};

// Remembers digests by path, size and modification time, so that a descriptor served often
// reads each file once per change.
class DigestCache {
public:
    // An error when the file is missing or cannot be read.
    vx::Expected<FileDigests> digests(const std::filesystem::path& file);

private:
    struct Entry {
        std::uintmax_t size;
        std::filesystem::file_time_type time;
        FileDigests digests;
    };
    std::mutex m_mutex;
    std::map<std::string, Entry> m_entries;
};

// The files below `release`, sorted by path; an empty list when the folder does not exist.
// Hidden files (names starting with ".") are left out.
vx::Expected<std::vector<ReleaseFile>> scanRelease(const std::filesystem::path& release,
                                                   DigestCache& cache);

// An application folder's releases: `files` holds the current one, `previous` the one before
// it, and `patches` the patches from each changed file of `previous` to its file in `files`
// (named "<new SHA-256>-<old SHA-256>.zst"), built when first asked for and kept.

// Makes `newFiles` the current release of `appFolder`: the current one becomes the previous
// one (replacing the one before), the patches of the old pair go, and the new files are
// copied in. Without a current release, only the copy.
vx::Status publishRelease(const std::filesystem::path& appFolder, const std::filesystem::path& newFiles);

// Adds to `files` (the current release of `appFolder`, as scanRelease lists it) the patch of
// each file that the previous release holds at the same path with other bytes, built into
// `patches` when missing; a patch is listed only when it is less than half the file's size.
// Nothing without a previous release. An error when a file cannot be read or written.
vx::Status addPatches(const std::filesystem::path& appFolder, std::vector<ReleaseFile>& files, DigestCache& cache);

// What binds a descriptor to its purpose, each element left out when empty: the
// application's id (appId) and the file it starts (MainFile), and the moment after which a
// client no longer takes it (expires, as vx::utcTimeText writes it).
struct Binding {
    std::string appId;
    std::string mainFile;
    std::string expires;
};

// An application's descriptor: root "info" with appId, version, MainFile, expires, zipFile,
// zipSHA256 (the package's SHA-256; left out when empty, as for a package that is not there)
// and updateFile, one child per release file with Dir ("{app}" + its folder), Name, MD5 and
// SHA256.
std::string applicationDescriptor(const std::string& version, const std::string& zipFile,
                                  const std::string& zipSha256,
                                  const std::vector<ReleaseFile>& files,
                                  const Binding& binding = {});
// The client's descriptor: root "verInfo" with version (when given), expires (when given)
// and updateFile.
std::string clientDescriptor(const std::string& version, const std::vector<ReleaseFile>& files,
                             const std::string& expires = {});

// The expiry the service signs with: seven days after the start of the current UTC day, so
// that a descriptor and its signature fetched on the same day are of the same bytes, and each
// day's descriptors are signed again, long before the last ones expire.
std::string signedExpiry(std::int64_t nowSeconds);

} // namespace vxdemo

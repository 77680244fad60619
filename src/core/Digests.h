#pragma once
// Digests of installed files, off the main thread, with a cache that spares reading files
// that have not changed.
//
// computeDigests hashes a list of files (MD5 in upper-case hex, as FileMD5, or SHA-256 in
// lower-case hex, as FileSHA256) on a pool of threads as wide as the machine: several files at once, each read in large sequential blocks.
// The results reach the main thread, in the order of the paths, through vx::mainThread().
//
// With a cache file, a file whose stamp (size, modification and change time, identity on its
// volume) is the one recorded there is not read at all. The cache never claims a digest for a
// file whose stamp changed: a write through any path or link changes the times, a replacement
// the identity. A file whose times are younger than the settle time (2 s by default) is hashed
// but not recorded, since a write within the same tick of the file system's clock would leave
// its stamp as it was. A missing, unreadable or corrupt cache only means hashing again.

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace vx {

// One file's digest: FileMD5's or FileSHA256's text ("" for a missing file), nullopt when it
// could not be read.
using Digest = std::optional<std::string>;

enum class DigestKind { Md5, Sha256, Crc32 };
struct DigestRequest {
    std::string path;
    DigestKind kind = DigestKind::Md5;
};

// Starts the job and returns at once; `done` runs on the main thread with one digest per path.
// `cacheFile` may be empty (no cache).
void computeDigests(std::vector<std::string> paths, std::string cacheFile,
                    std::function<void(std::vector<Digest>)> done);
// The same with the kind of digest chosen for each file (a file may be asked for twice).
void computeDigests(std::vector<DigestRequest> files, std::string cacheFile,
                    std::function<void(std::vector<Digest>)> done);

// Jobs started whose results have not yet been handed to the main thread (all background
// jobs, see core/Background.h).
int digestJobsRunning();
// Files whose contents were read since the start of the process (tests, benchmarks).
long long digestFilesRead();
// How old a file's times must be for its digest to be recorded (2 s; tests set less). The
// page API's remembered versions of installed descriptors follow the same rule.
void setDigestCacheSettleTime(std::chrono::nanoseconds settle);
std::chrono::nanoseconds digestCacheSettleTime();
// FOR TESTS ONLY: what tells whether a file's volume keeps change times (platform's
// keepsChangeTimes when empty). Files of a volume that keeps none are read every time.
void setChangeTimeProbeForTests(std::function<bool(const std::string&)> probe);

} // namespace vx

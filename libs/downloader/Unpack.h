#pragma once
// Unpacking a zip package into a folder, on libzip.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "FileOps.h"

namespace vxdl {

// The folder components an entry name stands for ("a/b\c.txt" -> a, b, c.txt; "." and
// empty components dropped), or nullopt with `why` set when the name is refused: absolute
// ("/x", "\x", "\\server\x"), carrying a drive letter or any other ":", containing ".." as
// a component (with "/" or "\" as separator), with a component that ends in a dot or a
// space (Windows would strip those: ".. " means "..") or is a device name (CON, NUL.txt,
// COM1, ...), containing control characters, or naming nothing.
std::optional<std::vector<std::string>> entryParts(const std::string& name, std::string& why);

// What an unpacking wrote: the components of each file and folder below the folder, in
// the package's order, each once.
struct UnpackResult {
    std::vector<std::vector<std::string>> files;
    std::vector<std::vector<std::string>> folders;
    // Each file's entry as the package lists it: its name ("/" separated), its CRC-32 and
    // its size (what a later verification compares the installed files with).
    struct Sum {
        std::string name;
        std::uint32_t crc = 0;
        std::uint64_t size = 0;
    };
    std::vector<Sum> sums;
};

// Unpacks every entry of the zip at `package` below `folder` (an existing stage, which the
// caller moves into place afterwards), replacing files there. Nothing is flushed to the disk
// here: the caller flushes the whole stage before it moves anything (Placement::flushSources). Every entry is checked before anything is written: one
// refused entry (see entryParts; symbolic links and other special files too) refuses the
// whole package and nothing is written. Names that are not valid UTF-8 are read in the ANSI
// code page, as Chinese Windows zip tools write them. Nothing is ever written outside
// `folder`, not even through links already inside it. `stop` is asked between reads; when
// it says so the unpacking ends with an error.
// When `freeBytes` is given, the entries' uncompressed sizes (from the central directory)
// are summed before anything is written, and a sum above what freeBytes() says is free
// refuses the package with "磁盘空间不足：需要 N MB，可用 M MB" (N rounded up, M down, in
// MiB) and sets *outOfRoom.
vx::Expected<UnpackResult> unpackZip(const std::string& package, const std::string& folder,
                                     const std::function<bool()>& stop,
                                     const std::function<std::optional<std::uint64_t>()>& freeBytes = {},
                                     bool* outOfRoom = nullptr);

} // namespace vxdl

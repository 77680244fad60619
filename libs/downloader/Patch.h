#pragma once
// Binary patches between two versions of a file: the new file compressed with zstd against
// the old one as its reference (zstd's "patch-from": the old bytes as the prefix the
// compressor may copy from, with a window as long as the larger of the two and long-distance
// matching). `zstd --patch-from=OLD -d PATCH` decodes them too, and makePatch decodes what
// `zstd --patch-from=OLD NEW` makes, as long as the frame states its content size.
//
// Used by the downloader (applyPatch), by vxutil's `diff` and by the demo service.

#include <cstdint>
#include <string>
#include <string_view>

namespace vxdl {

// The largest file a patch may make: its whole result is held in memory.
constexpr std::uint64_t kMaxPatchedSize = 1ull << 31;

// The patch that turns `reference` into `target`; level 1 to 19 (zstd's levels). Empty with
// `error` set when zstd refuses.
std::string makePatch(std::string_view reference, std::string_view target, int level, std::string& error);

// Decodes `patch` (one zstd frame that states its content size, at most kMaxPatchedSize)
// against `reference` into `out`. False with a reason (Chinese, for status texts) when the
// patch is not one, is damaged, or was made against other bytes (zstd then finds
// references it cannot resolve, or a checksum that does not match).
bool applyPatch(std::string_view reference, std::string_view patch, std::string& out, std::string& reason);

} // namespace vxdl

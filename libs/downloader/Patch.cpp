#include "Patch.h"

#include <algorithm>
#include <new>

#include <zstd.h>

namespace vxdl {

namespace {

// The window that lets every byte of the result refer back to any byte of the reference.
int windowLogFor(std::uint64_t size) {
    const ZSTD_bounds bounds = ZSTD_cParam_getBounds(ZSTD_c_windowLog);
    int log = bounds.lowerBound;
    while (log < bounds.upperBound && (std::uint64_t{1} << log) < size)
        ++log;
    return log;
}

} // namespace

std::string makePatch(std::string_view reference, std::string_view target, int level, std::string& error) {
    ZSTD_CCtx* cctx = ZSTD_createCCtx();
    if (!cctx) {
        error = "out of memory";
        return {};
    }
    const std::uint64_t span = std::max<std::uint64_t>(reference.size(), target.size());
    ZSTD_CCtx_setParameter(cctx, ZSTD_c_compressionLevel, std::clamp(level, 1, 19));
    ZSTD_CCtx_setParameter(cctx, ZSTD_c_windowLog, windowLogFor(span + 1));
    ZSTD_CCtx_setParameter(cctx, ZSTD_c_enableLongDistanceMatching, 1);
    ZSTD_CCtx_setParameter(cctx, ZSTD_c_checksumFlag, 1);
    ZSTD_CCtx_setParameter(cctx, ZSTD_c_contentSizeFlag, 1);
    std::string out;
    std::size_t rc = ZSTD_CCtx_refPrefix(cctx, reference.data(), reference.size());
    if (!ZSTD_isError(rc)) {
        out.resize(ZSTD_compressBound(target.size()));
        rc = ZSTD_compress2(cctx, out.data(), out.size(), target.data(), target.size());
    }
    ZSTD_freeCCtx(cctx);
    if (ZSTD_isError(rc)) {
        error = ZSTD_getErrorName(rc);
        return {};
    }
    out.resize(rc);
    return out;
}

bool applyPatch(std::string_view reference, std::string_view patch, std::string& out, std::string& reason) {
    const unsigned long long size = ZSTD_getFrameContentSize(patch.data(), patch.size());
    if (size == ZSTD_CONTENTSIZE_ERROR) {
        reason = "补丁格式错误";
        return false;
    }
    if (size == ZSTD_CONTENTSIZE_UNKNOWN || size > kMaxPatchedSize) {
        reason = "补丁未注明或超出可处理的大小";
        return false;
    }
    // One frame and nothing after it: a second frame would not see the reference.
    if (ZSTD_findFrameCompressedSize(patch.data(), patch.size()) != patch.size()) {
        reason = "补丁格式错误";
        return false;
    }
    ZSTD_DCtx* dctx = ZSTD_createDCtx();
    if (!dctx) {
        reason = "内存不足";
        return false;
    }
    std::size_t rc = ZSTD_DCtx_setParameter(dctx, ZSTD_d_windowLogMax,
                                           ZSTD_dParam_getBounds(ZSTD_d_windowLogMax).upperBound);
    if (!ZSTD_isError(rc))
        rc = ZSTD_DCtx_refPrefix(dctx, reference.data(), reference.size());
    try {
        if (!ZSTD_isError(rc)) {
            out.resize(static_cast<std::size_t>(size));
            rc = ZSTD_decompressDCtx(dctx, out.data(), out.size(), patch.data(), patch.size());
        }
    } catch (const std::bad_alloc&) {
        ZSTD_freeDCtx(dctx);
        reason = "内存不足";
        return false;
    }
    ZSTD_freeDCtx(dctx);
    if (ZSTD_isError(rc) || rc != size) {
        out.clear();
        reason = std::string("补丁无法解码（") + (ZSTD_isError(rc) ? ZSTD_getErrorName(rc) : "长度不符") + "）";
        return false;
    }
    return true;
}

} // namespace vxdl

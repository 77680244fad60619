#pragma once
// The downloader library (libDownLoader): downloads files, and optionally unpacks zip
// packages, on a worker thread per call, and reports through a callback.
//
// Every text crossing this boundary is a NUL-terminated narrow string in the system's ANSI
// code page (GBK on the systems the client serves); numbers are 32-bit signed integers.
// No C++ exception ever leaves these functions.

#if defined(_WIN32)
#define VXDL_CALL __stdcall
#define VXDL_EXPORT __declspec(dllexport)
#else
#define VXDL_CALL
#define VXDL_EXPORT __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

// The progress callback. `id` is the application id given to DownFile; `text` is one of
//   "process:<0..100>"  whole percentage of all bytes of the call, sent only when it rises;
//   "完成"               once, when every file of the call is in place (and unpacked);
//   "error:<reason>"     once, when the call failed (then "完成" never comes);
//   "已取消"             once, when CancelDown stopped the call (then neither of the two);
//   "已暂停"             once, when PauseDown stopped the call (then none of the three);
//   anything else        a status text for a person (what is fetched, retries, failures).
// It is called from the call's worker thread, never from inside DownFile, one message at a
// time and in order for one call; calls for different DownFile calls may run at the same
// time on different threads. The text is valid only during the callback.
typedef void(VXDL_CALL* DownloadNotify)(int id, const char* text);

// Starts downloading and returns at once.
//   urls      one URL, or several each followed by CR LF;
//   paths     the local target paths, in the same form, the n-th path for the n-th URL;
//   folder    empty: plain download; otherwise every downloaded file is a zip package that
//             is unpacked into this folder (replacing files) and then removed;
//   attempts  attempts per file (the client passes 5); values below 1 count as 1;
//   appId     passed back unchanged to the callback;
//   notify    the callback.
// Several files (no folder) are all downloaded before any is placed, then placed together:
// all or none. Packages are unpacked into a stage beside `folder` and moved in only when all
// of them unpacked whole: all or none. A package whose files together are larger than the
// free space there is refused before it writes a byte: "error:磁盘空间不足：需要 N MB，可用 M MB"
// (N rounded up, M rounded down, in MiB). Each call first removes what killed processes of the
// library left in the folders it is given (temporary files, kept old files, stages).
// Returns 0 when the call was accepted: its callback then ends with exactly one "完成",
// one "error:...", one "已取消" or (after PauseDown) one "已暂停" message. Returns -1 when it was refused at once (notify is null, or no
// worker thread could be started); the callback is then never called.
VXDL_EXPORT int VXDL_CALL DownFile(const char* urls, const char* paths, const char* folder,
                                   int attempts, int appId, DownloadNotify notify);

// FOR TESTS ONLY: shortens the timings of calls started afterwards so that tests of
// failures and retries never wait long. connectTimeoutMs: TCP/TLS connect timeout;
// stallSeconds: a transfer that moves no byte for this long is aborted; retryDelayMs: the
// pause before the second attempt of a file (it doubles for each further attempt, up to
// eight times). A value <= 0 restores that timing's default (15000 ms, 30 s, 1000 ms).
VXDL_EXPORT void VXDL_CALL DownLoaderSetTimingsForTests(int connectTimeoutMs, int stallSeconds,
                                                        int retryDelayMs);

// FOR TESTS ONLY: changes the trickle rule of calls started afterwards. A transfer that has
// run for windowMs and received less than minBytesPerSecond * windowMs / 1000 bytes within
// the last windowMs is abandoned as a failed attempt ("传输过慢"), then retried as usual. A
// value <= 0 restores that setting's default (60000 ms, 1024 bytes per second).
VXDL_EXPORT void VXDL_CALL DownLoaderSetMinimumRateForTests(int windowMs, int minBytesPerSecond);

// FOR TESTS ONLY: ends the process (exit status 86) just before the file-system step numbered
// `step` (from 0, counted from this call) of a placement, an undo or a recovery: every note of
// the journal, every move and undo of a file, every folder made or removed, the retiring and
// removal of a stage. A negative step counts nothing. Crash tests walk every step in turn.
VXDL_EXPORT void VXDL_CALL DownLoaderCrashAtStepForTests(int step);

// Stops the running DownFile call(s) of `appId` as soon as possible, from any thread: their
// transfers end, their temporary files and stages are removed and every old file stays (or
// is put back) as it was; each ends with the one final message "已取消" (GBK). Returns 0 when
// a call was stopped so, -1 when no call of that id runs (or it has already decided on its
// "完成" or "error:").
VXDL_EXPORT int VXDL_CALL CancelDown(int appId);

// Undoes and removes, in `folder` (ANSI code page) and its direct subfolders, what ended
// processes of the library left there after a crash: interrupted placements are put back to
// the old version, stages and temporary files removed (see DownFile's own cleaning). From
// any thread; may take a while on a large folder. 0 done, -1 for a null or empty folder.
VXDL_EXPORT int VXDL_CALL CleanLeftovers(const char* folder);

// DownFile with each file's SHA-256 checked before anything is put in place.
//   sha256s  one item per URL, in the same form as urls (each followed by CR LF when
//            several): 64 hexadecimal digits in any case, or an empty item for a file
//            that is not checked.
// For a plain download each file's bytes, for a package (non-empty folder) the zip's bytes
// must have their digest before the file is placed or unpacked; the digest is computed while
// the bytes arrive. A file with other bytes is a failed attempt ("SHA256校验失败"), fetched
// again from its start; when its attempts run out the call ends with
// "error:下载 NAME 失败：SHA256校验失败" and nothing of it is placed. A number of items that
// differs from the number of URLs, or an item that is neither empty nor 64 hexadecimal
// digits, ends the call with "error:" before anything is downloaded. Otherwise as DownFile.
VXDL_EXPORT int VXDL_CALL DownFileSha256(const char* urls, const char* paths, const char* folder,
                                         const char* sha256s, int attempts, int appId,
                                         DownloadNotify notify);

// Calls started afterwards trust the certificates of this PEM file in addition to the
// system's (https transfers). Null or empty: the system's only. 0 when set; -1 when the
// file cannot be read or holds no certificate (the setting is then unchanged).
// The path is in the ANSI code page; the file is read at once, and each call keeps the
// setting it started with. Certificates are always verified, host names included: a
// certificate that does not verify fails its file at once, without further attempts
// ("证书验证失败（...）").
VXDL_EXPORT int VXDL_CALL DownLoaderTrustCaFile(const char* pemPath);

// Limits the bandwidth of the whole library to `bytesPerSecond` bytes of body per second:
// every transfer of every call, whichever thread started it, draws from the one limit, and
// running transfers follow a change within a twentieth of a second. 0 or less: no limit (the
// default). Time in which the limit holds a transfer back counts neither as a stall nor
// against the minimum rate ("传输过慢"). From any thread; returns 0.
VXDL_EXPORT int VXDL_CALL DownLoaderSetRateLimit(int bytesPerSecond);

// FOR TESTS ONLY: calls started afterwards take `mebibytes` MiB as the free space of the
// file system they unpack packages on, instead of asking the system; negative: the system's
// figure again. (Before a package is unpacked, the sum of its entries' sizes is checked
// against the free space: too little ends the call with
// "error:磁盘空间不足：需要 N MB，可用 M MB", N rounded up and M down to whole MiB.)
VXDL_EXPORT void VXDL_CALL DownLoaderSetFreeSpaceForTests(int mebibytes);

// DownFileSha256 (the same arguments, messages, checks and all-or-none placement) whose
// partial downloads outlive the call: each file is received into ".NAME.vxpart" beside its
// target, and ".NAME.vxpart.info" notes the URL and the file's validator (strong ETag or
// Last-Modified) before its first byte is written. A later DownFileResumable call for the
// same target and URL goes on where the bytes end (Range with If-Range): a file changed on
// the server comes back whole and starts over, a server that ignores ranges sends it whole,
// and the digest, when given, covers the kept bytes too (a mismatch is a failed attempt that
// starts over from the first byte). Progress counts the kept bytes as done. A partial is
// kept when PauseDown stops the call or the process ends; it is used up when its file is
// placed (or unpacked), and removed when the call ends with "error:" or "已取消". Bytes kept
// without a validator, or for another URL, are not continued but fetched again. DownFile
// and DownFileSha256 never use a partial, and neither they nor the cleaning of leftovers
// ever remove one.
VXDL_EXPORT int VXDL_CALL DownFileResumable(const char* urls, const char* paths, const char* folder,
                                            const char* sha256s, int attempts, int appId,
                                            DownloadNotify notify);

// Stops the running call(s) of `appId` as CancelDown does (from any thread, as soon as
// possible, temporary files and stages removed, every old file as it was), but each file's
// partial download of a DownFileResumable call is kept for a later call, and the one final
// message is "已暂停" (also for a DownFile or DownFileSha256 call, which keeps nothing).
// Returns 0 when a call was stopped so, -1 when no call of that id runs or it is past the
// point of pausing: once every file of a call has arrived (unpacking and placement follow)
// or the call has failed, it ends as it would have, so that a paused call is never half
// placed.
VXDL_EXPORT int VXDL_CALL PauseDown(int appId);

// Removes the partial downloads kept for the given targets (and their info), in the form of
// DownFile's `paths`; a partial a running call is using is left alone. 0, or -1 for null.
VXDL_EXPORT int VXDL_CALL DiscardPartials(const char* paths);

// The number of files a call started afterwards fetches at once, each on a transfer of its
// own (1 to 16; the default is 4). Progress, attempts, resuming, digests, the stall and
// minimum-rate rules and all-or-none placement hold for each file as for one; the rate
// limit covers the transfers together. With more than one, a call of several files asks for
// no sizes first: each file's size counts from its response. 0 when set; -1 for a number
// out of range (the setting is then unchanged). From any thread.
VXDL_EXPORT int VXDL_CALL DownLoaderSetConnections(int connections);

// DownFileResumable (the same arguments, messages, checks, partials and all-or-none
// placement) where a file may come from a binary patch against the file now at its target.
//   patches  one item per URL, in the form of sha256s: empty for none, or
//            "FROM|PATCHURL|PATCHSHA256": the SHA-256 of the old file the patch applies to,
//            the patch's URL and the SHA-256 of the patch's bytes.
// When the file at a target has the digest FROM, the patch is fetched (at most two attempts,
// its digest checked), decoded with zstd against that file (the "patch-from" format of
// `zstd --patch-from`) and the result checked against the file's SHA-256 before it may be
// placed. Any failure (a file that is not FROM, a patch that cannot be fetched, has another
// digest, does not decode, or gives other bytes) fetches the whole file as DownFileResumable
// would, after a status text "NAME 的补丁不可用（REASON），改为下载整个文件". A target without a
// file takes the whole file without a word. A number of items that differs from the number
// of URLs, a malformed item, or a patch for a file without a SHA-256 ends the call with
// "error:" before anything is downloaded. With an empty `patches` it is DownFileResumable.
VXDL_EXPORT int VXDL_CALL DownFilePatched(const char* urls, const char* paths, const char* folder,
                                          const char* sha256s, const char* patches, int attempts,
                                          int appId, DownloadNotify notify);

#ifdef __cplusplus
}
#endif

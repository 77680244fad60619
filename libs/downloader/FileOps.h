#pragma once
// The few file-system operations of the downloader that differ between systems. Paths are
// UTF-8; both "/" and "\" separate folders on Windows, only "/" elsewhere.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/Expected.h"

namespace vxdl {

using vx::Error;
using vx::Status;

// A new file written beside its final path and renamed over it only by commit(), so the
// target is always either its old content or the whole new one. Removed by the destructor
// unless committed.
class TempFile {
public:
    TempFile() = default;
    ~TempFile();
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    // Creates a uniquely named, hidden file in the folder of `target` (which must exist).
    Status create(const std::string& target);
    // Writes at `path` itself, in a folder only this call writes to (a stage): what is there
    // is removed first, never followed. commit() then only closes the file, which saves a
    // rename for each of a package's files. (Windows: as create.)
    Status createAt(const std::string& path);
    // Opens the kept partial download at `path` (made empty when missing) to write on at its
    // end, held exclusively while open (an exclusive flock on POSIX, no sharing on Windows)
    // so that two calls never write one partial. `busy` says that another holder has it.
    // Like a created file it is removed by discard() and the destructor, unless keep() or
    // placed() came first.
    Status openKept(const std::string& path, bool& busy);
    // Opened by openKept.
    bool kept() const { return m_keptPart; }
    Status write(const char* data, std::size_t size);
    // Cuts the file to `length` bytes (0: empties it) and writes on from there.
    Status truncate(std::uint64_t length = 0);
    // Hands the bytes written so far to `sink`, in order, from the file's start.
    Status readBack(const std::function<void(const char*, std::size_t)>& sink);
    // Closes the file (flushed to the disk first) and leaves it where it is, for a later
    // call to go on with.
    void keep();
    // Bytes written so far.
    std::uint64_t size() const { return m_size; }
    // Gives the file the owner's execute right too (where files have one).
    void setExecutable(bool on) { m_executable = on; }
    // Makes commit() flush the file to the disk first, so that the renamed target survives
    // a power cut; big files are then also written back while they grow.
    void setDurable(bool on) { m_durable = on; }
    // Starts writing what has been written back to the disk without waiting for it, so that
    // a later durable commit() has little left to wait for (where the system allows).
    void startFlush();
    // Closes the file and renames it over the target. On failure the temporary file is
    // removed and the target is untouched.
    Status commit();
    // Closes the file (flushed first when durable) under its temporary name, for a caller
    // that places several files together (see Placement). The destructor still removes it
    // unless placed() was called.
    Status finish();
    // The temporary file's path.
    const std::string& path() const { return m_temp; }
    // The file has been moved away by the caller: nothing is left to remove.
    void placed() { m_temp.clear(); }
    // Closes and removes the temporary file.
    void discard();

private:
    std::string m_target;
    std::string m_temp;
    std::intptr_t m_handle = -1;
    std::uint64_t m_size = 0;
    std::uint64_t m_flushed = 0; // bytes whose write-back has been started
    bool m_executable = false;
    bool m_durable = false;
    bool m_keptPart = false;
    bool m_inPlace = false; // opened by createAt: the file is already at its target
};

// Removes temporary files that TempFile left beside `target` in processes that have ended
// (a crash or a kill during a download), so they cannot pile up. Files of running
// processes, this one included, are left alone.
void removeStaleTemps(const std::string& target);

// The id of this process, as the names of the library's own temporary files carry it.
long processId();
// True when no process of that id runs any more (a process that exists but cannot be
// looked at counts as running).
bool processGone(long pid);
// Removes, directly in `folder`, the loose files that ended processes of the library left:
// temporary files (".NAME.vxdl-PID-N") and kept old files of its earlier versions
// (".NAME.vxold-PID-N"). Only those names, only for process ids that no longer run. Stages
// are recovered and removed by recoverStage alone.
void removeLeftovers(const std::string& folder);
// Removes a folder and everything in it, never following a link; false when something of
// it is left.
bool removeTree(const std::string& path);
// The stages of ended processes directly in `folder` (full paths), which removeLeftovers
// would remove.
std::vector<std::string> leftoverStages(const std::string& folder);

// Renames `source` over `target`, keeping the file it replaces at `backup` (same file
// system) so that the move can be undone. Where the system allows, the old file is kept
// through a second link and the target is replaced in one rename, so that a kill at any
// moment leaves the target either old or new. `hadOld` tells whether there was a file.
Status moveKeepingOld(const std::string& source, const std::string& target, const std::string& backup,
                      bool& hadOld);
// Puts a file kept by moveKeepingOld back over `target`.
Status moveBack(const std::string& backup, const std::string& target);

// The folder part of a path ("" when it has none).
std::string parentOf(const std::string& path);
// Creates a folder and its missing parents (following links, as the user's own paths may).
// Each folder it creates is flushed into its parent at once (see syncFolder).
Status makeDirs(const std::string& path);
// Flushes a folder's entries to the disk, so that files renamed into it or removed from it,
// and folders made in it, stay so after a power cut. (A file's own content is flushed by
// TempFile's durable commit, or with its set by flushTogether.) On Windows the renames are
// written through already.
Status syncFolder(const std::string& path);
// Flushes the files and folders at `paths` to the disk together, for a set whose files are
// written without a flush of their own and moved in only once all of them are there. On
// Linux one syncfs of each file system they lie on (for more than a few paths; a few are
// flushed each in turn); on Windows the files' handles are flushed in parallel (folders need
// nothing there: its renames are written through); elsewhere each path in turn. A path that
// is gone is passed over. The error names the first path that could not be flushed.
Status flushTogether(const std::vector<std::string>& paths);
// Creates the folders `root`/parts[0]/parts[1]/... below an existing `root`, refusing to
// pass through any component that is a symbolic link (or other reparse point) or not a
// folder, so that nothing below can end up outside `root`.
Status makeDirsBelow(const std::string& root, const std::vector<std::string>& parts);
// True when something exists at the path and it is a link (it is not followed).
bool isLink(const std::string& path);
// Removes a file; false when it still exists afterwards.
bool removeFile(const std::string& path);
// Removes a file unless a TempFile holds it open (openKept); false when it is held or still
// exists afterwards.
bool removeUnlessHeld(const std::string& path);

// The names beside `target` under which DownFileResumable keeps a partial download between
// calls: the bytes so far (".NAME.vxpart") and what they are part of (".NAME.vxpart.info").
// Neither is a temporary file of a process: no cleaning of leftovers ever removes them.
std::string partialPath(const std::string& target);
std::string partialInfoPath(const std::string& target);
// The system's text for its last error, in UTF-8.
std::string lastSystemError();
// The bytes that this process may still write on the file system holding `path` (on POSIX
// statvfs's f_bavail, which leaves out what is reserved for the superuser; on Windows what
// GetDiskFreeSpaceEx gives the caller, quotas counted); nullopt when it cannot be asked.
std::optional<std::uint64_t> freeSpace(const std::string& path);

// Nothing the library holds may outlive it in a program the client starts (an application
// keeping a half-written file or a server connection open). Files are opened close-on-exec
// (not inheritable on Windows) where they are opened; libcurl's connections are opened
// close-on-exec by the client's own socket callback (http/CurlSupport.h), and this covers
// the rest of libcurl's sockets.
// Runs `open` and makes every socket that appeared meanwhile close-on-exec: for the sockets
// libcurl creates for itself (the wake-up pair of a multi handle), which it offers no way to
// create so. Calls of this function run one at a time. On Windows it only runs `open`: a
// handle is inherited there only by a child created to inherit handles, which the client
// never starts.
void keepNewSocketsPrivate(const std::function<void()>& open);

// What tells one file from another: its device and inode (on Windows the volume's serial
// number and the file index), as text; empty when nothing is at the path. A link is not
// followed. A journal notes it for each file it places, so that a recovery removes a target
// only when it is provably that file.
std::string fileIdentity(const std::string& path);

// A stage's lock, held across processes while the stage is placed, undone or recovered: an
// exclusive flock of the stage's file "lock" on POSIX, an exclusive open of it on Windows.
// Released when destroyed (or by release()).
class StageLock {
public:
    StageLock() = default;
    ~StageLock() { release(); }
    StageLock(const StageLock&) = delete;
    StageLock& operator=(const StageLock&) = delete;
    // Takes the lock of `stage` (its file "lock", made when missing). False when another
    // process holds it, or it cannot be made.
    bool take(const std::string& stage);
    void release();

private:
    std::intptr_t m_handle = -1;
};

// For tests: counts the file-system steps of placements, undos and recoveries, and ends the
// process (exit status kCrashExitCode) before the step numbered `n` (from 0) after this call.
// A negative n counts no more.
void crashAtStepForTests(int n);
constexpr int kCrashExitCode = 86;
// One step that changes the files of a placement, an undo or a recovery is about to be
// taken (see crashAtStepForTests).
void crashPoint();

// The process id in a name the library gives its own files and folders,
// "<.NAME><marker>PID-N"; 0 when the name is not one of them.
long pidInName(const std::string& name, const std::string& marker);

} // namespace vxdl

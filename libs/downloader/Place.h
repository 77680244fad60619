#pragma once
// Several files moved into place together: all of them or none, whatever ends the process.
//
// One stage per call holds everything a placement needs besides the targets: the new files
// (a package's), the old files they replace (`old/`), the journal, and a lock. Each file is
// renamed over its target with the old file kept in the stage first (a second link where the
// system allows, so a kill at any moment leaves each target old or new). Every step is noted
// in the journal before it is taken, with the identity (device and inode) of the file placed,
// so a recovery removes a target only when it is provably the file this call put there. The
// whole plan is noted, and flushed to the disk, before the first move. Until
// finish() confirms the whole set, every move can be undone: the kept old files go back, new
// files that had no old one are removed, and folders made for them are removed again. A step
// of an undo that fails keeps the stage, and so the kept files, and says so.

#include <functional>
#include <set>
#include <string>
#include <vector>

#include "FileOps.h"

namespace vxdl {

class Placement {
public:
    // Replaced old files are kept in `keepFolder` (a folder of the stage, on the targets' file
    // system); `journal` is the stage's journal.
    Placement(std::string keepFolder, std::string journal);
    // Anything placed but not confirmed is put back.
    ~Placement();
    Placement(const Placement&) = delete;
    Placement& operator=(const Placement&) = delete;

    // `source` is to replace `target`, whose folder exists.
    void add(std::string source, std::string target);
    // `source` is to replace root/parts[0]/..., folders made below `root` as needed; a
    // folder component that is a link (or not a folder) is never passed through.
    void addBelow(std::string source, const std::string& root, std::vector<std::string> parts);
    // The folder root/parts[0]/... is to exist afterwards.
    void addFolder(const std::string& root, std::vector<std::string> parts);

    // The sources were written without a flush of their own (a package's unpacked files):
    // place() flushes them all at once, with its journal, before the first move.
    void flushSources(bool on) { m_flushSources = on; }

    // Notes the whole plan in the journal and flushes it to the disk (with the sources, see
    // flushSources), makes the folders, then moves the files in their order. A journal that cannot be
    // written stops it before anything moves. `stop` is asked before each move; when it says
    // so, or a move fails, everything done is undone and the reason is returned ("" for a
    // stop; the undo's own failure after it, when there is one).
    Status place(const std::function<bool()>& stop);
    // Undoes every move (newest first) and removes the folders made, emptied again. The error
    // names the first file that could not be put back; the stage must then stay.
    Status rollback();
    // Confirms the new set: the targets' folders are flushed, so that the renames stay after
    // a power cut, and then the journal says so, flushed too. The kept old files go with the
    // stage.
    void finish();
    // An undo of this placement failed: the stage holds kept files and must stay.
    bool undoFailed() const { return m_undoFailed; }

private:
    struct Item {
        std::string source, target, backup, identity;
        std::string root;
        std::vector<std::string> dirs; // folders below root leading to the target
        bool folderOnly = false;
        bool moved = false;
        bool hadOld = false;
    };
    Status makeFolders(const Item& item);
    Status note(const std::string& line);

    std::string m_keepFolder;
    std::string m_journal;
    std::vector<Item> m_items;
    std::vector<std::string> m_madeDirs; // in the order made
    std::set<std::string> m_readyDirs;   // folders made or checked by this placement
    bool m_finished = false;
    bool m_undoFailed = false;
    bool m_flushSources = false;
};

// For the stage of a process that ended without finishing (a kill, a crash): undoes the
// moves its journal notes, unless the journal says the whole set was placed, so that the
// folders hold the old set again (or keep the new one). The caller holds the stage's lock.
// The error says which step failed; the stage must then stay for a later try.
Status recoverStage(const std::string& stage);

// Retires the stage's journal (one rename, so that no later recovery reads it again), lets
// go of the stage's lock and removes the stage with everything in it. False when something
// of it is left.
bool retireStage(const std::string& stage, StageLock& lock);

} // namespace vxdl

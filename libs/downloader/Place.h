#pragma once
// Several files moved into place together: all of them or none.
//
// Each file is renamed over its target with the old file kept aside (a second link where
// the system allows, so a kill at any moment leaves each target old or new). Until finish()
// confirms the whole set, every move can be undone: the kept old files go back, new files
// that had no old one are removed, and folders made for them are removed again.

#include <functional>
#include <string>
#include <vector>

#include "FileOps.h"

namespace vxdl {

class Placement {
public:
    // `journal`, when given, is a file (in a stage) where every step is noted before it is
    // taken, so that recoverStage can undo the steps of a process killed half-way.
    // Replaced old files are kept in `keepFolder` (which must exist, on the targets' file
    // system) when given, otherwise beside each target as ".NAME.vxold-PID-N".
    explicit Placement(std::string keepFolder = {}, std::string journal = {});
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

    // Makes the folders, then moves the files in their order. `stop` is asked before each
    // move; when it says so, or a move fails, everything done is undone and the reason is
    // returned ("" for a stop).
    Status place(const std::function<bool()>& stop);
    // Undoes every move (newest first) and removes the folders made, emptied again.
    void rollback();
    // Confirms the new set: the kept old files are removed and the targets' folders flushed,
    // so that the renames stay after a power cut.
    void finish();

private:
    struct Item {
        std::string source, target, backup;
        std::string root;
        std::vector<std::string> dirs; // folders below root leading to the target
        bool folderOnly = false;
        bool moved = false;
        bool hadOld = false;
    };
    Status makeFolders(const Item& item);
    void note(const std::string& line);

    std::string m_keepFolder;
    std::string m_journal;
    std::vector<Item> m_items;
    std::vector<std::string> m_madeDirs; // in the order made
    bool m_finished = false;
};

// For the stage of a process that ended without finishing (a kill, a crash): undoes the
// moves its journal notes, unless the journal says the whole set was placed, so that the
// folders hold the old set again (or keep the new one). The stage itself is removed by
// removeLeftovers afterwards.
void recoverStage(const std::string& stage);

} // namespace vxdl

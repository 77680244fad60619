#include "Place.h"

#include <atomic>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

namespace vxdl {

namespace {

std::atomic<unsigned> g_keepCounter{0};

std::filesystem::path fsPath(const std::string& utf8) {
    return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

bool exists(const std::string& path) {
    std::error_code ec;
    return std::filesystem::symlink_status(fsPath(path), ec).type() != std::filesystem::file_type::not_found &&
           !ec;
}

void removeEmptyFolder(const std::string& path) {
    std::error_code ec;
    std::filesystem::remove(fsPath(path), ec); // only when empty again
}

} // namespace

Placement::Placement(std::string keepFolder, std::string journal)
    : m_keepFolder(std::move(keepFolder)), m_journal(std::move(journal)) {}

// Each line reaches the system before the step it announces, which is all a kill needs; the
// lines of a placement's plan are flushed to the disk before its first move (place), and the
// confirmation after its last one (finish), which is what a power cut needs.
Status Placement::note(const std::string& line) {
    crashPoint();
    std::ofstream out(fsPath(m_journal), std::ios::binary | std::ios::app);
    out << line << '\n';
    out.flush();
    if (!out)
        return Error{"无法写入 " + m_journal};
    return {};
}

Placement::~Placement() {
    if (!m_finished)
        (void)rollback();
}

void Placement::add(std::string source, std::string target) {
    Item item;
    item.source = std::move(source);
    item.target = std::move(target);
    m_items.push_back(std::move(item));
}

void Placement::addBelow(std::string source, const std::string& root, std::vector<std::string> parts) {
    Item item;
    item.source = std::move(source);
    item.root = root;
    item.target = root;
    for (const auto& p : parts)
        item.target += "/" + p;
    parts.pop_back();
    item.dirs = std::move(parts);
    m_items.push_back(std::move(item));
}

void Placement::addFolder(const std::string& root, std::vector<std::string> parts) {
    Item item;
    item.root = root;
    item.dirs = std::move(parts);
    item.folderOnly = true;
    m_items.push_back(std::move(item));
}

Status Placement::makeFolders(const Item& item) {
    if (item.root.empty() || item.dirs.empty())
        return {};
    // Which of them are new, so that an undo can take exactly those away again (the plan
    // has noted them already).
    std::vector<std::string> paths; // each folder on the way, the item's own last
    std::string path = item.root;
    for (const auto& d : item.dirs)
        paths.push_back(path += "/" + d);
    crashPoint();
    // The files of one folder share its check: the first of them made (or checked) it.
    if (m_readyDirs.count(paths.back()))
        return {};
    std::vector<std::string> missing;
    for (const auto& p : paths)
        if (!m_readyDirs.count(p) && !exists(p))
            missing.push_back(p);
    Status s = makeDirsBelow(item.root, item.dirs);
    for (const auto& m : missing)
        if (exists(m))
            m_madeDirs.push_back(m);
    if (s)
        m_readyDirs.insert(paths.begin(), paths.end());
    return s;
}

Status Placement::place(const std::function<bool()>& stop) {
    m_finished = false;
    // The journal first: without it nothing may move.
    if (Status s = note("B"); !s) {
        m_finished = true;
        return s;
    }
    auto undo = [this](Status why) -> Status {
        if (Status u = rollback(); !u)
            return Error{why.error().empty() ? u.error() : why.error() + "；" + u.error()};
        return why;
    };
    // The whole plan is noted before anything moves: every folder to be made, then every
    // move with the file it places. A recovery undoes a noted move only where it finds the
    // move taken (the kept old file, or the placed file's own identity at the target), so
    // moves noted but never taken cost nothing.
    // The plan goes into the journal in one write: a kill that cuts it leaves a cut last line,
    // which no recovery reads, and no step of the plan has been taken yet.
    std::string plan;
    std::set<std::string> looked; // each folder is looked at once
    for (const Item& item : m_items) {
        if (item.root.empty())
            continue;
        std::string path = item.root;
        for (const auto& d : item.dirs) {
            path += "/" + d;
            if (looked.insert(path).second && !exists(path))
                plan += "D\t" + path + "\n";
        }
    }
    std::vector<std::string> flush{m_journal};
    for (Item& item : m_items) {
        if (item.folderOnly)
            continue;
        item.backup = m_keepFolder + "/" + std::to_string(g_keepCounter++);
        item.identity = fileIdentity(item.source);
        plan += "M\t" + item.source + "\t" + item.target + "\t" + item.backup + "\t" + item.identity + "\n";
        if (m_flushSources)
            flush.push_back(item.source);
    }
    if (!plan.empty()) {
        plan.pop_back(); // note() ends the last line
        if (Status s = note(plan); !s)
            return undo(s);
    }
    // The plan, and the new files when they were written without a flush of their own, reach
    // the disk together before the first move: after a power cut no target can hold a file
    // whose content is not there, and the next cleaning knows every move that may have been
    // taken.
    crashPoint();
    if (Status s = flushTogether(flush); !s)
        return undo(s);
    // Every folder first: a linked folder refuses the set before any file has moved.
    for (const Item& item : m_items)
        if (Status s = makeFolders(item); !s)
            return undo(s);
    for (Item& item : m_items) {
        if (item.folderOnly)
            continue;
        if (stop && stop())
            return undo(Error{""});
        crashPoint();
        if (Status s = moveKeepingOld(item.source, item.target, item.backup, item.hadOld); !s)
            return undo(s);
        item.moved = true;
    }
    return {};
}

Status Placement::rollback() {
    Status result;
    std::set<std::string> flush;
    for (auto it = m_items.rbegin(); it != m_items.rend(); ++it) {
        if (!it->moved)
            continue;
        flush.insert(parentOf(it->target));
        crashPoint();
        if (it->hadOld) {
            if (Status s = moveBack(it->backup, it->target); !s && result)
                result = Error{s.error() + "（旧文件保留在 " + it->backup + "）"};
        } else if (fileIdentity(it->target) == it->identity && !removeFile(it->target) && result) {
            result = Error{"无法删除文件 " + it->target + ": " + lastSystemError()};
        }
        it->moved = false;
    }
    for (auto it = m_madeDirs.rbegin(); it != m_madeDirs.rend(); ++it) {
        crashPoint();
        removeEmptyFolder(*it);
        flush.insert(parentOf(*it));
    }
    m_madeDirs.clear();
    m_readyDirs.clear();
    for (const auto& dir : flush)
        syncFolder(dir);
    m_finished = true;
    m_undoFailed = m_undoFailed || !result;
    return result;
}

void Placement::finish() {
    // The moves reach the disk before the confirmation does: a power cut before it leaves a
    // set that the next cleaning undoes, one after it a set whose every file is new. The
    // kept old files' folder goes with them, so that an undo always finds what it puts back.
    std::set<std::string> folders{m_keepFolder};
    for (const Item& item : m_items)
        if (item.moved)
            folders.insert(parentOf(item.target));
    for (const auto& dir : m_madeDirs)
        folders.insert(parentOf(dir));
    crashPoint();
    (void)flushTogether(std::vector<std::string>(folders.begin(), folders.end()));
    (void)note("C");
    (void)flushTogether({m_journal});
    m_finished = true;
}

Status recoverStage(const std::string& stage) {
    std::ifstream in(fsPath(stage + "/journal"), std::ios::binary);
    if (!in)
        return {}; // retired, or never begun: nothing was moved
    struct Step {
        char kind;
        std::vector<std::string> fields;
    };
    std::vector<Step> steps;
    std::set<std::string> undone; // put back by the process itself (journals of old versions)
    bool committed = false;
    for (std::string line; std::getline(in, line);) {
        if (line == "C") {
            committed = true;
            continue;
        }
        if (line.size() < 2 || line[1] != '\t')
            continue; // a line cut by the kill: its step was never taken
        Step step{line[0], {}};
        std::stringstream fields(line.substr(2));
        for (std::string f; std::getline(fields, f, '\t');)
            step.fields.push_back(f);
        if (step.kind == 'U' && step.fields.size() == 1)
            undone.insert(step.fields[0]);
        else
            steps.push_back(std::move(step));
    }
    in.close();
    if (committed)
        return {}; // the new set stays; its kept old files go with the stage
    for (auto it = steps.rbegin(); it != steps.rend(); ++it) {
        if (it->kind == 'M' && it->fields.size() >= 3) {
            const std::string &source = it->fields[0], &target = it->fields[1], &backup = it->fields[2];
            if (exists(backup)) {
                crashPoint();
                if (Status s = moveBack(backup, target); !s)
                    return s;
            } else if (it->fields.size() >= 4) {
                // The file this call placed, and only that one: an old file that an undo
                // already put back is another file.
                if (!it->fields[3].empty() && fileIdentity(target) == it->fields[3]) {
                    crashPoint();
                    if (!removeFile(target))
                        return Error{"无法删除文件 " + target + ": " + lastSystemError()};
                }
            } else if (!undone.count(target) && !exists(source)) {
                crashPoint();
                removeFile(target); // a journal of an old version: new, with no old file
            }
        } else if (it->kind == 'D' && it->fields.size() == 1) {
            crashPoint();
            removeEmptyFolder(it->fields[0]);
        }
    }
    return {};
}

bool retireStage(const std::string& stage, StageLock& lock) {
    if (exists(stage + "/journal")) {
        crashPoint();
        std::error_code ec;
        std::filesystem::rename(fsPath(stage + "/journal"), fsPath(stage + "/journal.retired"), ec);
        if (ec)
            return false;
    }
    // Windows cannot remove a file that is open; a cleaning that takes the lock now finds
    // the journal retired and only removes.
    lock.release();
    crashPoint();
    const bool gone = removeTree(stage);
    syncFolder(parentOf(stage));
    return gone;
}

} // namespace vxdl

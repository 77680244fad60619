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

std::string fileNameOf(const std::string& path) {
    auto pos = path.find_last_of("/\\");
    return pos == std::string::npos ? path : path.substr(pos + 1);
}

} // namespace

Placement::Placement(std::string keepFolder, std::string journal)
    : m_keepFolder(std::move(keepFolder)), m_journal(std::move(journal)) {}

// Each line reaches the system before the step it announces, which is all a kill needs (a
// power cut is covered per file, not per set: see docs/downloader.md).
void Placement::note(const std::string& line) {
    if (m_journal.empty())
        return;
    std::ofstream out(fsPath(m_journal), std::ios::binary | std::ios::app);
    out << line << '\n';
    out.flush();
}

Placement::~Placement() {
    if (!m_finished)
        rollback();
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
    // Which of them are new, so that an undo can take exactly those away again.
    std::vector<std::string> missing;
    std::string path = item.root;
    for (const auto& d : item.dirs) {
        path += "/" + d;
        if (!exists(path)) {
            missing.push_back(path);
            note("D\t" + path);
        }
    }
    Status s = makeDirsBelow(item.root, item.dirs);
    for (const auto& m : missing)
        if (exists(m))
            m_madeDirs.push_back(m);
    return s;
}

Status Placement::place(const std::function<bool()>& stop) {
    m_finished = false;
    // Every folder first: a linked folder refuses the set before any file has moved.
    for (const Item& item : m_items) {
        if (Status s = makeFolders(item); !s) {
            rollback();
            return s;
        }
    }
    for (Item& item : m_items) {
        if (item.folderOnly)
            continue;
        if (stop && stop()) {
            rollback();
            return Error{""};
        }
        item.backup = m_keepFolder.empty()
                          ? parentOf(item.target) + "/." + fileNameOf(item.target) + ".vxold-" +
                                std::to_string(processId()) + "-" + std::to_string(g_keepCounter++)
                          : m_keepFolder + "/" + std::to_string(g_keepCounter++);
        note("M\t" + item.source + "\t" + item.target + "\t" + item.backup);
        if (Status s = moveKeepingOld(item.source, item.target, item.backup, item.hadOld); !s) {
            rollback();
            return s;
        }
        item.moved = true;
    }
    return {};
}

void Placement::rollback() {
    std::set<std::string> flush;
    for (auto it = m_items.rbegin(); it != m_items.rend(); ++it) {
        if (!it->moved)
            continue;
        flush.insert(parentOf(it->target));
        if (it->hadOld)
            moveBack(it->backup, it->target);
        else
            removeFile(it->target);
        it->moved = false;
        note("U\t" + it->target);
    }
    for (auto it = m_madeDirs.rbegin(); it != m_madeDirs.rend(); ++it) {
        std::error_code ec;
        std::filesystem::remove(fsPath(*it), ec); // only when empty again
        flush.insert(parentOf(*it));
    }
    m_madeDirs.clear();
    for (const auto& dir : flush)
        syncFolder(dir);
    m_finished = true;
}

void Placement::finish() {
    note("C");
    std::set<std::string> flush;
    for (const Item& item : m_items) {
        if (item.moved && item.hadOld)
            removeFile(item.backup);
        if (item.moved)
            flush.insert(parentOf(item.target));
    }
    for (const auto& dir : m_madeDirs)
        flush.insert(parentOf(dir));
    for (const auto& dir : flush)
        syncFolder(dir);
    m_finished = true;
}

void recoverStage(const std::string& stage) {
    std::ifstream in(fsPath(stage + "/journal"), std::ios::binary);
    if (!in)
        return;
    struct Step {
        char kind;
        std::vector<std::string> fields;
    };
    std::vector<Step> steps;
    std::set<std::string> undone; // put back already by the process itself
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
    for (auto it = steps.rbegin(); it != steps.rend(); ++it) {
        if (it->kind == 'M' && it->fields.size() == 3) {
            const std::string &source = it->fields[0], &target = it->fields[1], &backup = it->fields[2];
            if (undone.count(target)) {
                continue;
            } else if (committed) {
                removeFile(backup); // the new set stays
            } else if (exists(backup)) {
                moveBack(backup, target);
            } else if (!exists(source)) {
                removeFile(target); // new, with no old file before it
            }
        } else if (it->kind == 'D' && it->fields.size() == 1 && !committed) {
            std::error_code ec;
            std::filesystem::remove(fsPath(it->fields[0]), ec); // only when empty again
        }
    }
}

} // namespace vxdl

#include "api/Queue.h"

#include <algorithm>

#include <pugixml.hpp>

#include "core/Text.h"
#include "core/Xml.h"
#include "platform/Platform.h"

namespace vx {

namespace {

std::optional<QueuedKind> kindNamed(std::string_view name) {
    if (name == "install")
        return QueuedKind::Install;
    if (name == "update")
        return QueuedKind::Update;
    if (name == "repair")
        return QueuedKind::Repair;
    return std::nullopt;
}

std::optional<QueuedApp> readEntry(const pugi::xml_node& e) {
    QueuedApp app;
    const auto kind = kindNamed(e.attribute("kind").value());
    if (!kind || !parseInt32(e.attribute("id").value(), app.id) || app.id == 0)
        return std::nullopt;
    app.kind = *kind;
    for (pugi::xml_node p : e.children("partial"))
        if (const std::string path = p.attribute("path").value(); !path.empty())
            app.partials.push_back(path);
    return app;
}

void writeEntry(pugi::xml_node parent, const char* name, const QueuedApp& app) {
    pugi::xml_node e = parent.append_child(name);
    e.append_attribute("id") = std::to_string(app.id).c_str();
    e.append_attribute("kind") = queuedKindName(app.kind);
    for (const auto& p : app.partials)
        e.append_child("partial").append_attribute("path") = p.c_str();
}

template <typename List>
auto findIn(List& list, int32_t id) {
    return std::find_if(list.begin(), list.end(), [id](const QueuedApp& a) { return a.id == id; });
}

} // namespace

const char* queuedKindName(QueuedKind kind) {
    switch (kind) {
    case QueuedKind::Update: return "update";
    case QueuedKind::Repair: return "repair";
    default: return "install";
    }
}

DownloadQueue::DownloadQueue(std::string file) : m_file(std::move(file)) {}

const DownloadQueue::Lists& DownloadQueue::lists() const {
    static const Lists none;
    auto it = m_users.find(m_uid);
    return it == m_users.end() ? none : it->second;
}

void DownloadQueue::load() {
    m_users.clear();
    pugi::xml_document doc;
    if (m_file.empty() || !platform::fileExists(m_file) || !xml::load(doc, m_file))
        return;
    for (pugi::xml_node user : doc.document_element().children("user")) {
        const std::string uid = user.attribute("uid").value();
        if (uid.empty())
            continue;
        Lists& l = m_users[uid];
        std::vector<int32_t> seen;
        auto fresh = [&](const QueuedApp& a) {
            if (std::find(seen.begin(), seen.end(), a.id) != seen.end())
                return false;
            seen.push_back(a.id);
            return true;
        };
        for (pugi::xml_node e : user.children()) {
            auto app = readEntry(e);
            if (!app || !fresh(*app))
                continue;
            const std::string_view name = e.name();
            if (name == "active" && !l.active)
                l.active = std::move(*app);
            else if (name == "app")
                l.waiting.push_back(std::move(*app));
            else if (name == "paused")
                l.paused.push_back(std::move(*app));
        }
    }
}

void DownloadQueue::save() {
    if (m_file.empty())
        return;
    pugi::xml_document doc;
    pugi::xml_node root = doc.append_child("queue");
    for (const auto& [uid, l] : m_users) {
        if (!l.active && l.waiting.empty() && l.paused.empty())
            continue;
        pugi::xml_node user = root.append_child("user");
        user.append_attribute("uid") = uid.c_str();
        if (l.active)
            writeEntry(user, "active", *l.active);
        for (const auto& a : l.waiting)
            writeEntry(user, "app", a);
        for (const auto& a : l.paused)
            writeEntry(user, "paused", a);
    }
    m_saved = static_cast<bool>(platform::writeFileAtomic(m_file, xml::serialize(doc), true));
}

DownloadQueue::Place DownloadQueue::placeOf(int32_t id) const {
    const Lists& l = lists();
    if (l.active && l.active->id == id)
        return Place::Active;
    if (findIn(l.waiting, id) != l.waiting.end())
        return Place::Waiting;
    if (findIn(l.paused, id) != l.paused.end())
        return Place::Paused;
    return Place::None;
}

std::optional<QueuedApp> DownloadQueue::find(int32_t id) const {
    const Lists& l = lists();
    if (l.active && l.active->id == id)
        return l.active;
    if (auto it = findIn(l.waiting, id); it != l.waiting.end())
        return *it;
    if (auto it = findIn(l.paused, id); it != l.paused.end())
        return *it;
    return std::nullopt;
}

std::string DownloadQueue::text() const {
    std::string out;
    for (const auto& a : lists().waiting)
        out += (out.empty() ? "" : ",") + std::to_string(a.id);
    return out;
}

void DownloadQueue::enqueue(QueuedApp app, bool atHead) {
    if (placeOf(app.id) != Place::None)
        return;
    Lists& l = lists();
    l.waiting.insert(atHead ? l.waiting.begin() : l.waiting.end(), std::move(app));
    save();
}

std::optional<QueuedApp> DownloadQueue::begin() {
    Lists& l = lists();
    if (l.active) {
        if (l.running)
            return std::nullopt;
        l.running = true;
        return l.active;
    }
    if (l.waiting.empty())
        return std::nullopt;
    l.active = std::move(l.waiting.front());
    l.waiting.erase(l.waiting.begin());
    l.running = true;
    save();
    return l.active;
}

void DownloadQueue::adopt(QueuedApp app) {
    Lists& l = lists();
    if (l.active || placeOf(app.id) != Place::None)
        return;
    l.active = std::move(app);
    l.running = true;
    save();
}

void DownloadQueue::finish(const std::string& uid) {
    Lists& l = m_users[uid];
    l.active.reset();
    l.running = false;
    save();
}

void DownloadQueue::pauseActive(const std::string& uid, std::vector<std::string> partials) {
    Lists& l = m_users[uid];
    if (!l.active)
        return;
    l.active->partials = std::move(partials);
    l.paused.push_back(std::move(*l.active));
    l.active.reset();
    l.running = false;
    save();
}

void DownloadQueue::requeueActive(const std::string& uid) {
    Lists& l = m_users[uid];
    if (!l.active)
        return;
    l.waiting.insert(l.waiting.begin(), std::move(*l.active));
    l.active.reset();
    l.running = false;
    save();
}

bool DownloadQueue::pause(int32_t id) {
    Lists& l = lists();
    auto it = findIn(l.waiting, id);
    if (it == l.waiting.end())
        return false;
    l.paused.push_back(std::move(*it));
    l.waiting.erase(it);
    save();
    return true;
}

bool DownloadQueue::resume(int32_t id) {
    Lists& l = lists();
    auto it = findIn(l.paused, id);
    if (it == l.paused.end())
        return false;
    QueuedApp app = std::move(*it);
    l.paused.erase(it);
    l.waiting.insert(l.waiting.begin(), std::move(app));
    save();
    return true;
}

std::optional<QueuedApp> DownloadQueue::remove(int32_t id) {
    Lists& l = lists();
    std::optional<QueuedApp> out;
    if (auto it = findIn(l.waiting, id); it != l.waiting.end()) {
        out = std::move(*it);
        l.waiting.erase(it);
    } else if (auto p = findIn(l.paused, id); p != l.paused.end()) {
        out = std::move(*p);
        l.paused.erase(p);
    }
    if (out)
        save();
    return out;
}

bool DownloadQueue::move(int32_t id, int position) {
    Lists& l = lists();
    auto it = findIn(l.waiting, id);
    if (it == l.waiting.end())
        return false;
    QueuedApp app = std::move(*it);
    l.waiting.erase(it);
    const std::size_t at =
        std::min<std::size_t>(static_cast<std::size_t>(std::max(position, 0)), l.waiting.size());
    l.waiting.insert(l.waiting.begin() + static_cast<std::ptrdiff_t>(at), std::move(app));
    save();
    return true;
}

} // namespace vx

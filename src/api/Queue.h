#pragma once
// The download queue of each user of the machine: the applications waiting for an
// operation, in order; the one that has begun and not ended (after a kill it is the first to
// go on); and those paused. The whole of it lives in one owner-only file, replaced
// atomically on every change, so that a restart or a kill finds it as it stood.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace vx {

enum class QueuedKind { Install, Update, Repair };

struct QueuedApp {
    int32_t id = 0;
    QueuedKind kind = QueuedKind::Install;
    // The targets of the download a pause kept partial files of (ANSI, as the downloader
    // takes them): what removing the entry discards.
    std::vector<std::string> partials;
};

class DownloadQueue {
public:
    // `file`: where the queue is kept (Config/Queue.xml); empty keeps it in memory only.
    explicit DownloadQueue(std::string file = {});

    // Reads the file; a missing or damaged one is an empty queue.
    void load();
    // The user whose queue the calls below without a `uid` are about.
    void setUser(const std::string& uid) { m_uid = uid; }
    const std::string& user() const { return m_uid; }

    enum class Place { None, Waiting, Active, Paused };
    Place placeOf(int32_t id) const;
    const std::vector<QueuedApp>& waiting() const { return lists().waiting; }
    const std::vector<QueuedApp>& paused() const { return lists().paused; }
    std::optional<QueuedApp> active() const { return lists().active; }
    std::optional<QueuedApp> find(int32_t id) const;
    // The waiting ids in order, comma-separated.
    std::string text() const;

    // Appends (or, `atHead`, puts first) an entry that is in none of the lists.
    void enqueue(QueuedApp app, bool atHead = false);
    // The entry to begin next: the active one left by a kill, else the head of the waiting
    // list, which becomes the active one. Nothing while another is active and running.
    std::optional<QueuedApp> begin();
    // An operation begun outside the queue becomes the current user's running entry (when
    // none is active).
    void adopt(QueuedApp app);
    // The active entry of `uid` ended (done, failed or cancelled): it leaves the queue.
    void finish(const std::string& uid);
    // The active entry of `uid` was paused (with the targets whose partial files were kept).
    void pauseActive(const std::string& uid, std::vector<std::string> partials);
    // The active entry of `uid` was stopped to be continued later: back to the head.
    void requeueActive(const std::string& uid);
    // A waiting entry to the paused ones.
    bool pause(int32_t id);
    // A paused entry to the head of the waiting list.
    bool resume(int32_t id);
    // A waiting or paused entry out of the queue; the removed entry.
    std::optional<QueuedApp> remove(int32_t id);
    // A waiting entry to `position` (0: next), clamped to the list.
    bool move(int32_t id, int position);
    // Whether the current user has anything waiting or begun.
    bool pending() const { return lists().active.has_value() || !lists().waiting.empty(); }

    // Whether the last change reached the file.
    bool saved() const { return m_saved; }

private:
    struct Lists {
        std::optional<QueuedApp> active;
        bool running = false; // begun in this process (not merely left by a kill)
        std::vector<QueuedApp> waiting, paused;
    };
    const Lists& lists() const;
    Lists& lists() { return m_users[m_uid]; }
    void save();

    std::string m_file;
    std::string m_uid;
    std::map<std::string, Lists> m_users;
    bool m_saved = true;
};

const char* queuedKindName(QueuedKind kind);

} // namespace vx

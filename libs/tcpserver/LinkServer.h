#pragma once
// The running link server: one Asio io_context on one thread of its own. Everything below the
// public methods runs on that thread, so connections and the routing table carry no locks.

#include "TCPServer.h"

#include <asio.hpp>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace tcpserver {

struct Limits {
    int registrationTimeoutMs;
    int maxConnections;
    std::size_t maxQueuedBytes;
};

// The limits for connections accepted from now on (set by the test/tuning entry).
Limits currentLimits();
// The user id last given to SetUid, if any.
std::optional<std::string> currentUid();

class LinkServer;
// The server whose thread the caller is, or null.
LinkServer* serverOfThisThread();

class Connection : public std::enable_shared_from_this<Connection> {
public:
    Connection(LinkServer& server, asio::ip::tcp::socket socket, const Limits& limits);
    void start();
    // Queues one framed buffer; closes the connection when its queue would exceed the limit.
    void send(std::shared_ptr<const std::string> framed);
    // Tells the connection the user id, unless it was the last one it was told: a SetUid
    // that races a registration (its OK already out, the id read just after) is told once.
    void tellUid(const std::string& uid);
    // Closes at once; reports "应用下线" for a registered connection when `notify`.
    void close(bool notify);

    bool registered() const { return m_registered; }
    std::int32_t appId() const { return m_appId; }

private:
    void read();
    void onRead(std::size_t n);
    // Handles one complete frame; false when the connection was closed.
    bool onFrame(std::string_view payload);
    void registerApp(std::string_view payload);
    void writeMore();
    void refuse(std::string_view reason);

    LinkServer& m_server;
    asio::ip::tcp::socket m_socket;
    asio::steady_timer m_deadline;
    Limits m_limits;
    std::vector<char> m_in;
    std::size_t m_have = 0;
    std::string m_text; // the frame being handed to the callback, NUL-terminated
    std::deque<std::shared_ptr<const std::string>> m_queue;
    std::vector<std::shared_ptr<const std::string>> m_inflight;
    std::size_t m_queuedBytes = 0;
    bool m_writing = false;
    bool m_closeAfterWrite = false;
    bool m_closed = false;
    bool m_registered = false;
    std::int32_t m_appId = -1;
    std::optional<std::string> m_toldUid;
};

class LinkServer {
public:
    LinkServer(TCPServerNotify notify);
    ~LinkServer();
    LinkServer(const LinkServer&) = delete;
    LinkServer& operator=(const LinkServer&) = delete;

    // Binds and listens; a TCPSERVER_* result.
    int listen(const asio::ip::address& address, std::uint16_t port);
    void startThread();
    // Stops callbacks at once and the thread soon after; join() waits for it.
    void requestStop();
    void join();
    bool onServerThread() const { return std::this_thread::get_id() == m_threadId.load(); }
    bool stopping() const { return m_silenced.load(); }

    template <typename F> void post(F&& f) { asio::post(m_io, std::forward<F>(f)); }

    // Server thread only.
    void deliver(const std::string& text);
    void addRegistered(Connection* c);
    void removed(Connection* c);
    void sendTo(std::int32_t appId, std::shared_ptr<const std::string> framed);
    void closeAll();
    // The frames held for `appId` since CloseAll closed its connections, for a connection
    // that has just registered that id again.
    std::vector<std::shared_ptr<const std::string>> takeHeld(std::int32_t appId);
    void tellUid(const std::string& uid);
    asio::io_context& io() { return m_io; }

private:
    // What was sent to an id while the connections that CloseAll closed are on their way back.
    struct Held {
        std::chrono::steady_clock::time_point until;
        std::size_t awaited = 0; // connections closed that have not registered again
        std::vector<std::shared_ptr<const std::string>> frames;
        std::size_t bytes = 0; // message text held, headers not counted
        bool full = false;     // one did not fit: the later ones are not held either
    };

    void accept();
    void onAccepted(std::error_code ec, asio::ip::tcp::socket socket);
    void stopOnThread();
    void hold(std::int32_t appId, const std::shared_ptr<const std::string>& framed);
    void dropLapsedHolds();

    asio::io_context m_io;
    asio::executor_work_guard<asio::io_context::executor_type> m_work;
    asio::ip::tcp::acceptor m_acceptor;
    asio::steady_timer m_acceptRetry;
    asio::steady_timer m_holdExpiry;
    std::thread m_thread;
    std::atomic<std::thread::id> m_threadId{};
    TCPServerNotify m_notify;
    std::atomic<bool> m_silenced{false};
    bool m_inCallback = false;
    std::unordered_map<Connection*, std::shared_ptr<Connection>> m_connections;
    std::unordered_multimap<std::int32_t, Connection*> m_byId;
    std::unordered_map<std::int32_t, Held> m_held;
};

} // namespace tcpserver

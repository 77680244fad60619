// The exported entries: argument checks, the one server instance and its lifecycle. No
// exception leaves this file.

#include "TCPServer.h"

#include "LinkProtocol.h"
#include "LinkServer.h"

#include <cstring>
#include <mutex>
#include <vector>

namespace tcpserver {

namespace {

constexpr Limits kDefaultLimits{5000, 512, 4u * 1024 * 1024};

std::mutex g_lifecycle; // serialises StartServer and DisconnectAll
std::mutex g_state;     // guards everything below; held only briefly
std::shared_ptr<LinkServer> g_server;
std::vector<std::shared_ptr<LinkServer>> g_stopped; // stopped from their own callback
std::optional<std::string> g_uid;
Limits g_limits = kDefaultLimits;

std::shared_ptr<LinkServer> running() {
    std::lock_guard lock(g_state);
    return g_server;
}

// Joins the threads of servers that were stopped from inside their own callback, except the
// caller's own.
void reapStopped() {
    std::vector<std::shared_ptr<LinkServer>> keep;
    for (auto& s : g_stopped) {
        if (s->onServerThread())
            keep.push_back(s);
        else
            s->join();
    }
    g_stopped = std::move(keep);
}

// Takes the lifecycle lock. From inside a callback, waiting could deadlock with a thread that
// holds the lock while it waits for that very callback to end; that thread is stopping the
// caller's server, so the caller gives up (an empty lock) once its server is stopping.
std::unique_lock<std::mutex> lockLifecycle() {
    LinkServer* own = serverOfThisThread();
    if (!own)
        return std::unique_lock(g_lifecycle);
    for (;;) {
        std::unique_lock lock(g_lifecycle, std::try_to_lock);
        if (lock.owns_lock() || own->stopping())
            return lock;
        std::this_thread::yield();
    }
}

std::optional<std::uint16_t> parsePort(const char* text) {
    auto v = vxlink::proto::parseInt32(text);
    if (!v || *v < 1 || *v > 65535)
        return std::nullopt;
    return static_cast<std::uint16_t>(*v);
}

// Stops whatever still runs when the library is unloaded or the process ends.
struct Unloader {
    ~Unloader() {
        try {
            std::lock_guard life(g_lifecycle);
            std::shared_ptr<LinkServer> s;
            {
                std::lock_guard lock(g_state);
                s = std::move(g_server);
            }
            if (s) {
                s->requestStop();
                s->join();
            }
            reapStopped();
        } catch (...) {
        }
    }
} g_unloader;

} // namespace

Limits currentLimits() {
    std::lock_guard lock(g_state);
    return g_limits;
}

std::optional<std::string> currentUid() {
    std::lock_guard lock(g_state);
    return g_uid;
}

} // namespace tcpserver

using namespace tcpserver;

extern "C" {

TCPSERVER_API int TCPSERVER_CALL StartServer(const char* address, const char* port,
                                             TCPServerNotify callback) {
    try {
        if (!address || !port || !callback)
            return TCPSERVER_E_ARGUMENT;
        std::error_code ec;
        auto addr = asio::ip::make_address(address, ec);
        auto portNumber = parsePort(port);
        if (ec || !portNumber)
            return TCPSERVER_E_ARGUMENT;

        auto life = lockLifecycle();
        if (!life.owns_lock())
            return TCPSERVER_E_INTERNAL;
        reapStopped();
        if (running())
            return TCPSERVER_E_ALREADY_RUNNING;
        auto server = std::make_shared<LinkServer>(callback);
        if (int rc = server->listen(addr, *portNumber); rc != TCPSERVER_OK)
            return rc;
        server->startThread();
        std::lock_guard lock(g_state);
        g_server = std::move(server);
        return TCPSERVER_OK;
    } catch (...) {
        return TCPSERVER_E_INTERNAL;
    }
}

TCPSERVER_API int TCPSERVER_CALL DisconnectAll(void) {
    try {
        auto life = lockLifecycle();
        if (!life.owns_lock())
            return TCPSERVER_E_NOT_RUNNING; // another thread is stopping this server
        reapStopped();
        std::shared_ptr<LinkServer> server;
        {
            std::lock_guard lock(g_state);
            server = std::move(g_server);
        }
        if (!server)
            return TCPSERVER_E_NOT_RUNNING;
        server->requestStop();
        if (server->onServerThread())
            g_stopped.push_back(std::move(server)); // its thread ends when the callback returns
        else
            server->join();
        return TCPSERVER_OK;
    } catch (...) {
        return TCPSERVER_E_INTERNAL;
    }
}

TCPSERVER_API int TCPSERVER_CALL CloseAll(void) {
    try {
        auto server = running();
        if (!server)
            return TCPSERVER_E_NOT_RUNNING;
        server->post([s = server.get()] { s->closeAll(); });
        return TCPSERVER_OK;
    } catch (...) {
        return TCPSERVER_E_INTERNAL;
    }
}

TCPSERVER_API int TCPSERVER_CALL SetUid(const char* uid) {
    try {
        std::string value = uid ? uid : "";
        if (value.size() > vxlink::proto::kMaxFrame / 2)
            return TCPSERVER_E_TOO_LARGE;
        std::shared_ptr<LinkServer> server;
        {
            std::lock_guard lock(g_state);
            // An empty id means no user: nothing to tell later registrations.
            if (value.empty())
                g_uid.reset();
            else
                g_uid = value;
            server = g_server;
        }
        if (server)
            server->post([s = server.get(), value] { s->tellUid(value); });
        return TCPSERVER_OK;
    } catch (...) {
        return TCPSERVER_E_INTERNAL;
    }
}

TCPSERVER_API int TCPSERVER_CALL sendToApp(const char* message) {
    try {
        if (!message)
            return TCPSERVER_E_ARGUMENT;
        std::string_view text(message);
        if (text.size() > vxlink::proto::kMaxFrame)
            return TCPSERVER_E_TOO_LARGE;
        auto target = vxlink::proto::parseTarget(text);
        if (!target)
            return TCPSERVER_E_ARGUMENT;
        auto server = running();
        if (!server)
            return TCPSERVER_E_NOT_RUNNING;
        auto framed = std::make_shared<const std::string>(vxlink::proto::frame(text));
        server->post([s = server.get(), id = *target, framed] { s->sendTo(id, framed); });
        return TCPSERVER_OK;
    } catch (...) {
        return TCPSERVER_E_INTERNAL;
    }
}

TCPSERVER_API int TCPSERVER_CALL LinkServerSetLimitsForTesting(int registrationTimeoutMs,
                                                               int maxConnections,
                                                               int maxQueuedBytes) {
    try {
        std::lock_guard lock(g_state);
        g_limits.registrationTimeoutMs = registrationTimeoutMs > 0
                                             ? registrationTimeoutMs
                                             : kDefaultLimits.registrationTimeoutMs;
        g_limits.maxConnections =
            maxConnections > 0 ? maxConnections : kDefaultLimits.maxConnections;
        g_limits.maxQueuedBytes = maxQueuedBytes > 0 ? static_cast<std::size_t>(maxQueuedBytes)
                                                     : kDefaultLimits.maxQueuedBytes;
        return TCPSERVER_OK;
    } catch (...) {
        return TCPSERVER_E_INTERNAL;
    }
}

} // extern "C"

#pragma once
// The application side of the link: what an installed application links to talk to the
// client through the link server (docs/link-protocol.md). Texts in this API are UTF-8; the
// kit converts to and from the ANSI code page at the wire.

#include "core/Expected.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace vxlink {

// One message of the client, "appID=<id>&parma=<payload>", with the payload decoded.
struct LinkMessage {
    std::int32_t appId = -1;
    std::string raw;         // the frame as received (ANSI code page)
    std::string payloadAnsi; // the FormUrlDecode of the payload (ANSI code page)
    std::string payload;     // the same in UTF-8, e.g. "UserInfo?uid=10086"
    // False when the frame is not of that form or its payload holds a malformed escape;
    // payload then holds the whole frame in UTF-8.
    bool decoded = false;

    // The command word: the payload up to its "?" ("UserInfo").
    std::string command() const;
    // The value of one argument of the payload ("uid"), key compared without regard to
    // case, decoded once more and converted to UTF-8; none when the key is absent.
    std::optional<std::string> argument(std::string_view key) const;
};

// Reads a frame of the client. Never fails: see LinkMessage::decoded.
LinkMessage parseLinkMessage(std::string_view rawAnsi);

struct LinkClientOptions {
    std::string host = "127.0.0.1";
    std::uint16_t port = 8885;
    std::int32_t appId = 0;
    // Connect again after the connection is lost (the client's CloseAll, a restart).
    bool reconnect = true;
    std::chrono::milliseconds firstRetryDelay{100};
    std::chrono::milliseconds maxRetryDelay{2000};
    // Requests kept while not registered; send() fails beyond that.
    std::size_t maxPending = 1024;
    // How long the program on the port may take to take a new connection off its queue (the
    // link server does so at once, unless the client is busy). Until it has, its owner cannot
    // be told and the kit sends nothing; after that the connection is refused as one of an
    // unknown owner.
    std::chrono::milliseconds acceptWait{5000};
};

// A connection to the link server registered as one application id. A background thread
// connects, registers, reads and reconnects; every method may be called from any thread.
//
// When a user logs in, the client calls CloseAll, tells the new user id and sends its
// commands for the applications. What the application sees: its connection closes, the kit
// reconnects by itself (registrations() grows by one), the server answers OK and the new
// user's id (uid()), then the messages sent to this id since the CloseAll, in order, come out
// of receive(). The server holds them for 10 seconds after the CloseAll, up to 64 messages
// and 256 KiB; what comes later than that, or does not fit, is lost.
//
// The port is open to every user of the machine: another user's program may hold it before
// the client starts or while it restarts, and would receive the application's requests (login
// data among them) and could tell it any user id. So after each connect, before it sends a
// byte or reads one, the kit asks the system who holds the server's end of the connection
// (Linux: the kernel's socket table; Windows: the connection table and the owning process's
// token). Unless it is this user, the connection is refused: closed with nothing sent and
// nothing believed, refusals() grows, lastError() names the port and the user (or why the
// owner cannot be told), and the kit tries again only after maxRetryDelay (or, without
// reconnect, stops), so that it finds the real client once that holds the port again.
class LinkClient {
public:
    explicit LinkClient(LinkClientOptions options);
    ~LinkClient(); // close()
    LinkClient(const LinkClient&) = delete;
    LinkClient& operator=(const LinkClient&) = delete;

    // Starts connecting in the background (once).
    void start();
    // Waits until registered; the error says why not (refused, timed out, closed). Returns
    // early, with the error, when a connection is refused during the wait because another
    // user's program holds the port (or its owner cannot be told).
    vx::Status waitRegistered(std::chrono::milliseconds timeout);
    bool registered() const;
    // Registrations so far, the first one included: it grows by one on every reconnect.
    std::uint64_t registrations() const;
    // Connections refused so far because the program on the port is not this user's (or its
    // owner cannot be told); lastError() says whose it is.
    std::uint64_t refusals() const;

    // Queues a request (UTF-8, converted to the ANSI code page) for the client. Requests
    // made while not registered are sent once registered. Fails for a text above 64 KiB,
    // one holding a NUL, a full queue, or after close(). A request whose write was under way
    // when the connection broke is not sent again (a request is delivered at most once).
    vx::Status send(std::string_view utf8);
    vx::Status sendAnsi(std::string_view ansi);
    // Waits until every queued request has been handed to the connection.
    vx::Status flush(std::chrono::milliseconds timeout);

    // The next message addressed to this application, in order of arrival; none when the
    // timeout passes or the client is closed (or has stopped for good) with nothing left.
    std::optional<LinkMessage> receive(std::chrono::milliseconds timeout);

    // The logged-in user's id as last told by the server (UTF-8); none before.
    std::optional<std::string> uid() const;
    // The last connection or protocol error, for messages to a person.
    std::string lastError() const;

    // Disconnects and stops the background thread. Pending requests are dropped.
    void close();

private:
    class Impl;
    std::unique_ptr<Impl> m_impl;
};

} // namespace vxlink

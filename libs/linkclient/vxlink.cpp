// vxlink: talks to the client through the link server as one application, for application
// developers and for tests.

#include "LinkClient.h"
#include "ToolConsole.h"
#include "core/Text.h"
#include "tcpserver/LinkProtocol.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr const char* kUsage =
    "usage: vxlink --app ID [options] MESSAGE...\n"
    "       vxlink --app ID --listen [options]\n"
    "\n"
    "Connects to the client's link server as application ID, sends each MESSAGE (UTF-8) as\n"
    "one request and prints the replies, decoded, in UTF-8, one per line.\n"
    "\n"
    "options:\n"
    "  --app ID        application id to register as (required, 0 or more)\n"
    "  --host HOST     link server address (default 127.0.0.1)\n"
    "  --port PORT     link server port (default 8885)\n"
    "  --count N       replies to wait for after sending (default 1; 0 sends and exits)\n"
    "  --timeout MS    how long to wait for the connection and for each reply (default 3000)\n"
    "  --listen        keep running and print every message addressed to ID, reconnecting\n"
    "                  when the link drops, until interrupted\n"
    "  --raw           print each message as received (\"appID=..&parma=..\") instead of\n"
    "                  its decoded payload\n"
    "  -h, --help      show this help\n"
    "\n"
    "example: vxlink --app 12 \"获取用户信息:MyID=12\"   prints  UserInfo?uid=10086\n"
    "\n"
    "The port is open to every user of the machine: unless the program holding it runs as\n"
    "this user, vxlink sends it nothing and says whose it is.\n"
    "\n"
    "exit status: 0 done; 1 could not connect or register (also: the port is held by another\n"
    "             user's program); 2 bad usage;\n"
    "             3 fewer replies than --count arrived in time\n";

volatile std::sig_atomic_t g_stop = 0;
extern "C" void onSignal(int) {
    g_stop = 1;
}

int usageError(const std::string& what) {
    std::fprintf(stderr, "vxlink: %s\n(try vxlink --help)\n", what.c_str());
    return 2;
}

bool parseNumber(std::string_view text, long min, long max, long& out) {
    auto v = vxlink::proto::parseInt32(text);
    if (!v || *v < min || *v > max)
        return false;
    out = *v;
    return true;
}

void print(const vxlink::LinkMessage& m, bool raw) {
    std::string line = raw ? vx::fromAnsi(m.raw) : m.payload;
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv) {
    vxlink::LinkClientOptions opts;
    bool haveApp = false, listen = false, raw = false;
    long count = 1, timeoutMs = 3000;
    std::vector<std::string> messages;

    vxlink::prepareConsole();
    const std::vector<std::string> args = vxlink::utf8Arguments(argc, argv);
    const int nArgs = static_cast<int>(args.size());
    for (int i = 0; i < nArgs; ++i) {
        std::string_view a = args[i];
        // The value after an option; null when the option ends the line.
        auto value = [&]() -> const char* { return i + 1 < nArgs ? args[++i].c_str() : nullptr; };
        long n = 0;
        if (a == "-h" || a == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (a == "--app") {
            const char* v = value();
            if (!v || !parseNumber(v, 0, 2147483647L, n))
                return usageError("--app needs an application id (a number, 0 or more)");
            opts.appId = static_cast<std::int32_t>(n);
            haveApp = true;
        } else if (a == "--host") {
            const char* v = value();
            if (!v || !*v)
                return usageError("--host needs an address");
            opts.host = v;
        } else if (a == "--port") {
            const char* v = value();
            if (!v || !parseNumber(v, 1, 65535, n))
                return usageError("--port needs a port number (1-65535)");
            opts.port = static_cast<std::uint16_t>(n);
        } else if (a == "--count") {
            const char* v = value();
            if (!v || !parseNumber(v, 0, 1000000, n))
                return usageError("--count needs a number, 0 or more");
            count = n;
        } else if (a == "--timeout") {
            const char* v = value();
            if (!v || !parseNumber(v, 1, 86400000, n))
                return usageError("--timeout needs milliseconds (1 or more)");
            timeoutMs = n;
        } else if (a == "--listen") {
            listen = true;
        } else if (a == "--raw") {
            raw = true;
        } else if (a == "--") {
            for (++i; i < nArgs; ++i)
                messages.push_back(args[i]);
        } else if (a.starts_with("-") && a.size() > 1) {
            return usageError("unknown option " + std::string(a));
        } else {
            messages.emplace_back(a);
        }
    }
    if (!haveApp)
        return usageError("--app ID is required");
    if (!listen && messages.empty())
        return usageError("nothing to send: give a MESSAGE or --listen");

    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    const auto timeout = std::chrono::milliseconds(timeoutMs);

    // A single request does not outlive a lost link; a listener rides it out.
    opts.reconnect = listen;
    // Half of the wait for the connection may go to a program that is slow to take it:
    // refused as one of an unknown owner then, with that said, rather than timed out.
    opts.acceptWait = std::max(timeout / 2, std::chrono::milliseconds(1));
    vxlink::LinkClient client(opts);
    client.start();
    if (auto st = client.waitRegistered(timeout); !st) {
        std::fprintf(stderr, "vxlink: cannot register as %d at %s:%u: %s\n", opts.appId,
                     opts.host.c_str(), static_cast<unsigned>(opts.port), st.error().c_str());
        if (!listen)
            return 1;
        std::fprintf(stderr, "vxlink: still trying\n");
    }

    for (const auto& m : messages) {
        if (auto st = client.send(m); !st) {
            std::fprintf(stderr, "vxlink: cannot send \"%s\": %s\n", m.c_str(), st.error().c_str());
            return 1;
        }
    }

    if (auto st = client.flush(timeout); !st && !listen) {
        std::fprintf(stderr, "vxlink: %s\n", st.error().c_str());
        return 1;
    }
    if (!listen) {
        long got = 0;
        while (got < count) {
            auto msg = client.receive(timeout);
            if (!msg) {
                std::string why = client.lastError();
                std::fprintf(stderr, "vxlink: %ld of %ld replies within %ld ms%s%s\n", got, count,
                             timeoutMs, why.empty() ? "" : ": ", why.c_str());
                return 3;
            }
            print(*msg, raw);
            ++got;
        }
        client.close(); // after the requests have left: close() only drops what is unsent
        return 0;
    }

    std::uint64_t seenRegistrations = 0, seenRefusals = client.refusals();
    std::optional<std::string> seenUid;
    while (!g_stop) {
        auto msg = client.receive(std::chrono::milliseconds(200));
        if (msg)
            print(*msg, raw);
        // Each refusal is said: another user's program on the port is for a person to see.
        if (auto r = client.refusals(); r != seenRefusals) {
            seenRefusals = r;
            std::fprintf(stderr, "vxlink: %s\n", client.lastError().c_str());
        }
        if (auto r = client.registrations(); r != seenRegistrations) {
            seenRegistrations = r;
            std::fprintf(stderr, "vxlink: registered as %d at %s:%u\n", opts.appId,
                         opts.host.c_str(), static_cast<unsigned>(opts.port));
        }
        if (auto u = client.uid(); u && u != seenUid) {
            seenUid = u;
            std::fprintf(stderr, "vxlink: user id %s\n", u->c_str());
        }
    }
    return 0;
}

#pragma once
// The wire format between the link server and the applications (docs/link-protocol.md).
// Header-only so that the server library and the application-side kit share one definition.
//
// Every frame is a 4-byte unsigned big-endian length followed by that many bytes of text in
// the ANSI code page. Frames whose text begins with "VXLINK/" are link control frames; every
// other frame is a message.

#include <array>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vxlink::proto {

// Largest payload of one frame, in either direction.
inline constexpr std::size_t kMaxFrame = 64 * 1024;
inline constexpr std::size_t kHeaderSize = 4;
// The protocol version this build speaks.
inline constexpr int kVersion = 1;
inline constexpr std::string_view kMagic = "VXLINK/";

// Events the server reports to its callback; GBK bytes of "应用上线" and "应用下线".
inline constexpr std::string_view kOnline = "\xD3\xA6\xD3\xC3\xC9\xCF\xCF\xDF";
inline constexpr std::string_view kOffline = "\xD3\xA6\xD3\xC3\xCF\xC2\xCF\xDF";

inline std::array<unsigned char, kHeaderSize> encodeHeader(std::size_t length) {
    auto n = static_cast<std::uint32_t>(length);
    return {static_cast<unsigned char>(n >> 24), static_cast<unsigned char>(n >> 16),
            static_cast<unsigned char>(n >> 8), static_cast<unsigned char>(n)};
}

inline std::uint32_t decodeHeader(const unsigned char* h) {
    return (std::uint32_t{h[0]} << 24) | (std::uint32_t{h[1]} << 16) | (std::uint32_t{h[2]} << 8) |
           std::uint32_t{h[3]};
}

// What the frame reader made of the bytes received so far.
struct Scan {
    std::size_t consumed = 0; // bytes of the whole frames handed over
    bool invalid = false;     // the bytes are not this protocol (noise, HTTP, TLS, oversize)
    bool stopped = false;     // the frame handler asked to stop
};

// Hands every whole frame at the start of `data` to `onFrame(std::string_view payload)`, in
// order, while it returns true. Every valid length has a zero first byte (the limit is below
// 16 MiB), so a first byte that is not zero shows at once that the peer speaks something
// else. Pure: no I/O, so the reader can be tested and fuzzed without sockets.
template <typename OnFrame> Scan scanFrames(std::string_view data, OnFrame&& onFrame) {
    Scan s;
    for (;;) {
        const std::size_t avail = data.size() - s.consumed;
        if (avail >= 1 && data[s.consumed] != 0) {
            s.invalid = true;
            return s;
        }
        if (avail < kHeaderSize)
            return s;
        const std::uint32_t len =
            decodeHeader(reinterpret_cast<const unsigned char*>(data.data() + s.consumed));
        if (len > kMaxFrame) {
            s.invalid = true;
            return s;
        }
        if (avail < kHeaderSize + len)
            return s;
        const std::string_view payload = data.substr(s.consumed + kHeaderSize, len);
        s.consumed += kHeaderSize + len;
        if (!onFrame(payload)) {
            s.stopped = true;
            return s;
        }
    }
}

// Header and payload as one buffer.
inline std::string frame(std::string_view payload) {
    auto h = encodeHeader(payload.size());
    std::string out;
    out.reserve(kHeaderSize + payload.size());
    out.append(reinterpret_cast<const char*>(h.data()), h.size());
    out.append(payload);
    return out;
}

inline bool startsWithNoCase(std::string_view s, std::string_view prefix) {
    if (s.size() < prefix.size())
        return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        char a = s[i], b = prefix[i];
        if (a >= 'A' && a <= 'Z')
            a = static_cast<char>(a + 32);
        if (b >= 'A' && b <= 'Z')
            b = static_cast<char>(b + 32);
        if (a != b)
            return false;
    }
    return true;
}

// A whole text of decimal digits (an optional leading "-") that fits 32 bits.
inline std::optional<std::int32_t> parseInt32(std::string_view s) {
    std::int32_t v = 0;
    if (s.empty() || s.front() == '+')
        return std::nullopt;
    auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (ec != std::errc() || p != s.data() + s.size())
        return std::nullopt;
    return v;
}

inline bool isControl(std::string_view payload) {
    return payload.starts_with(kMagic);
}

// Registration, the first frame of an application: "VXLINK/<version> appID=<id>", optionally
// followed by a space and further fields that this version ignores.
struct Registration {
    int version = 0;
    std::int32_t appId = 0;
};

inline std::string registrationFrame(std::int32_t appId, int version = kVersion) {
    return frame(std::string(kMagic) + std::to_string(version) + " appID=" + std::to_string(appId));
}

inline std::optional<Registration> parseRegistration(std::string_view s) {
    if (!s.starts_with(kMagic))
        return std::nullopt;
    s.remove_prefix(kMagic.size());
    std::size_t sp = s.find(' ');
    if (sp == std::string_view::npos)
        return std::nullopt;
    auto version = parseInt32(s.substr(0, sp));
    if (!version || *version < 1)
        return std::nullopt;
    s.remove_prefix(sp + 1);
    if (!startsWithNoCase(s, "appID="))
        return std::nullopt;
    s.remove_prefix(6);
    std::string_view id = s.substr(0, s.find(' '));
    auto appId = parseInt32(id);
    if (!appId || *appId < 0)
        return std::nullopt;
    return Registration{*version, *appId};
}

// The application id that a message of the client ("appID=N&parma=...") is addressed to.
inline std::optional<std::int32_t> parseTarget(std::string_view message) {
    if (!startsWithNoCase(message, "appID="))
        return std::nullopt;
    message.remove_prefix(6);
    auto id = parseInt32(message.substr(0, message.find('&')));
    if (!id || *id < 0)
        return std::nullopt;
    return id;
}

// Control frames of the server.
inline std::string okFrame(int version) {
    return frame(std::string(kMagic) + std::to_string(version) + " OK");
}
inline std::string uidFrame(std::string_view uid) {
    return frame(std::string(kMagic) + std::to_string(kVersion) + " UID " + std::string(uid));
}
inline std::string errorFrame(std::string_view reason) {
    return frame(std::string(kMagic) + std::to_string(kVersion) + " ERR " + std::string(reason));
}

// A control frame split into its word ("OK", "UID", "ERR") and the rest.
struct Control {
    int version = 0;
    std::string word;
    std::string rest;
};

inline std::optional<Control> parseControl(std::string_view s) {
    if (!s.starts_with(kMagic))
        return std::nullopt;
    s.remove_prefix(kMagic.size());
    std::size_t sp = s.find(' ');
    auto version = parseInt32(s.substr(0, sp));
    if (!version || sp == std::string_view::npos)
        return std::nullopt;
    s.remove_prefix(sp + 1);
    std::size_t sp2 = s.find(' ');
    Control c{*version, std::string(s.substr(0, sp2)), {}};
    if (sp2 != std::string_view::npos)
        c.rest = std::string(s.substr(sp2 + 1));
    return c;
}

} // namespace vxlink::proto

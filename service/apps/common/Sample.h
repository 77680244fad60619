#pragma once
// What the sample applications share: their own folder, a result file beside the program,
// and the connection to the client's link server.

#include "LinkClient.h"
#include "ToolConsole.h"
#include "platform/Platform.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace sample {

inline std::filesystem::path ownFolder() {
    std::filesystem::path exe = vx::platform::executablePath();
    return exe.empty() ? std::filesystem::current_path() : exe.parent_path();
}

// Writes `lines` to `name` beside the program, replacing the file whole (a reader never sees
// half of it), and prints them.
inline bool writeResult(const std::string& name, const std::vector<std::string>& lines) {
    std::string text;
    for (const auto& l : lines) {
        text += l + "\n";
        std::printf("%s\n", l.c_str());
    }
    std::fflush(stdout);
    const std::filesystem::path target = ownFolder() / name;
    const std::filesystem::path temp = target.string() + ".tmp";
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        out << text;
        if (!out.flush())
            return false;
    }
    std::error_code ec;
    std::filesystem::rename(temp, target, ec);
    return !ec;
}

// Connects to the link server (port from VX_LINK_PORT, else 8885) as `appId`.
inline vxlink::LinkClientOptions linkOptions(std::int32_t appId) {
    vxlink::LinkClientOptions o;
    o.appId = appId;
    if (const char* p = std::getenv("VX_LINK_PORT"); p && *p)
        o.port = static_cast<std::uint16_t>(std::atoi(p));
    return o;
}

// The program's arguments (without its own name), joined by spaces.
inline std::string joinArgs(const std::vector<std::string>& args) {
    std::string s;
    for (std::size_t i = 0; i < args.size(); ++i)
        s += (i > 0 ? " " : "") + args[i];
    return s;
}

} // namespace sample

#pragma once
// The client's side of the link messages: what running applications ask through the link
// server, and the replies. One message is handled completely per call, on the main thread.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace vx {

class ILinkServer;

// The status line text of an application that exists but could not be started (followed by
// the main file's full path).
inline constexpr std::string_view kCannotStart = "应用无法启动：";

// What message handling needs of the rest of the client.
struct LinkContext {
    ILinkServer& server;
    std::function<void(bool show)> openTimer;              // show/hide application 4
    std::function<void(const std::string& text)> showStatus; // the page's status line
    std::function<void(int32_t appID, const std::string& parma)> runApp;
};

// Handles one message of the link server (text in the ANSI code page).
void LinkNotify(const std::string& textAnsi, LinkContext& ctx);

// The outgoing message to an application: "appID=<id>&parma=" + the form-URL encoding of
// the payload's ANSI bytes.
std::string linkMessage(int32_t appId, std::string_view payloadUtf8);
// The form-URL encoding of a text's ANSI bytes (how argument values are encoded).
std::string linkEncode(std::string_view utf8);

// Starts an installed application's main file with the parameter text in its folder.
// Reports a missing application or main file, and a start that failed, in the status line.
void RunApp(int32_t appID, const std::string& parma,
            const std::function<void(const std::string&)>& showStatus);
// Starts `file` in `folder` as the desktop's interactive user where the system offers it,
// else directly. True only when the task service started it; `started`, when given, says
// whether either way started it.
bool LaunchFile(const std::string& file, const std::string& params, const std::string& folder,
                bool* started = nullptr);
// The command line that LaunchFile hands to the task service: the file name alone without
// parameters, else the file name in double quotes, a space and the parameter text.
std::string taskCommandLine(const std::string& file, const std::string& params);

} // namespace vx

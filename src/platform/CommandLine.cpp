// Command lines that both systems' code builds, so that the Windows ones are tested anywhere.

#include "platform/Platform.h"

namespace vx::platform {

std::string updateScriptCommandLine(std::string_view scriptName) {
    if (scriptName.empty())
        return {};
    for (char c : scriptName) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-';
        if (!plain)
            return {};
    }
    return "cmd.exe /d /c " + std::string(scriptName);
}

} // namespace vx::platform

// The start of an installed application, apart from the link messages so that the Windows
// cross build can run it.

#include "link/LinkNotify.h"

#include "platform/Platform.h"

namespace vx {

std::string taskCommandLine(const std::string& file, const std::string& params) {
    return params.empty() ? file : "\"" + file + "\" " + params;
}

bool LaunchFile(const std::string& file, const std::string& params, const std::string& folder,
                bool* started) {
    if (platform::osMajorVersion() >= 6) {
        if (platform::runTaskAsInteractiveUser(taskCommandLine(file, params), folder)) {
            if (started)
                *started = true;
            return true;
        }
    }
    const bool ok = platform::shellOpen(file, params, folder);
    if (started)
        *started = ok;
    return false;
}

} // namespace vx

#pragma once
// vxutil diag FILE.zip [--client DIR]: the logs, config.xml without secrets, the installed
// descriptors of the client and of every application, the queue and the platform facts of a
// user's client, for a support request. Users.xml (remembered passwords) is never taken.

#include <string>

namespace vxutil {

// The packaged client's folder of the user ($XDG_DATA_HOME/vxcenter or ~/.local/share/vxcenter).
std::string defaultClientFolder();
// 0 when the zip was written; 1 with `why` otherwise.
int diag(const std::string& zipPath, const std::string& clientFolder, std::string& why);

} // namespace vxutil

#pragma once
// The user's own client folder of a packaged client (POSIX).
//
// The client keeps its users, applications and updates in its own folder. A package installed
// by root holds a pristine client folder that its users cannot write, so the launcher gives
// each user a copy of his own, $XDG_DATA_HOME/vxcenter (default ~/.local/share/vxcenter),
// mode 0700, and starts the client there.
//
// Guarantees of prepareUserCopy:
// - The copy holds the package's program files (the executable, the two helper libraries,
//   Config/config.xml and imgs/). Config/Users.xml, apps/, Update/ and everything else in
//   the folder is never touched.
// - A copy is refreshed only when the package holds a newer client than the copy (the
//   client's own update may have made the copy newer), or when a program file is missing.
// - A refresh is all or nothing: every new file is copied into a stage inside the folder
//   first; one rename of a journal commits it; only then are the files moved into place.
//   A kill before the commit leaves the old copy; a kill after it is finished by the next
//   start, before anything runs. Two launchers of one user never refresh at once.

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/Expected.h"

// The client's executable carries its version as this text followed by the version's
// digits and dots and a NUL, so the launcher can tell versions without running anything.
#define VX_CLIENT_VERSION_MARKER_PREFIX "vxcenter-client-version:"

namespace vx::launcher {

// The version that the client executable at `path` carries (e.g. "0.1.0"); nullopt when the
// file cannot be read or carries none.
std::optional<std::string> clientVersionOf(const std::string& path);

// Compares dotted versions by their numbers ("0.10" > "0.9", "1.0" == "1"): <0, 0 or >0.
int compareVersions(std::string_view a, std::string_view b);

// The user's own client folder: $XDG_DATA_HOME/vxcenter when that is an absolute path,
// else ~/.local/share/vxcenter (the home folder from $HOME, else the user database). The
// error says why there is none.
Expected<std::string> userClientFolder();

// True when the client folder at `package` can run as it is: it belongs to this user, who
// may write it (the build's client/ folder, a prefix the user installed into himself).
bool runsInPlace(const std::string& package);

// The program files of a client folder, relative to it, in the order they are placed:
// the helper libraries, the configuration and the images before the executable.
// The error names what a package lacks.
Expected<std::vector<std::string>> programFiles(const std::string& package);

// Called before each step that changes the user's folder, numbered from 0 across one call;
// a test ends the process there to prove the guarantees above. Empty in the launcher.
using StepHook = std::function<void(int step)>;

struct Prepared {
    std::string folder;     // where the client is to run
    bool laidOut = false;   // this call copied the package's files in
    bool recovered = false; // this call finished or dropped a refresh that was cut short
};

// Brings the user's folder `folder` up to the package at `package` as described above. The
// error says what failed, with the path and the system's reason (a full disk, a file in the
// way, a folder of another user); the copy is then as it was, or left for the next start to
// finish, and must not be started.
Expected<Prepared> prepareUserCopy(const std::string& package, const std::string& folder,
                                   const StepHook& hook = {});

} // namespace vx::launcher

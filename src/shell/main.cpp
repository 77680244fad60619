// The client's executable.
#include "launcher/UserCopy.h"
#include "shell/Startup.h"

// The launcher of a packaged client reads the version from the file (launcher/UserCopy.h).
extern "C" __attribute__((used)) const char vxClientVersion[] =
    VX_CLIENT_VERSION_MARKER_PREFIX VX_CLIENT_VERSION;

int main(int argc, char** argv) { return vx::shell::runClient(argc, argv, VX_CLIENT_VERSION); }

#pragma once
// The process start of the client: shared state, the engine's settings, the single-instance
// guard and the main window.

namespace vx::shell {

// Runs the client; returns the process's exit code.
int runClient(int argc, char** argv);

} // namespace vx::shell

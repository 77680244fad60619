// The client's executable.
#include "shell/Startup.h"

int main(int argc, char** argv) { return vx::shell::runClient(argc, argv); }

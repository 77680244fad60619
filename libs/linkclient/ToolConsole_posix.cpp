#include "ToolConsole.h"

namespace vxlink {

std::vector<std::string> utf8Arguments(int argc, char** argv) {
    return std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc);
}

void prepareConsole() {}

} // namespace vxlink

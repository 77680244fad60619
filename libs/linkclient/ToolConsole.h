#pragma once
// What the vxlink tool needs of the console: its arguments in UTF-8 and a standard output
// that shows UTF-8.

#include <string>
#include <vector>

namespace vxlink {

// The program's arguments after its name, in UTF-8 (on Windows read from the wide command
// line, since argv there is in the ANSI code page).
std::vector<std::string> utf8Arguments(int argc, char** argv);

// Makes a console show the UTF-8 that the tool prints (Windows); nothing elsewhere.
void prepareConsole();

} // namespace vxlink

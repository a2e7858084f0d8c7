// The program's arguments as the system's text (UTF-8). Windows hands main() its arguments in
// the ANSI code page, which loses a file name's characters beyond it: there they come from the
// UTF-16 command line instead.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace fw {

// The arguments after the program name.
std::vector<std::string> ProgramArguments(int argc, char** argv);

// A Windows command line cut into words as the C runtime does: blanks separate words outside
// double quotes; 2n backslashes before a quote give n and the quote opens or closes quoting,
// 2n+1 give n and a literal quote; "" inside quotes is a literal quote; other backslashes are
// literal. The first word, the program, ends at the next blank or closing quote, unescaped.
std::vector<std::string> SplitWindowsCommandLine(std::string_view line);

}  // namespace fw

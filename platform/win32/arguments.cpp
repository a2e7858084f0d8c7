#include "platform/arguments.h"

#include <windows.h>

#include "platform/win32/wide.h"

namespace fw {

std::vector<std::string> ProgramArguments(int, char**) {
  std::vector<std::string> words = SplitWindowsCommandLine(Utf8(GetCommandLineW()));
  words.erase(words.begin());
  return words;
}

}  // namespace fw

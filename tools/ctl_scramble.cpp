// fenwoldctl scramble TEXT, descramble TEXT: the password scrambling of the registry.
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "config/scramble.h"
#include "platform/console.h"
#include "tools/ctl_command.h"

namespace fw {
namespace {

// TEXT, or "-" for one line of standard input (keeps a password off the command line).
bool TakeText(const char* command, const std::vector<std::string>& args, std::string& text) {
  if (args.size() != 1) {
    PrintErr("usage: fenwoldctl %s TEXT   (or - to read one line from stdin)\n", command);
    return false;
  }
  text = args[0];
  if (text == "-") {
    std::getline(std::cin, text);
    if (!text.empty() && text.back() == '\r') text.pop_back();
  }
  return true;
}

int RunScramble(const std::vector<std::string>& args) {
  std::string text;
  if (!TakeText("scramble", args, text)) return 2;
  const std::optional<std::string> scrambled = Scramble(text);
  if (!scrambled) {
    PrintErr(
        "fenwoldctl: the text holds a character that is not in the scramble alphabet, "
        "so it cannot be stored scrambled\n");
    return 1;
  }
  Print("%s\n", scrambled->c_str());
  return 0;
}

int RunDescramble(const std::vector<std::string>& args) {
  std::string text;
  if (!TakeText("descramble", args, text)) return 2;
  Print("%s\n", Descramble(text).c_str());
  return 0;
}

const TCtlCommand kScramble("scramble", "scramble TEXT|-", "scramble a password for the registry",
                            RunScramble);
const TCtlCommand kDescramble("descramble", "descramble TEXT|-",
                              "show a scrambled registry password in clear", RunDescramble);

}  // namespace
}  // namespace fw

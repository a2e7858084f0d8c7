// The Windows command line cut into words as the C runtime cuts it, so that arguments read from
// the UTF-16 command line are the ones main() would have had, with every character kept.
#include "platform/arguments.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace fw {
namespace {

using Words = std::vector<std::string>;

TEST(WindowsCommandLine, CutAsTheRuntimeCutsIt) {
  const struct {
    const char* line;
    Words words;
  } cases[] = {
      {"fenwold.exe /install", {"fenwold.exe", "/install"}},
      {"\"C:\\Program Files\\Fenwold\\fenwold.exe\"  /help\t-SILENT ",
       {"C:\\Program Files\\Fenwold\\fenwold.exe", "/help", "-SILENT"}},
      {"ctl validate \"D:\\Drop\\Zöllner 東京 🚗.csv\"",
       {"ctl", "validate", "D:\\Drop\\Zöllner 東京 🚗.csv"}},
      {"ctl a\"b c\"d", {"ctl", "ab cd"}},                         // quotes anywhere in a word
      {"ctl \"\"", {"ctl", ""}},                                   // an empty argument
      {"ctl C:\\dir\\ next", {"ctl", "C:\\dir\\", "next"}},        // backslashes before no quote
      {"ctl \"C:\\dir\\\\\" next", {"ctl", "C:\\dir\\", "next"}},  // 2n before a quote: n
      {"ctl a\\\"b", {"ctl", "a\"b"}},                             // 2n+1: n and a literal quote
      {"ctl a\\\\\\\"b", {"ctl", "a\\\"b"}},
      {"ctl \"say \"\"hi\"\"\"", {"ctl", "say \"hi\""}},  // "" inside quotes
      {"ctl \"unclosed quote", {"ctl", "unclosed quote"}},
      {"\"C:\\a b\\p.exe\"x y", {"C:\\a b\\p.exe", "x", "y"}},  // the program ends at its quote
      {"p.exe", {"p.exe"}},
  };
  for (const auto& c : cases) EXPECT_EQ(SplitWindowsCommandLine(c.line), c.words) << c.line;
}

}  // namespace
}  // namespace fw

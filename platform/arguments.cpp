#include "platform/arguments.h"

namespace fw {
namespace {

bool Blank(char c) {
  return c == ' ' || c == '\t';
}

}  // namespace

std::vector<std::string> SplitWindowsCommandLine(std::string_view line) {
  std::vector<std::string> words;
  size_t i = 0;
  // The program name: no escapes.
  std::string program;
  if (i < line.size() && line[i] == '"') {
    const size_t end = line.find('"', i + 1);
    program =
        line.substr(i + 1, end == std::string_view::npos ? std::string_view::npos : end - i - 1);
    i = end == std::string_view::npos ? line.size() : end + 1;
  } else {
    while (i < line.size() && !Blank(line[i])) program += line[i++];
  }
  words.push_back(program);
  for (;;) {
    while (i < line.size() && Blank(line[i])) ++i;
    if (i >= line.size()) break;
    std::string word;
    bool quoted = false;
    while (i < line.size() && (quoted || !Blank(line[i]))) {
      size_t backslashes = 0;
      while (i < line.size() && line[i] == '\\') ++backslashes, ++i;
      if (i < line.size() && line[i] == '"') {
        word.append(backslashes / 2, '\\');
        if (backslashes % 2 == 1) {
          word += '"';
        } else if (quoted && i + 1 < line.size() && line[i + 1] == '"') {
          word += '"';
          ++i;
        } else {
          quoted = !quoted;
        }
        ++i;
      } else {
        word.append(backslashes, '\\');
        if (backslashes == 0) word += line[i++];
      }
    }
    words.push_back(word);
  }
  return words;
}

}  // namespace fw

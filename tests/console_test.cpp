// What the programs print. Redirected, it is the UTF-8 bytes as they were given (a pipe or a
// log collector reads them); on a Windows console every name shows, whatever the console's
// code page. Under Wine a console exists only with a terminal: scripts/test-windows.sh runs
// this suite inside `script`, and the console case fails without one.
#include "platform/console.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "tests/support/temp_dir.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace fw {
namespace {

const std::string kNames = "Ёлкина Ζωή 山田 😀";

// Runs `print` with `fd` (1 or 2) sent to a file and returns what reached the file.
template <class F>
std::string Captured(int fd, F print) {
  test::TTempDir dir;
  const std::string path = dir.File("out.txt");
  std::fflush(nullptr);
  const int saved = ::dup(fd);
  const int file = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (saved < 0 || file < 0) return "(cannot redirect)";
  ::dup2(file, fd);  // on Windows also the standard handle that the console test looks at
  ::close(file);
  print();
  std::fflush(nullptr);
  ::dup2(saved, fd);
  ::close(saved);
  return test::ReadFileBytes(path);
}

std::string AsWritten(std::string text) {
#ifdef _WIN32
  // The C runtime's text mode, as redirected output always had.
  for (size_t at = 0; (at = text.find('\n', at)) != std::string::npos; at += 2)
    text.insert(at, "\r");
#endif
  return text;
}

TEST(Console, RedirectedOutputIsTheBytesAsGiven) {
  const std::string longLine = std::string(700, 'x') + " " + kNames;  // beyond Print's first buffer
  const struct {
    const char* name;
    int fd;
    void (*print)(const std::string&);
    std::string text;
    std::string expected;
  } cases[] = {
      {"names, stdout", 1, [](const std::string& t) { WriteOut(t); }, kNames + "\n", kNames + "\n"},
      {"names, stderr", 2, [](const std::string& t) { WriteErr(t); }, kNames + "\n", kNames + "\n"},
      // A name the system could not decode is passed on, not mended.
      {"invalid UTF-8", 1, [](const std::string& t) { WriteOut(t); }, "a\xff\xc3(b\n",
       "a\xff\xc3(b\n"},
      {"an embedded NUL", 1, [](const std::string& t) { WriteOut(t); }, std::string("a\0b", 3),
       std::string("a\0b", 3)},
      {"formatted, long", 1, [](const std::string& t) { Print("%s|%zu\n", t.c_str(), t.size()); },
       longLine, longLine + "|" + std::to_string(longLine.size()) + "\n"},
      {"formatted, stderr", 2, [](const std::string& t) { PrintErr("[%s] %d\n", t.c_str(), -7); },
       kNames, "[" + kNames + "] -7\n"},
  };
  for (const auto& c : cases) {
    const std::string got = Captured(c.fd, [&] { c.print(c.text); });
    EXPECT_EQ(got, AsWritten(c.expected)) << c.name;
  }
}

#ifdef _WIN32
// The characters in the console's cells, as Wine's console keeps them (one cell per UTF-16 unit).
std::wstring CellsFrom(HANDLE console, COORD at, size_t count) {
  std::wstring cells(count, L'\0');
  DWORD read = 0;
  if (!ReadConsoleOutputCharacterW(console, cells.data(), static_cast<DWORD>(count), at, &read)) {
    return L"(unreadable)";
  }
  cells.resize(read);
  return cells;
}

TEST(Console, AConsoleShowsEveryNameWhateverItsCodePage) {
  const HANDLE console = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  ASSERT_TRUE(GetConsoleMode(console, &mode)) << "standard output is no console: run in a terminal";
  const UINT before = GetConsoleOutputCP();
  ASSERT_TRUE(SetConsoleOutputCP(437));  // a code page with none of these letters
  const std::wstring expected = L"Ёлкина Ζωή 山田 \U0001F600 #3";
  for (int how = 0; how < 2; ++how) {
    std::fflush(stdout);
    CONSOLE_SCREEN_BUFFER_INFO info;
    ASSERT_TRUE(GetConsoleScreenBufferInfo(console, &info));
    if (how == 0) {
      WriteOut(kNames + " #3");
    } else {
      Print("%s #%d", kNames.c_str(), 3);
    }
    const std::wstring shown = CellsFrom(console, info.dwCursorPosition, expected.size());
    WriteOut("\n");
    EXPECT_TRUE(shown == expected) << "case " << how << ": the console shows other characters";
  }
  EXPECT_EQ(GetConsoleOutputCP(), 437u) << "the console's code page was changed";
  SetConsoleOutputCP(before);
}
#endif

}  // namespace
}  // namespace fw

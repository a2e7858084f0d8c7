#include "platform/console.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "platform/win32/wide.h"

namespace fw {
namespace {

void Write(DWORD which, std::FILE* stream, std::string_view utf8) {
  const HANDLE console = GetStdHandle(which);
  DWORD mode = 0;
  if (console == nullptr || console == INVALID_HANDLE_VALUE || !GetConsoleMode(console, &mode)) {
    std::fwrite(utf8.data(), 1, utf8.size(), stream);
    return;
  }
  // Whatever still sits in the C runtime's buffer was printed first.
  std::fflush(stream);
  const std::wstring text = Wide(utf8);
  size_t done = 0;
  while (done < text.size()) {
    // Old consoles refuse very long writes; a chunk never ends between the halves of a pair.
    DWORD chunk = static_cast<DWORD>(std::min<size_t>(text.size() - done, 8192));
    if (chunk > 1 && done + chunk < text.size() && IS_HIGH_SURROGATE(text[done + chunk - 1])) {
      --chunk;
    }
    DWORD written = 0;
    if (!WriteConsoleW(console, text.data() + done, chunk, &written, nullptr) || written == 0) {
      return;
    }
    done += written;
  }
}

}  // namespace

void WriteOut(std::string_view utf8) {
  Write(STD_OUTPUT_HANDLE, stdout, utf8);
}

void WriteErr(std::string_view utf8) {
  Write(STD_ERROR_HANDLE, stderr, utf8);
}

}  // namespace fw

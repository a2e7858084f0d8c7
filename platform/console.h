// What the programs print: UTF-8, the system's text, on standard output or standard error.
// A file or a pipe gets the UTF-8 bytes as they are (on Windows through the C runtime's
// stream, so redirected output is what it always was). A Windows console gets the text in
// UTF-16 through WriteConsoleW, so it shows every name whatever the console's code page, and
// the console's code page is never changed.
//
// Any thread may call. A call's text stays together (one write to the stream; on a console
// one WriteConsoleW per 8192 UTF-16 units, never splitting a character). Output to a stream
// is buffered as stdio buffers it; a failed write is dropped: there is nowhere left to report
// it. Invalid UTF-8 reaches a file unchanged and a console as U+FFFD.
#pragma once

#include <string_view>

// mingw's C++ stdio is its own ANSI one (%zu, %lld), not msvcrt's, so check against that.
#if defined(__MINGW32__)
#define FW_CONSOLE_FORMAT(f, a) __attribute__((format(gnu_printf, f, a)))
#elif defined(__GNUC__)
#define FW_CONSOLE_FORMAT(f, a) __attribute__((format(printf, f, a)))
#else
#define FW_CONSOLE_FORMAT(f, a)
#endif

namespace fw {

void WriteOut(std::string_view utf8);
void WriteErr(std::string_view utf8);

// printf-style, then WriteOut / WriteErr.
void Print(const char* format, ...) FW_CONSOLE_FORMAT(1, 2);
void PrintErr(const char* format, ...) FW_CONSOLE_FORMAT(1, 2);

}  // namespace fw

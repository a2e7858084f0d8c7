// The programs print UTF-8, the system's text. To a file or a pipe it goes as it is; a Windows
// console shows text in its own code page, so there the console is switched to UTF-8 while the
// program runs and given its code page back at exit.
#pragma once

namespace fw {

void UseUtf8Console();

}  // namespace fw

// UTF-8 inside, UTF-16 at the Windows edge. No ANSI code page takes part.
#pragma once

#include <string>

namespace fw {

std::wstring Widen(const std::string& utf8);
std::string Narrow(const std::wstring& utf16);

}  // namespace fw

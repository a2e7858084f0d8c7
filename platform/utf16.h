// UTF-8, the text inside the system, to and from UTF-16, the text of Windows' W functions and
// of the ODBC wide calls. Portable, so that both directions are tested on every platform.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace fw {

// Each byte that starts no valid UTF-8 character (a stray continuation byte, an overlong form,
// an encoded surrogate, a sequence cut off) becomes one U+FFFD, counted in `replaced`, as
// glibc's iconv does: nothing is dropped silently, and both platforms count alike.
std::u16string Utf8ToUtf16(std::string_view utf8, size_t* replaced = nullptr);

// A surrogate without its partner becomes U+FFFD, counted in `replaced`.
std::string Utf16ToUtf8(std::u16string_view utf16, size_t* replaced = nullptr);

}  // namespace fw

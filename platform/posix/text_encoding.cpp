#include "platform/text_encoding.h"

#include <iconv.h>

#include <algorithm>
#include <cerrno>

#include "platform/text_encoding_names.h"

namespace fw {
namespace {

// The name iconv knows for an encoding: code page numbers become glibc's names, any other name
// is handed over as written ("euc-jp", "macintosh").
std::string IconvName(const std::string& encoding) {
  const unsigned cp = CodePageOf(encoding);
  if (cp == 0) return encoding;
  if (cp == 65001) return "UTF-8";
  if (cp == 1200) return "UTF-16LE";
  if (cp == 1201) return "UTF-16BE";
  if (cp == 20127) return "ASCII";
  if (cp == 20866) return "KOI8-R";
  if (cp == 21866) return "KOI8-U";
  if (cp > 28590 && cp <= 28606) return "ISO-8859-" + std::to_string(cp - 28590);
  return "CP" + std::to_string(cp);
}

class TIconv {
 public:
  explicit TIconv(const std::string& from) : cd_(iconv_open("UTF-8", IconvName(from).c_str())) {}
  ~TIconv() {
    if (Valid()) iconv_close(cd_);
  }
  TIconv(const TIconv&) = delete;
  TIconv& operator=(const TIconv&) = delete;
  bool Valid() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
  iconv_t Get() const { return cd_; }

 private:
  iconv_t cd_;
};

}  // namespace

std::string DefaultLegacyEncoding() {
  return "windows-1252";
}

bool IsKnownEncoding(const std::string& encoding) {
  return !encoding.empty() && TIconv(encoding).Valid();
}

bool ToSystemText(std::string_view bytes, const std::string& encoding, TSystemText& out) {
  out = TSystemText();
  const TIconv cd(encoding);
  if (encoding.empty() || !cd.Valid()) return false;
  // The unit of the encoding, so that a bad UTF-16 or UTF-32 unit is skipped whole: a byte at
  // a time, the rest of the text would be read out of step.
  const size_t unit = UnitBytesOf(encoding);
  char* in = const_cast<char*>(bytes.data());
  size_t inLeft = bytes.size();
  char buffer[4096];
  while (true) {
    char* to = buffer;
    size_t toLeft = sizeof buffer;
    // A null input flushes any shift state once the text is through.
    const size_t rc = inLeft > 0 ? iconv(cd.Get(), &in, &inLeft, &to, &toLeft)
                                 : iconv(cd.Get(), nullptr, nullptr, &to, &toLeft);
    out.text.append(buffer, to);
    if (rc != static_cast<size_t>(-1)) {
      if (inLeft == 0 && to == buffer) break;
      continue;
    }
    if (errno == E2BIG) continue;
    // A byte the encoding does not define, or a sequence cut off at the end.
    const size_t skip = std::min(unit, inLeft);
    in += skip;
    inLeft -= skip;
    out.text += "\xEF\xBF\xBD";  // U+FFFD
    ++out.replaced;
    iconv(cd.Get(), nullptr, nullptr, nullptr, nullptr);
  }
  return true;
}

}  // namespace fw

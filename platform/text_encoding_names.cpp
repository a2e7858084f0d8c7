#include <cctype>
#include <string_view>

#include "platform/text_encoding_names.h"

namespace fw {
namespace {

// Up to five decimal digits; 0 for anything else.
unsigned Number(std::string_view digits) {
  if (digits.empty() || digits.size() > 5) return 0;
  unsigned n = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return 0;
    n = n * 10 + static_cast<unsigned>(c - '0');
  }
  return n;
}

}  // namespace

unsigned UnitBytesOf(const std::string& encoding) {
  const unsigned page = CodePageOf(encoding);
  if (page == 1200 || page == 1201) return 2;
  if (page == 12000 || page == 12001) return 4;
  std::string n;
  for (char c : encoding) {
    if (c != ' ' && c != '-' && c != '_') {
      n += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
  }
  for (std::string_view order : {"", "le", "be"}) {
    for (std::string_view form : {"utf16", "ucs2"}) {
      if (n == std::string(form) + std::string(order)) return 2;
    }
    for (std::string_view form : {"utf32", "ucs4"}) {
      if (n == std::string(form) + std::string(order)) return 4;
    }
  }
  return n == "unicode" || n == "unicodelittle" || n == "unicodebig" ? 2 : 1;
}

unsigned CodePageOf(const std::string& encoding) {
  std::string n;
  for (char c : encoding) {
    if (c != ' ') n += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  struct TAlias {
    const char* name;
    unsigned codePage;
  };
  static const TAlias kAliases[] = {
      {"utf-8", 65001},  {"utf8", 65001},     {"utf-16le", 1200}, {"utf-16be", 1201},
      {"ascii", 20127},  {"us-ascii", 20127}, {"latin1", 28591},  {"latin2", 28592},
      {"koi8-r", 20866}, {"koi8-u", 21866},   {"shift_jis", 932}, {"gbk", 936},
      {"big5", 950},     {"euc-kr", 949},
  };
  for (const TAlias& a : kAliases) {
    if (n == a.name) return a.codePage;
  }
  const std::string_view v(n);
  for (std::string_view prefix : {"iso-8859-", "iso8859-"}) {
    if (v.substr(0, prefix.size()) == prefix) {
      const unsigned part = Number(v.substr(prefix.size()));
      return part >= 1 && part <= 16 ? 28590 + part : 0;
    }
  }
  for (std::string_view prefix : {"windows-", "cp"}) {
    if (v.substr(0, prefix.size()) == prefix) return Number(v.substr(prefix.size()));
  }
  return Number(v);
}

}  // namespace fw

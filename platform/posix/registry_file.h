// The text format that registry exports are written in ("Windows Registry Editor Version 5.00"
// or "REGEDIT4"; UTF-8 with or without a byte-order mark, or UTF-16LE with one), read into the
// keys of HKEY_LOCAL_MACHINE. Other hives are ignored.
//
// Read as an import would apply it: a later value of the same name replaces an earlier one,
// "[-KEY]" removes a key with its subkeys, "name"=- removes a value. Naming a key makes its
// parent keys exist too. hex(N) values keep the type N names (hex(1) is a string, hex(4) a
// 32-bit number), as they would in the registry.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "platform/registry.h"
#include "platform/strings.h"

namespace fw {

// Keys by path without the hive, lower-cased, components joined by one backslash
// ("software\quorvane\kelvo"; "" is the hive's root); values by lower-cased name ("" = "@").
using TRegFileValues = std::map<std::string, TRegData>;
using TRegFileKeys = std::map<std::string, TRegFileValues>;

struct TRegFileProblem {
  int line = 0;  // the first line of the entry, from 1
  std::string reason;
};

// Never fails: each entry that cannot be understood is listed in `problems` and skipped, and
// the rest of the file counts.
TRegFileKeys ParseRegistryFile(std::string_view fileBytes, std::vector<TRegFileProblem>& problems);

// "\Software\Quorvane\Kelvo\" -> "software\quorvane\kelvo".
std::string NormalizeRegKeyPath(std::string_view path);

// UTF-16LE (an odd last byte is dropped) to UTF-8; unpaired surrogates become U+FFFD.
std::string Utf16LeToUtf8(std::string_view bytes);

}  // namespace fw

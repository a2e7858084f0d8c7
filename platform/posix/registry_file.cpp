#include "platform/posix/registry_file.h"

#include <cstdint>

#include "platform/strings.h"

namespace fw {
namespace {

constexpr std::string_view kHeader5 = "Windows Registry Editor Version 5.00";
constexpr std::string_view kHeader4 = "REGEDIT4";

// Registry type numbers as hex(N) writes them.
constexpr uint32_t kRegSz = 1, kRegExpandSz = 2, kRegBinary = 3, kRegDword = 4;

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// 1 to 8 hex digits, nothing else.
bool ParseHex32(std::string_view s, uint32_t& out) {
  if (s.empty() || s.size() > 8) return false;
  out = 0;
  for (char c : s) {
    const int d = HexDigit(c);
    if (d < 0) return false;
    out = out * 16 + static_cast<uint32_t>(d);
  }
  return true;
}

// Comma-separated bytes of one or two hex digits each; an empty list is no bytes.
bool ParseHexBytes(std::string_view s, std::string& out) {
  s = TrimmedView(s);
  if (s.empty()) return true;
  for (;;) {
    const size_t comma = s.find(',');
    const std::string_view token = TrimmedView(s.substr(0, comma));
    uint32_t v = 0;
    if (token.size() > 2 || !ParseHex32(token, v)) return false;
    out += static_cast<char>(v);
    if (comma == std::string_view::npos) return true;
    s.remove_prefix(comma + 1);
  }
}

// A quoted text starting at s[pos] == '"'; `\\` and `\"` are the escapes, any other backslash
// stands for itself. On success `pos` is past the closing quote.
bool ReadQuoted(std::string_view s, size_t& pos, std::string& out) {
  for (++pos; pos < s.size();) {
    const char c = s[pos++];
    if (c == '"') return true;
    if (c == '\\' && pos < s.size() && (s[pos] == '\\' || s[pos] == '"')) {
      out += s[pos++];
    } else {
      out += c;
    }
  }
  return false;
}

enum class THive { local, other, unknown };

THive HiveOf(std::string_view name) {
  if (SameTextNoCase(name, "HKEY_LOCAL_MACHINE") || SameTextNoCase(name, "HKLM"))
    return THive::local;
  for (std::string_view other :
       {"HKEY_CURRENT_USER", "HKEY_CLASSES_ROOT", "HKEY_USERS", "HKEY_CURRENT_CONFIG",
        "HKEY_PERFORMANCE_DATA", "HKEY_DYN_DATA", "HKCU", "HKCR", "HKU", "HKCC"}) {
    if (SameTextNoCase(name, other)) return THive::other;
  }
  return THive::unknown;
}

void AppendUtf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

class TParser {
 public:
  explicit TParser(std::vector<TRegFileProblem>& problems) : problems_(problems) {}

  TRegFileKeys Parse(std::string_view text);

 private:
  // Each returns why the entry cannot be understood, or "" when it was taken.
  std::string Entry(std::string_view line);
  std::string KeyLine(std::string_view line);
  std::string ValueLine(std::string_view line);
  std::string ValueData(std::string_view data, TRegData& out, bool& remove) const;

  enum class TCurrent { none, ignored, key };

  std::vector<TRegFileProblem>& problems_;
  TRegFileKeys keys_;
  bool unicode_ = true;  // hex(2) texts are UTF-16LE under the 5.00 header, 8-bit under REGEDIT4
  TCurrent current_ = TCurrent::none;
  std::string currentPath_;
};

TRegFileKeys TParser::Parse(std::string_view text) {
  std::vector<std::string_view> lines;
  for (size_t start = 0; start <= text.size();) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    start = end + 1;
  }

  bool headerSeen = false;
  for (size_t i = 0; i < lines.size();) {
    const int lineNo = static_cast<int>(i) + 1;
    std::string entry(TrimmedView(lines[i++]));
    if (entry.empty()) continue;
    if (entry.front() != ';') {
      while (entry.back() == '\\' && i < lines.size()) {
        entry.pop_back();
        entry += TrimmedView(lines[i++]);
        if (entry.empty()) break;
      }
    }
    if (entry.empty() || entry.front() == ';') continue;

    const bool isHeader5 = SameTextNoCase(entry, kHeader5);
    const bool isHeader4 = SameTextNoCase(entry, kHeader4);
    if (!headerSeen) {
      headerSeen = true;
      if (isHeader5 || isHeader4) {
        unicode_ = isHeader5;
        continue;
      }
      // Without a header the file still counts, read as version 5.00.
      const std::string why = Entry(entry);
      problems_.push_back({lineNo,
                           "the file does not begin with \"Windows Registry Editor "
                           "Version 5.00\" or \"REGEDIT4\"" +
                               (why.empty() ? std::string() : "; " + why)});
      continue;
    }
    if (isHeader5 || isHeader4) continue;
    std::string why = Entry(entry);
    if (!why.empty()) problems_.push_back({lineNo, std::move(why)});
  }
  return std::move(keys_);
}

std::string TParser::Entry(std::string_view line) {
  switch (line.front()) {
    case '[':
      return KeyLine(line);
    case '"':
    case '@':
      return ValueLine(line);
    default:
      return "not a key, a value or a comment";
  }
}

std::string TParser::KeyLine(std::string_view line) {
  // Whatever follows goes nowhere until a key is named properly.
  current_ = TCurrent::ignored;
  if (line.size() < 2 || line.back() != ']') return "a key line must end with \"]\"";
  std::string_view inner = line.substr(1, line.size() - 2);
  const bool remove = !inner.empty() && inner.front() == '-';
  if (remove) inner.remove_prefix(1);
  const size_t slash = inner.find('\\');
  const std::string_view hive = inner.substr(0, slash);
  const std::string_view rest =
      slash == std::string_view::npos ? std::string_view() : inner.substr(slash + 1);
  switch (HiveOf(hive)) {
    case THive::other:
      return "";
    case THive::unknown:
      return "unknown hive \"" + std::string(hive) + "\"";
    case THive::local:
      break;
  }
  const std::string path = NormalizeRegKeyPath(rest);
  if (remove) {
    for (auto it = keys_.begin(); it != keys_.end();) {
      const bool below = path.empty() || it->first == path ||
                         (it->first.size() > path.size() && it->first.starts_with(path) &&
                          it->first[path.size()] == '\\');
      it = below ? keys_.erase(it) : std::next(it);
    }
    return "";
  }
  // A key exists with all its parents, as in the registry.
  keys_[path];
  for (size_t p = path.rfind('\\'); p != std::string::npos; p = path.rfind('\\', p - 1)) {
    keys_[path.substr(0, p)];
    if (p == 0) break;
  }
  keys_[""];
  current_ = TCurrent::key;
  currentPath_ = path;
  return "";
}

std::string TParser::ValueLine(std::string_view line) {
  size_t pos = 0;
  std::string name;
  if (line.front() == '@') {
    pos = 1;
  } else if (!ReadQuoted(line, pos, name)) {
    return "the value name has no closing quote";
  }
  while (pos < line.size() && IsBlank(line[pos])) ++pos;
  if (pos >= line.size() || line[pos] != '=') return "no \"=\" after the value name";
  TRegData data;
  bool remove = false;
  std::string why = ValueData(TrimmedView(line.substr(pos + 1)), data, remove);
  if (!why.empty()) return "value \"" + name + "\": " + why;
  if (current_ == TCurrent::none) return "value \"" + name + "\" comes before any key";
  if (current_ == TCurrent::ignored) return "";
  TRegFileValues& values = keys_[currentPath_];
  if (remove) {
    values.erase(LowerAscii(name));
  } else {
    values[LowerAscii(name)] = std::move(data);
  }
  return "";
}

std::string TParser::ValueData(std::string_view data, TRegData& out, bool& remove) const {
  if (data.empty()) return "no data";
  if (data == "-") {
    remove = true;
    return "";
  }
  if (data.front() == '"') {
    size_t pos = 0;
    if (!ReadQuoted(data, pos, out.bytes)) return "the text has no closing quote";
    if (pos != data.size()) return "something follows the closing quote";
    out.type = rdString;
    return "";
  }
  if (StartsWithNoCase(data, "dword:")) {
    uint32_t v = 0;
    if (!ParseHex32(TrimmedView(data.substr(6)), v)) return "dword: needs 1 to 8 hex digits";
    for (int i = 0; i < 4; ++i) out.bytes += static_cast<char>((v >> (8 * i)) & 0xFF);
    out.type = rdInteger;
    return "";
  }
  uint32_t type = kRegBinary;
  std::string_view bytes;
  if (StartsWithNoCase(data, "hex:")) {
    bytes = data.substr(4);
  } else if (StartsWithNoCase(data, "hex(")) {
    const size_t close = data.find(')');
    if (close == std::string_view::npos || close + 1 >= data.size() || data[close + 1] != ':' ||
        !ParseHex32(data.substr(4, close - 4), type)) {
      return "hex(N): needs a hex type number in the parentheses";
    }
    bytes = data.substr(close + 2);
  } else {
    return "unknown kind of data";
  }
  if (!ParseHexBytes(bytes, out.bytes)) return "hex data must be bytes of 2 hex digits and commas";
  switch (type) {
    case kRegSz:
    case kRegExpandSz:
      if (unicode_) out.bytes = Utf16LeToUtf8(out.bytes);
      out.type = type == kRegSz ? rdString : rdExpandString;
      break;
    case kRegBinary:
      out.type = rdBinary;
      break;
    case kRegDword:
      out.type = rdInteger;
      break;
    default:
      out.type = rdUnknown;
  }
  return "";
}

}  // namespace

std::string NormalizeRegKeyPath(std::string_view path) {
  std::string out;
  while (!path.empty()) {
    const size_t slash = path.find('\\');
    const std::string_view part = path.substr(0, slash);
    if (!part.empty()) {
      if (!out.empty()) out += '\\';
      out += LowerAscii(part);
    }
    if (slash == std::string_view::npos) break;
    path.remove_prefix(slash + 1);
  }
  return out;
}

std::string Utf16LeToUtf8(std::string_view bytes) {
  const size_t n = bytes.size() / 2;
  auto unit = [&](size_t i) {
    return static_cast<uint32_t>(static_cast<uint8_t>(bytes[2 * i]) |
                                 static_cast<uint8_t>(bytes[2 * i + 1]) << 8);
  };
  std::string out;
  out.reserve(n);
  for (size_t i = 0; i < n; ++i) {
    uint32_t cp = unit(i);
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < n && unit(i + 1) >= 0xDC00 &&
        unit(i + 1) <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (unit(i + 1) - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = 0xFFFD;
    }
    AppendUtf8(out, cp);
  }
  return out;
}

TRegFileKeys ParseRegistryFile(std::string_view fileBytes, std::vector<TRegFileProblem>& problems) {
  std::string text;
  if (fileBytes.starts_with("\xFF\xFE")) {
    text = Utf16LeToUtf8(fileBytes.substr(2));
  } else if (fileBytes.starts_with("\xFE\xFF")) {
    problems.push_back({1,
                        "UTF-16 big-endian is not supported; save the file as UTF-16LE or "
                        "UTF-8. Nothing in it is read"});
    return {};
  } else if (fileBytes.starts_with("\xEF\xBB\xBF")) {
    text = fileBytes.substr(3);
  } else {
    text = fileBytes;
  }
  return TParser(problems).Parse(text);
}

}  // namespace fw

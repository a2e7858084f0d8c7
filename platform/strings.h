// ASCII letter case and blanks, the way the file formats, drivers and command lines here mean
// them: bytes above 127 are never touched, whatever the locale.
#pragma once

#include <string>
#include <string_view>

namespace fw {

inline char UpperAsciiChar(char c) {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}
inline char LowerAsciiChar(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

inline std::string UpperAscii(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = UpperAsciiChar(c);
  return out;
}

inline std::string LowerAscii(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = LowerAsciiChar(c);
  return out;
}

inline bool SameTextNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (LowerAsciiChar(a[i]) != LowerAsciiChar(b[i])) return false;
  }
  return true;
}

inline bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && SameTextNoCase(text.substr(0, prefix.size()), prefix);
}

// Without the blanks and control characters (bytes 0..32) at either end.
inline std::string TrimControl(std::string_view text) {
  size_t b = 0, e = text.size();
  while (b < e && static_cast<unsigned char>(text[b]) <= 32) ++b;
  while (e > b && static_cast<unsigned char>(text[e - 1]) <= 32) --e;
  return std::string(text.substr(b, e - b));
}

// Without the characters of `blanks` at either end.
inline std::string_view TrimmedView(std::string_view text, std::string_view blanks = " \t") {
  const size_t first = text.find_first_not_of(blanks);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}
inline std::string TrimBlanks(std::string_view text, std::string_view blanks = " \t") {
  return std::string(TrimmedView(text, blanks));
}

// Every line break (CR LF, CR or LF) made one space: a driver's text as one log line.
inline std::string OneLine(std::string_view text) {
  std::string flat;
  flat.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;  // one break
    flat += (text[i] == '\r' || text[i] == '\n') ? ' ' : text[i];
  }
  return flat;
}

}  // namespace fw

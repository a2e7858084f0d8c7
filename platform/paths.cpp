// Path-string helpers, the same on every platform but for the separators.
#include <string>

#include "platform/files.h"

namespace fw {
namespace {

size_t NameStart(const std::string& p) {
  const size_t sep = p.find_last_of(PathSeparators);
  return sep == std::string::npos ? 0 : sep + 1;
}

// Position of the extension's '.' in the name part, or npos.
size_t ExtStart(const std::string& p) {
  const size_t dot = p.rfind('.');
  return dot == std::string::npos || dot < NameStart(p) ? std::string::npos : dot;
}

}  // namespace

std::string ExtractFilePath(const std::string& p) { return p.substr(0, NameStart(p)); }

std::string ExtractFileName(const std::string& p) { return p.substr(NameStart(p)); }

std::string ChangeFileExt(const std::string& p, const std::string& ext) {
  return p.substr(0, ExtStart(p)) + ext;
}

std::string ExtractFileExt(const std::string& p) {
  const size_t dot = ExtStart(p);
  return dot == std::string::npos ? std::string() : p.substr(dot);
}

}  // namespace fw

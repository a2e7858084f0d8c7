// Registry settings of a test's own, written as a registry export. Linux: FENWOLD_REGISTRY points
// into a fresh temporary folder for the life of the object (at a missing file until Write), and
// problem reports go to stderr. Windows: Write imports the export into the registry (32-bit
// view) with the system's reg.exe, and the keys it named are deleted again.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "tests/support/temp_dir.h"

namespace fw::test {

class TTempRegistry {
 public:
  TTempRegistry();
  ~TTempRegistry();
  TTempRegistry(const TTempRegistry&) = delete;
  TTempRegistry& operator=(const TTempRegistry&) = delete;

  void Write(std::string_view bytes) const;
  // A "Windows Registry Editor Version 5.00" file, UTF-8, holding `body` after the header.
  void WriteExport(std::string_view body) const;
  const std::string& Path() const { return path_; }
  const std::string& Dir() const { return dir_.Path(); }

 private:
  TTempDir dir_;
  std::string path_;
  std::string oldRegistry_, oldJournal_;
  bool hadRegistry_ = false, hadJournal_ = false;
  mutable std::vector<std::string> importedKeys_;
};

// UTF-16LE bytes of an ASCII text, as a Windows export stores its text.
std::string Utf16Le(std::string_view ascii);

}  // namespace fw::test

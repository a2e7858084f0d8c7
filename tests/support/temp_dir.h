// A fresh folder under the system's temp folder, removed with everything in it.
#pragma once

#include <string>

#include "platform/files.h"

namespace fw::test {

class TTempDir {
 public:
  TTempDir();
  ~TTempDir();
  TTempDir(const TTempDir&) = delete;
  TTempDir& operator=(const TTempDir&) = delete;

  const std::string& Path() const { return path_; }
  // `name` may hold '/' between its parts; they become the platform's delimiter.
  std::string File(std::string name) const {
    for (char& c : name) {
      if (c == '/') c = PathDelim;
    }
    return path_ + PathDelim + name;
  }

 private:
  std::string path_;
};

// Writes bytes to a file (replacing it); false on failure.
bool WriteFileBytes(const std::string& path, const std::string& bytes);
// The whole file, or empty when it cannot be read.
std::string ReadFileBytes(const std::string& path);

}  // namespace fw::test

// A fresh folder under the system's temp folder, removed with everything in it.
#pragma once

#include <string>

namespace fw::test {

class TTempDir {
 public:
  TTempDir();
  ~TTempDir();
  TTempDir(const TTempDir&) = delete;
  TTempDir& operator=(const TTempDir&) = delete;

  const std::string& Path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Writes bytes to a file (replacing it); false on failure.
bool WriteFileBytes(const std::string& path, const std::string& bytes);
// The whole file, or empty when it cannot be read.
std::string ReadFileBytes(const std::string& path);

}  // namespace fw::test

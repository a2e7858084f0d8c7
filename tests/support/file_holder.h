// Files as other programs see them: one held open by another process, one that exists.
#pragma once

#include <string>

namespace fw::test {

// Another process that keeps a file open (for reading) until destroyed. On Windows an open
// handle of the test's own, which share modes treat the same way.
class TFileHolder {
 public:
  explicit TFileHolder(const std::string& path);
  ~TFileHolder();
  TFileHolder(const TFileHolder&) = delete;
  TFileHolder& operator=(const TFileHolder&) = delete;

 private:
  int pid_ = -1;
  int release_ = -1;  // write end of the pipe the child waits on
  void* handle_ = nullptr;  // Windows
};

bool FileExistsAt(const std::string& path);

}  // namespace fw::test

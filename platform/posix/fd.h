// TFd: owns a file descriptor and closes it when it goes out of scope.
#pragma once

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace fw {

class TFd {
 public:
  explicit TFd(int fd = -1) : fd_(fd) {}
  ~TFd() { Reset(); }
  TFd(const TFd&) = delete;
  TFd& operator=(const TFd&) = delete;
  int Get() const { return fd_; }
  bool Valid() const { return fd_ >= 0; }
  void Reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }
  // Hands the descriptor over; the owner no longer closes it.
  int Release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

// Reads `count` bytes from `offset` on, fewer at the end of the file; false on a read error or
// a closed descriptor. Defined in files.cpp; the held and the read-only file share it.
bool ReadFdAt(int fd, uint64_t offset, size_t count, std::string& out);

}  // namespace fw

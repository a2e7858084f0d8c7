// A local TCP port whose accept queue is full: the kernel drops further connection requests,
// as a host that does not answer would. Linux only; elsewhere Port() is 0.
#pragma once

#include <vector>

namespace fw::test {

class TSilentPort {
 public:
  TSilentPort();
  ~TSilentPort();
  TSilentPort(const TSilentPort&) = delete;
  TSilentPort& operator=(const TSilentPort&) = delete;

  int Port() const { return port_; }

 private:
  int listener_ = -1;
  int port_ = 0;
  std::vector<int> fillers_;
};

}  // namespace fw::test

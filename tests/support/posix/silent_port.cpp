#include "tests/support/silent_port.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace fw::test {

TSilentPort::TSilentPort() {
  listener_ = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(listener_, 0) ||
      getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    return;
  }
  port_ = ntohs(a.sin_port);
  for (int i = 0; i < 3; ++i) {
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    fillers_.push_back(s);
  }
  usleep(200 * 1000);
}

TSilentPort::~TSilentPort() {
  for (int s : fillers_) close(s);
  if (listener_ >= 0) close(listener_);
}

}  // namespace fw::test

#include "tests/support/file_holder.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

namespace fw::test {

TFileHolder::TFileHolder(const std::string& path) {
  int release[2], ready[2];
  if (::pipe(release) != 0 || ::pipe(ready) != 0) {
    ADD_FAILURE() << "pipe failed";
    return;
  }
  pid_ = ::fork();
  if (pid_ == 0) {
    // Only async-signal-safe calls in the child.
    ::close(release[1]);
    ::close(ready[0]);
    const int fd = ::open(path.c_str(), O_RDONLY);
    char c = fd >= 0 ? 'y' : 'n';
    if (::write(ready[1], &c, 1) != 1) ::_exit(2);
    while (::read(release[0], &c, 1) < 0 && errno == EINTR) {
    }
    ::_exit(0);
  }
  ::close(release[0]);
  ::close(ready[1]);
  release_ = release[1];
  char c = 'n';
  if (::read(ready[0], &c, 1) != 1 || c != 'y') ADD_FAILURE() << "holder could not open " << path;
  ::close(ready[0]);
}

TFileHolder::~TFileHolder() {
  if (release_ >= 0) ::close(release_);
  if (pid_ > 0) ::waitpid(pid_, nullptr, 0);
}

}  // namespace fw::test

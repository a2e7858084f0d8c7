#include "tests/support/silent_port.h"

namespace fw::test {

// The MariaDB suites that need it do not run on Windows.
TSilentPort::TSilentPort() = default;
TSilentPort::~TSilentPort() = default;

}  // namespace fw::test

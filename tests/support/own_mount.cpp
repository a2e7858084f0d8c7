#include "tests/support/own_mount.h"

namespace fw::test {
namespace {

// $1 mounted on $2, then $3 run; both die with the shell (a test that gives up kills it).
const char* const kInOwnMount = R"(
set -u
setpriv --pdeathsig KILL bindfs -f --no-allow-other "$1" "$2" & fuse=$!
until mountpoint -q "$2"; do kill -0 "$fuse" 2>/dev/null || exit 97; sleep 0.05; done
setpriv --pdeathsig KILL "$3" & pid=$!
trap 'kill -TERM "$pid" 2>/dev/null' TERM INT
rc=0
while kill -0 "$pid" 2>/dev/null; do wait "$pid"; rc=$?; done
kill "$fuse"; wait "$fuse"
exit "$rc"
)";

}  // namespace

bool StartInOwnMount(TChildProcess& service, const std::string& backing,
                     const std::string& mountPoint, const std::string& binary, const TEnv& env,
                     const std::string& out) {
  return service.Start("/usr/bin/unshare",
                       {"-m", "--propagation", "private", "/bin/sh", "-c", kInOwnMount, "sh",
                        backing, mountPoint, binary},
                       env, out);
}

}  // namespace fw::test

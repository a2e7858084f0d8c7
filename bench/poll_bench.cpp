// What a poll of the drop folder costs: the CPU of one listing (ListCardFileStamps and the
// poll's comparison, as the service's tmrPoll runs them) of an unchanged folder with 0 and with
// 1,000 card files waiting, on a local folder and on a FUSE mount (bindfs) of it. On the mount
// the FUSE daemon's CPU counts too: it runs on this host. The polls come at the default
// interval, so that no cache is warmer than in the service. CPU is the threads' run time
// (/proc/.../schedstat), in µs per poll; the last column is the share of one core at that
// interval.
//
// Run as root (it mounts in a mount namespace of its own; the mount goes when it ends):
//   poll_bench [--polls=N] [--interval-ms=MS]
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/vfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/folder.h"
#include "platform/folder_poll.h"
#include "service/drop_poll.h"

namespace fw {
namespace {

constexpr uint64_t kFuseMagic = 0x65735546;

// Run time in ns of every thread of `pid`.
double RunNs(pid_t pid) {
  double total = 0;
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  std::error_code error;
  for (const auto& task : std::filesystem::directory_iterator(tasks, error)) {
    std::ifstream in(task.path() / "schedstat");
    double ns = 0;
    if (in >> ns) total += ns;
  }
  return total;
}

bool IsFuse(const std::string& path) {
  struct statfs fs {};
  return ::statfs(path.c_str(), &fs) == 0 && (static_cast<uint64_t>(fs.f_type) & 0xFFFFFFFFu) == kFuseMagic;
}

pid_t MountBindfs(const std::string& backing, const std::string& mountPoint) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::execl("/usr/bin/bindfs", "bindfs", "-f", "--no-allow-other", backing.c_str(),
            mountPoint.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  for (int i = 0; i < 200 && !IsFuse(mountPoint); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  if (!IsFuse(mountPoint)) {
    std::fprintf(stderr, "poll_bench: bindfs did not mount %s\n", mountPoint.c_str());
    std::exit(3);
  }
  return pid;
}

struct TCost {
  double selfUs = 0, daemonUs = 0, wallUs = 0;
  int wakes = 0;
};

TCost Measure(const std::string& folder, pid_t daemon, int polls, unsigned intervalMs) {
  TDropPoll poll;
  std::vector<TListedFile> listing;
  ListCardFileStamps(folder, listing);
  // The first listing is not what is measured: it wakes the tick for what waits.
  poll.ShouldWake(listing, TDropPoll::TClock::now());
  TCost cost;
  double wall = 0;
  double self = 0, fuse = 0;
  for (int i = 0; i < polls; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(intervalMs));
    const double selfBefore = RunNs(::getpid());
    const double fuseBefore = daemon > 0 ? RunNs(daemon) : 0;
    const auto start = std::chrono::steady_clock::now();
    ListCardFileStamps(folder, listing);
    // Not a "waiting" recheck: the cost of a poll that finds nothing new.
    cost.wakes += poll.ShouldWake(listing, TDropPoll::TClock::time_point{}) ? 1 : 0;
    wall += std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
                .count();
    self += RunNs(::getpid()) - selfBefore;
    if (daemon > 0) fuse += RunNs(daemon) - fuseBefore;
  }
  cost.selfUs = self / 1000.0 / polls;
  cost.daemonUs = fuse / 1000.0 / polls;
  cost.wallUs = wall / polls;
  return cost;
}

}  // namespace
}  // namespace fw

int main(int argc, char** argv) {
  using namespace fw;
  int polls = 10;
  unsigned intervalMs = kDefaultSharePollMs;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.rfind("--polls=", 0) == 0) polls = std::max(1, std::atoi(arg.c_str() + 8));
    if (arg.rfind("--interval-ms=", 0) == 0) {
      intervalMs = static_cast<unsigned>(std::max(1, std::atoi(arg.c_str() + 14)));
    }
  }
  // A mount of our own, gone with the process.
  if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    std::perror("poll_bench: a private mount namespace needs root");
    return 3;
  }
  char root[] = "/tmp/fenwold-poll-XXXXXX";
  if (::mkdtemp(root) == nullptr) return 3;
  const std::string backing = std::string(root) + "/backing", mount = std::string(root) + "/mnt";
  std::filesystem::create_directories(backing + "/empty");
  std::filesystem::create_directories(backing + "/full");
  std::filesystem::create_directories(mount);
  for (int i = 0; i < 1000; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "/full/c%04d.csv", i);
    std::ofstream(backing + name, std::ios::binary)
        << "A," << 2000000 + i << ",Day,Desk,0000,20240101,1200,20300901,1,North,Last,First\r\n";
  }
  const pid_t bindfs = MountBindfs(backing, mount);

  std::printf("%-6s %6s %6s %14s %14s %12s %12s %6s\n", "folder", "files", "polls", "CPU us/poll",
              "FUSE us/poll", "wall us/poll", "% core", "wakes");
  const struct {
    const char* name;
    std::string folder;
    int files;
    pid_t daemon;
  } rows[] = {{"local", backing + "/empty", 0, 0},
              {"local", backing + "/full", 1000, 0},
              {"fuse", mount + "/empty", 0, bindfs},
              {"fuse", mount + "/full", 1000, bindfs}};
  for (const auto& row : rows) {
    const TCost c = Measure(row.folder, row.daemon, polls, intervalMs);
    const double core = (c.selfUs + c.daemonUs) / (intervalMs * 1000.0) * 100.0;
    std::printf("%-6s %6d %6d %14.1f %14.1f %12.1f %11.3f%% %6d\n", row.name, row.files, polls,
                c.selfUs, c.daemonUs, c.wallUs, core, c.wakes);
    std::fflush(stdout);
  }
  std::printf("\nan unchanged folder listed every %u ms: names, sizes and modification times only; "
              "%% core counts the FUSE daemon too\n", intervalMs);

  ::kill(bindfs, SIGTERM);
  ::waitpid(bindfs, nullptr, 0);
  ::umount2(mount.c_str(), MNT_DETACH);  // in case bindfs left it
  std::filesystem::remove_all(root);
  return 0;
}

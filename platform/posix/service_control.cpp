// Linux: the process is its own service manager. The dispatcher thread turns signals into
// control codes; status reports go to systemd through sd_notify when it listens.
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

#include "platform/console.h"
#include "platform/service_host.h"

namespace fw {
namespace {

sigset_t ControlSignals() {
  sigset_t set;
  sigemptyset(&set);
  for (int s : {SIGTERM, SIGINT, SIGUSR1, SIGUSR2, SIGHUP}) sigaddset(&set, s);
  return set;
}

uint32_t ControlCodeOf(uint32_t signal) {
  switch (signal) {
    case SIGTERM:
    case SIGINT:
      return 1;  // stop
    case SIGUSR1:
      return 2;  // pause
    case SIGUSR2:
      return 3;  // continue
    default:
      return 4;  // interrogate (SIGHUP)
  }
}

// The one dispatcher of the process and the handler its service registered.
struct TDispatcher {
  std::mutex lock;
  TControlHandlerProc handler;
  int wakeWrite = -1;  // the dispatcher's wake pipe while it runs
};

TDispatcher& Dispatcher() {
  static TDispatcher dispatcher;
  return dispatcher;
}

void Wake(int fd, char what) {
  if (fd < 0) return;
  while (write(fd, &what, 1) < 0 && errno == EINTR) {
  }
}

const char* StateName(uint32_t state) {
  switch (state) {
    case 1:
      return "stopped";
    case 2:
      return "start pending";
    case 3:
      return "stop pending";
    case 4:
      return "running";
    case 5:
      return "continue pending";
    case 6:
      return "pause pending";
    case 7:
      return "paused";
    default:
      return "unknown";
  }
}

}  // namespace

void PrepareServiceProcess() {
  const sigset_t set = ControlSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  // An ignored signal is thrown away before it can be read, and a shell starts background
  // programs with SIGINT ignored: these signals are our control requests, so take them all.
  for (int s : {SIGTERM, SIGINT, SIGUSR1, SIGUSR2, SIGHUP}) signal(s, SIG_DFL);
}

uint32_t RunServiceDispatcher(const std::string& serviceName, TServiceMainProc serviceMain) {
  // Signals must be blocked in every thread, or one that arrives is fatal before we read it.
  PrepareServiceProcess();
  const sigset_t set = ControlSignals();
  const int signals = signalfd(-1, &set, SFD_CLOEXEC);
  if (signals < 0) return static_cast<uint32_t>(errno);
  int wake[2];
  if (pipe2(wake, O_CLOEXEC) != 0) {
    const int error = errno;
    close(signals);
    return static_cast<uint32_t>(error);
  }
  TDispatcher& d = Dispatcher();
  {
    std::lock_guard<std::mutex> hold(d.lock);
    d.handler = nullptr;
    d.wakeWrite = wake[1];
  }

  std::thread main([&] {
    serviceMain({serviceName});
    Wake(wake[1], 'e');
  });

  // A signal is read only once a handler is registered: until then it stays pending, so a
  // stop that comes early is not lost.
  bool ended = false;
  while (!ended) {
    bool registered;
    {
      std::lock_guard<std::mutex> hold(d.lock);
      registered = static_cast<bool>(d.handler);
    }
    pollfd fds[2] = {{wake[0], POLLIN, 0}, {registered ? signals : -1, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[0].revents & POLLIN) {
      char what[16];
      const ssize_t n = read(wake[0], what, sizeof what);
      for (ssize_t i = 0; i < n; ++i) ended = ended || what[i] == 'e';
    }
    if (!ended && (fds[1].revents & POLLIN)) {
      signalfd_siginfo info{};
      if (read(signals, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        TControlHandlerProc handler;
        {
          std::lock_guard<std::mutex> hold(d.lock);
          handler = d.handler;
        }
        if (handler) handler(ControlCodeOf(info.ssi_signo));
      }
    }
  }
  main.join();
  {
    std::lock_guard<std::mutex> hold(d.lock);
    d.handler = nullptr;
    d.wakeWrite = -1;
  }
  close(wake[0]);
  close(wake[1]);
  close(signals);
  return 0;
}

TServiceStatusHandle RegisterServiceControlHandler(const std::string& /*serviceName*/,
                                                   TControlHandlerProc handler, uint32_t& error) {
  TDispatcher& d = Dispatcher();
  std::lock_guard<std::mutex> hold(d.lock);
  d.handler = std::move(handler);
  Wake(d.wakeWrite, 'r');
  error = 0;
  return &d;
}

bool SetServiceStatusRecord(TServiceStatusHandle /*handle*/, const TServiceStatusRecord& status,
                            uint32_t& error) {
  std::string message;
  if (status.currentState == 4) message += "READY=1\n";
  if (status.currentState == 3) message += "STOPPING=1\n";
  message += "STATUS=";
  message += StateName(status.currentState);
  // Without NOTIFY_SOCKET there is no manager to tell; that is not a refusal.
  const int rc = sd_notify(0, message.c_str());
  error = rc < 0 ? static_cast<uint32_t>(-rc) : 0;
  return rc >= 0;
}

void SetServiceStatusText(TServiceStatusHandle /*handle*/, const std::string& text) {
  std::string line;
  for (char c : text) line += c == '\n' ? ' ' : c;
  sd_notify(0, ("STATUS=" + line).c_str());
}

std::string SystemErrorMessage(uint32_t code) {
  return std::generic_category().message(static_cast<int>(code));
}

void ShowMessageBox(const std::string& text, bool isError) {
  (isError ? WriteErr : WriteOut)(text + "\n");
  std::fflush(isError ? stderr : stdout);
}

unsigned WatchdogIntervalMs() {
  uint64_t usec = 0;
  if (sd_watchdog_enabled(0, &usec) <= 0 || usec == 0) return 0;
  const uint64_t half = usec / 2000;
  return half == 0 ? 1 : static_cast<unsigned>(half);
}

void WatchdogPing() {
  sd_notify(0, "WATCHDOG=1");
}

}  // namespace fw

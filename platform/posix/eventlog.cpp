#include "platform/eventlog.h"

#include <syslog.h>

#include <cstdio>
#include <cstdlib>

namespace fw {

void ReportEventError(const std::string& source, const std::string& text) {
  // openlog keeps the ident pointer, so the syslog call happens while `source` lives.
  openlog(source.c_str(), LOG_PID, LOG_DAEMON);
  syslog(LOG_ERR, "%s", text.c_str());
  closelog();
  if (std::getenv("JOURNAL_STREAM") == nullptr) {
    std::fprintf(stderr, "%s: %s\n", source.c_str(), text.c_str());
  }
}

}  // namespace fw

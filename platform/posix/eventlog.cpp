#include "platform/eventlog.h"

#include <syslog.h>

#include <cstdio>
#include <cstdlib>

#include "platform/console.h"

namespace fw {

void ReportEventError(const std::string& source, const std::string& text) {
  // openlog keeps the ident pointer, so the syslog call happens while `source` lives.
  openlog(source.c_str(), LOG_PID, LOG_DAEMON);
  syslog(LOG_ERR, "%s", text.c_str());
  closelog();
  if (std::getenv("JOURNAL_STREAM") == nullptr) {
    WriteErr(source + ": " + text + "\n");
  }
}

}  // namespace fw

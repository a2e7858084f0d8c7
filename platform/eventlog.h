// The system's event log: errors of the service itself. Linux: syslog (daemon, err) with the
// source as ident, plus one line on stderr unless stderr is the journal.
#pragma once

#include <string>

namespace fw {

void ReportEventError(const std::string& source, const std::string& text);

}  // namespace fw

// What the test support needs from the operating system; tests/support/posix/ and
// tests/support/win32/ implement it.
#pragma once

#include <string>
#include <string_view>

namespace fw::test {

// A fresh, empty folder under the temp folder ($FENWOLD_TEST_TMPDIR when set); throws on failure.
std::string MakeTempFolder();

void SetEnvVar(const char* name, const std::string& value);
void UnsetEnvVar(const char* name);

// A process that still runs (a zombie counts as gone), and ending one at once.
bool ProcessAlive(int pid);
bool KillProcess(int pid);
// Ends a process and its children at once; true once all are gone.
bool KillProcessTree(int pid);

// A path as the ODBC drivers read it. Under Wine they are the host's own, native programs that
// read Unix paths; elsewhere the path itself.
std::string DriverPath(const std::string& path);

// A named pipe in the file system; false where the platform has none (Windows).
bool MakeFifo(const std::string& path);

// Whether event-log messages also appear on stderr, where a test can read them (Linux, unless
// stderr is the journal). Windows' event log keeps them to itself.
bool EventLogEchoesToStderr();

}  // namespace fw::test

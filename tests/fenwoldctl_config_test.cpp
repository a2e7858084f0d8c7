// fenwoldctl config, scramble and descramble, run as the real binary.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>

#include "config/scramble.h"
#include "tests/support/temp_registry.h"

namespace fw {
namespace {

using test::TTempRegistry;

struct TRun {
  int status = -1;
  std::string out, err;
};

std::string Quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

// Runs fenwoldctl with FENWOLD_REGISTRY of `reg` (inherited) and extra NAME=value settings.
TRun Ctl(const TTempRegistry& reg, const std::vector<std::string>& args,
         const std::string& env = "") {
  const std::string errPath = reg.Dir() + "/stderr";
  std::string cmd = "env " + env + " " + Quote(FENWOLD_CTL_BINARY);
  for (const auto& a : args) cmd += " " + Quote(a);
  cmd += " 2>" + Quote(errPath);
  TRun r;
  FILE* pipe = popen(cmd.c_str(), "r");
  if (pipe == nullptr) return r;
  char buf[4096];
  for (size_t n; (n = fread(buf, 1, sizeof buf, pipe)) > 0;) r.out.append(buf, n);
  const int st = pclose(pipe);
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  std::ifstream err(errPath);
  std::stringstream ss;
  ss << err.rdbuf();
  r.err = ss.str();
  return r;
}

// "  Name   value" lines of `config`, by name.
std::map<std::string, std::string> Fields(const std::string& out) {
  std::map<std::string, std::string> fields;
  std::istringstream in(out);
  for (std::string line; std::getline(in, line);) {
    if (!line.starts_with("  ")) continue;
    const size_t nameEnd = line.find("  ", 2);
    const std::string name = line.substr(2, nameEnd - 2);
    const size_t value = line.find_first_not_of(' ', nameEnd);
    fields[name] = value == std::string::npos ? "" : line.substr(value);
  }
  return fields;
}

TEST(FenwoldctlConfig, NoRegistryFileShowsTheDefaults) {
  TTempRegistry reg;  // FENWOLD_REGISTRY names a file that does not exist
  const TRun r = Ctl(reg, {"config"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  const auto f = Fields(r.out);
  EXPECT_EQ(f.at("Host"), "127.0.0.1");
  EXPECT_EQ(f.at("Database"), "orvik");
  EXPECT_EQ(f.at("User"), "dbowner");
  EXPECT_EQ(f.at("ODBCDriver"), "MySQL ODBC 3.51 Driver");
  EXPECT_EQ(f.at("DSNName"), "");
  EXPECT_EQ(f.at("DebugLog"), "true");
  EXPECT_EQ(f.at("options"), "SERVER=127.0.0.1;database=orvik");
  EXPECT_EQ(f.at("Pass"), "********");
  EXPECT_EQ(r.out.find("vornex"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(reg.Path()), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("not found"), std::string::npos) << r.out;
}

TEST(FenwoldctlConfig, RealFileNeverShowsThePassword) {
  TTempRegistry reg;
  const std::string pass = "Tr0ub4dor";
  reg.WriteExport(
      "; the card database\r\n"
      "[HKEY_LOCAL_MACHINE\\Software\\Quorvane\\Kelvo]\r\n"
      "\"DSNName\"=\"\"\r\n"
      "\"Host\"=\"db1.example.lan\"\r\n"
      "\"User\"=\"u-%p\"\r\n"
      "\"Pass\"=\"" +
      *Scramble(pass) +
      "\"\r\n"
      "\"EmailPass\"=\"" +
      *Scramble("mailpw") +
      "\"\r\n"
      "\"ODBCDriver\"=\"MariaDB Unicode\"\r\n"
      "\"ODBCOptions\"=\"SERVER=%h;UID=%u;PWD=%p;DATABASE=%d\"\r\n"
      "this line is broken\r\n"
      "\"DebugLog\"=dword:00000000\r\n");
  const TRun r = Ctl(reg, {"config"});
  ASSERT_EQ(r.status, 0) << r.err;
  const auto f = Fields(r.out);
  EXPECT_EQ(f.at("Host"), "db1.example.lan");
  EXPECT_EQ(f.at("ODBCDriver"), "MariaDB Unicode");
  EXPECT_EQ(f.at("DebugLog"), "false");
  EXPECT_EQ(f.at("options"), "SERVER=db1.example.lan;UID=u-********;PWD=********;DATABASE=orvik");
  EXPECT_EQ(f.at("EmailPass"), "********");
  EXPECT_EQ(r.out.find(pass), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("mailpw"), std::string::npos) << r.out;
  // The broken line is reported once, with its number, although every read opens the file.
  const std::string report = reg.Path() + ", line 12:";
  EXPECT_NE(r.err.find(report), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find(report), r.err.rfind(report)) << r.err;
}

TEST(FenwoldctlScramble, RoundTripAndFailures) {
  TTempRegistry reg;
  const TRun s = Ctl(reg, {"scramble", "Hello World!"});
  ASSERT_EQ(s.status, 0) << s.err;
  EXPECT_EQ(s.out, "@pS##bV-M3@3\n");
  const TRun d = Ctl(reg, {"descramble", "@pS##bV-M3@3"});
  ASSERT_EQ(d.status, 0) << d.err;
  EXPECT_EQ(d.out, "Hello World!\n");

  const TRun outside = Ctl(reg, {"scramble", "a\"b"});
  EXPECT_EQ(outside.status, 1);
  EXPECT_EQ(outside.out, "");
  EXPECT_NE(outside.err.find("not in the scramble alphabet"), std::string::npos);
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"scramble"}, {"descramble"}, {"scramble", "a", "b"}, {"config", "x"}}) {
    EXPECT_EQ(Ctl(reg, args).status, 2) << args[0];
  }
}

TEST(FenwoldctlScramble, AlphabetFromTheEnvironment) {
  TTempRegistry reg;
  const std::string builtIn(ScrambleAlphabet);
  const std::string reversed(builtIn.rbegin(), builtIn.rend());
  const std::string own = "FENWOLD_SCRAMBLE_ALPHABET=" + Quote(reversed);

  const TRun s = Ctl(reg, {"scramble", "Hello World!"}, own);
  ASSERT_EQ(s.status, 0) << s.err;
  EXPECT_EQ(s.out, *Scramble("Hello World!", reversed) + "\n");
  EXPECT_EQ(s.err, "");
  const std::string scrambled = s.out.substr(0, s.out.size() - 1);
  EXPECT_EQ(Ctl(reg, {"descramble", scrambled}, own).out, "Hello World!\n");

  // A value that is not 90 distinct printable characters is refused; the built-in one is used.
  for (const std::string& bad : {builtIn.substr(1), builtIn.substr(0, 89) + "%"}) {
    const TRun r =
        Ctl(reg, {"scramble", "Hello World!"}, "FENWOLD_SCRAMBLE_ALPHABET=" + Quote(bad));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "@pS##bV-M3@3\n");
    EXPECT_NE(r.err.find("FENWOLD_SCRAMBLE_ALPHABET is refused"), std::string::npos) << r.err;
  }
}

}  // namespace
}  // namespace fw

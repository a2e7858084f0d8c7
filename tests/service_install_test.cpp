// The real fenwold binary with its install and uninstall switches, against a temporary unit
// folder.
#include <gtest/gtest.h>
#include <limits.h>
#include <pwd.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "tests/support/fenwold_process.h"

namespace fw::test {
namespace {

const std::string kUnit = "fenwold.service";

class ServiceInstall : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/fenwold-install-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    units_ = dir_ + "/units";
    std::filesystem::create_directory(units_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  TRunResult Fenwold(const std::vector<std::string>& args, TEnv env = {}) {
    env.emplace("FENWOLD_UNIT_DIR", units_);
    return RunProgram(FENWOLD_BINARY, args, env, dir_);
  }

  std::string dir_, units_;
};

TEST_F(ServiceInstall, SwitchesAndTheirMessages) {
  const std::string installFailed =
      "Service \"KELVO Fenwold\" failed to install with error: \"System Error.  Code: 17.\n";
  const std::string uninstallFailed =
      "Service \"KELVO Fenwold\" failed to uninstall with error: \"System Error.  Code: 2.\n";
  struct Step {
    std::vector<std::string> args;
    int status;
    std::string out;
    std::string errPrefix;  // empty: nothing on stderr
    bool unitAfter;
  } steps[] = {
      {{"/INSTALL"}, 0, "Service installed successfully\n", "", true},
      // An existing unit is a failure, shown with SILENT too.
      {{"-install", "-silent"}, 1, "", installFailed, true},
      {{"/Install"}, 1, "", installFailed, true},
      {{"/UNINSTALL"}, 0, "Service uninstalled successfully\n", "", false},
      {{"-uninstall", "/SILENT"}, 1, "", uninstallFailed, false},
      {{"/uninstall"}, 1, "", uninstallFailed, false},
      {{"-install", "-silent"}, 0, "", "", true},
      // INSTALL wins over UNINSTALL wherever it stands.
      {{"/uninstall", "/install"}, 1, "", installFailed, true},
      {{"x", "-Uninstall", "-SILENT"}, 0, "", "", false},
  };
  // Without the service account the unit runs the service as root, and the message says so.
  const std::string installed =
      std::string("Service installed successfully\n") +
      (getpwnam("fenwold") ? "" : "It runs as root: there is no account \"fenwold\"\n");
  for (Step& s : steps) {
    if (s.out == "Service installed successfully\n") s.out = installed;
    std::string label;
    for (const auto& a : s.args) label += a + " ";
    const TRunResult r = Fenwold(s.args);
    EXPECT_EQ(r.status, s.status) << label << r.err;
    EXPECT_EQ(r.out, s.out) << label;
    if (s.errPrefix.empty()) {
      EXPECT_EQ(r.err, "") << label;
    } else {
      EXPECT_EQ(r.err.rfind(s.errPrefix, 0), 0u) << label << ": " << r.err;
      EXPECT_EQ(r.err.substr(r.err.size() - 2), "\"\n") << label << ": " << r.err;
    }
    EXPECT_EQ(PathExists(units_ + "/" + kUnit), s.unitAfter) << label;
  }
}

TEST_F(ServiceInstall, UnitRunsTheBinaryUnderSystemd) {
  // A registry path that needs systemd's quoting: a blank, a percent sign, a quote.
  const std::string registry = dir_ + "/etc dir/reg%1\"x.reg";
  const TRunResult r = Fenwold({"/INSTALL", "/SILENT"}, {{"FENWOLD_REGISTRY", registry}});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string unit = ReadTextFile(units_ + "/" + kUnit);
  char real[PATH_MAX];
  ASSERT_NE(realpath(FENWOLD_BINARY, real), nullptr);

  for (const std::string& line :
       {std::string("[Service]"), std::string("Description=KELVO Fenwold"),
        std::string("Type=notify"), "ExecStart=\"" + std::string(real) + "\"",
        std::string("Environment=\"FENWOLD_REGISTRY=") + dir_ + "/etc dir/reg%%1\\\"x.reg\"",
        std::string("Restart=on-failure"), std::string("RestartSec=30"), std::string("[Install]"),
        std::string("WantedBy=multi-user.target")}) {
    EXPECT_NE(unit.find("\n" + line + "\n"), std::string::npos) << line << "\n" << unit;
  }
  const size_t watchdog = unit.find("\nWatchdogSec=");
  ASSERT_NE(watchdog, std::string::npos) << unit;
  EXPECT_GE(std::atoi(unit.c_str() + watchdog + 13), 300) << "too short for a large file";
  EXPECT_EQ(unit.find("FENWOLD_LOG_DIR"), std::string::npos);

  // Without the variable the unit names no registry of its own.
  ASSERT_EQ(Fenwold({"/UNINSTALL", "/SILENT"}).status, 0);
  ASSERT_EQ(Fenwold({"/INSTALL", "/SILENT"}).status, 0);
  EXPECT_EQ(ReadTextFile(units_ + "/" + kUnit).find("Environment="), std::string::npos);
}

TEST_F(ServiceInstall, MissingUnitFolderFailsWithoutServiceMessage) {
  for (const char* sw : {"/INSTALL", "/UNINSTALL"}) {
    const TRunResult r =
        RunProgram(FENWOLD_BINARY, {sw}, {{"FENWOLD_UNIT_DIR", dir_ + "/absent"}}, dir_);
    EXPECT_EQ(r.status, 1) << sw;
    EXPECT_EQ(r.out, "") << sw;
    EXPECT_EQ(r.err.rfind("System Error.  Code: 2.\n", 0), 0u) << sw << ": " << r.err;
  }
  EXPECT_FALSE(PathExists(dir_ + "/absent"));
}

TEST_F(ServiceInstall, HelpAndVersion) {
  const TRunResult v = Fenwold({"--version"});
  EXPECT_EQ(v.status, 0);
  EXPECT_EQ(v.out.rfind("fenwold ", 0), 0u) << v.out;
  const TRunResult h = Fenwold({"--help"});
  EXPECT_EQ(h.status, 0);
  EXPECT_NE(h.out.find("/INSTALL"), std::string::npos);
  EXPECT_NE(h.out.find("SIGUSR1"), std::string::npos);
  EXPECT_TRUE(FilesIn(units_).empty());
}

}  // namespace
}  // namespace fw::test

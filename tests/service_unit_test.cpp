// The sandboxed unit and the card-folder drop-in: what a site with folders gets, and that the
// folders read back as written, whatever their names hold.
#include <gtest/gtest.h>

#include "platform/service_unit.h"

namespace fw {
namespace {

TEST(ServiceUnit, SandboxedUnitOpensOnlyTheLogFolder) {
  TUnitOptions o;
  o.displayName = "KELVO Fenwold";
  o.executablePath = "/usr/sbin/fenwold";
  o.registryPath = "/etc/fenwold/registry.reg";
  o.logDir = "/var/log/fenwold/";
  const std::string root = ServiceUnitText(o);
  o.asAccount = true;
  const std::string unit = ServiceUnitText(o);
  for (const char* line : {"User=fenwold", "Group=fenwold", "ProtectSystem=strict",
                           "ReadWritePaths=\"-/var/log/fenwold\"", "CapabilityBoundingSet=",
                           "NoNewPrivileges=yes", "UMask=0027", "StateDirectory=fenwold",
                           "Environment=\"FENWOLD_LOG_DIR=/var/log/fenwold/\""}) {
    EXPECT_NE(unit.find(std::string("\n") + line + "\n"), std::string::npos) << line << "\n" << unit;
  }
  // Without the account nothing of the sandbox is written: as root it would only get in the way.
  for (const char* absent : {"User=", "ProtectSystem=", "ReadWritePaths="}) {
    EXPECT_EQ(root.find(absent), std::string::npos) << absent;
  }
  EXPECT_EQ(unit.substr(unit.find("[Install]")), root.substr(root.find("[Install]")));
}

TEST(ServiceUnit, DropInOpensTheFoldersAndReadsBack) {
  struct Case {
    std::vector<std::string> folders;
    std::vector<std::string> back;
    bool homeReadOnly;
  } cases[] = {
      {{"/srv/cards/in", "/srv/cards/done/", "/srv/cards/errors"},
       {"/srv/cards/in", "/srv/cards/done", "/srv/cards/errors"}, false},
      // Blanks, quotes, backslashes and percent signs survive systemd's quoting.
      {{"/srv/card files/in", "/srv/100%/\"q\"", "/srv/back\\slash"},
       {"/srv/card files/in", "/srv/100%/\"q\"", "/srv/back\\slash"}, false},
      // An unset folder is left out; one under /home needs the home folders visible.
      {{"", "/home/cards/in", "/root"}, {"/home/cards/in", "/root"}, true},
      {{"/homes/x"}, {"/homes/x"}, false},
  };
  for (const Case& c : cases) {
    const std::string text = FoldersDropInText(c.folders);
    EXPECT_EQ(FoldersInDropIn(text), c.back) << text;
    EXPECT_EQ(text.find("\nProtectHome=read-only\n") != std::string::npos, c.homeReadOnly) << text;
    EXPECT_NE(text.find("[Service]\n"), std::string::npos);
  }
  EXPECT_EQ(FoldersDropInPath("/etc/systemd/system/"),
            "/etc/systemd/system/fenwold.service.d/folders.conf");
}

}  // namespace
}  // namespace fw

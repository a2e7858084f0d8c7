// The service's virtual account: its SID as Windows derives it, and the access lists that grant
// it the log folder. Wine accepts a file's new access list but keeps none, so the lists are
// checked as built.
#include "platform/win32/service_account.h"

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <vector>

#include "tests/support/test_platform.h"

namespace fw {
namespace {

struct TEntry {
  BYTE flags;
  ACCESS_MASK mask;
};

PSID Sid(const std::string& text) {
  PSID sid = nullptr;
  EXPECT_TRUE(ConvertStringSidToSidA(text.c_str(), &sid)) << text;
  return sid;
}

// The allow entries of the list that name the SID.
std::vector<TEntry> EntriesFor(PACL acl, const std::string& sidText) {
  PSID sid = Sid(sidText);
  std::vector<TEntry> found;
  for (DWORD i = 0; acl != nullptr && i < acl->AceCount; ++i) {
    void* ace = nullptr;
    if (!GetAce(acl, i, &ace)) continue;
    auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
    if (allowed->Header.AceType == ACCESS_ALLOWED_ACE_TYPE &&
        EqualSid(reinterpret_cast<PSID>(&allowed->SidStart), sid)) {
      found.push_back({allowed->Header.AceFlags, allowed->Mask});
    }
  }
  LocalFree(sid);
  return found;
}

TEST(ServiceAccount, SidFollowsFromTheNameInAnyCase) {
  struct Case {
    const char* name;
    const char* sid;
  } cases[] = {
      // Windows' own installer service, whose SID every Windows shows in its access lists.
      {"TrustedInstaller", "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464"},
      {"TRUSTEDINSTALLER", "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464"},
      {"Fenwold", "S-1-5-80-4217465631-2536119022-2311690096-2282761480-624440591"},
      {"fenwold", "S-1-5-80-4217465631-2536119022-2311690096-2282761480-624440591"},
  };
  for (const Case& c : cases) EXPECT_EQ(ServiceSidText(c.name), c.sid) << c.name;
  EXPECT_EQ(VirtualAccountName("Fenwold"), "NT SERVICE\\Fenwold");
}

TEST(ServiceAccount, LogFolderGrantAddsFilesButNotFoldersOrOwnership) {
  const std::string sid = ServiceSidText("Fenwold");
  const std::string admins = "S-1-5-32-544";
  // A folder's list as Windows has it: the administrators' entry inherited from above.
  TAclOwner inherited;
  {
    PSID adminSid = Sid(admins);
    EXPLICIT_ACCESS_A full{};
    full.grfAccessPermissions = GENERIC_ALL;
    full.grfAccessMode = GRANT_ACCESS;
    full.grfInheritance = SUB_CONTAINERS_AND_OBJECTS_INHERIT;
    full.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    full.Trustee.ptstrName = static_cast<LPSTR>(adminSid);
    PACL raw = nullptr;
    ASSERT_EQ(SetEntriesInAclA(1, &full, nullptr, &raw), static_cast<DWORD>(ERROR_SUCCESS));
    inherited.reset(raw);
    LocalFree(adminSid);
  }

  // Twice, as an upgrade or a repair runs it again: the list does not grow.
  TAclOwner once, twice;
  ASSERT_EQ(WithGrant(inherited.get(), sid, TGrantScope::kLogFolder, once), 0u);
  ASSERT_EQ(WithGrant(once.get(), sid, TGrantScope::kLogFolder, twice), 0u);
  EXPECT_EQ(EntriesFor(twice.get(), admins).size(), 1u);
  const std::vector<TEntry> entries = EntriesFor(twice.get(), sid);
  ASSERT_EQ(entries.size(), 2u);
  bool folder = false, files = false;
  for (const TEntry& e : entries) {
    if (e.flags == 0) {  // the folder itself: add files, not folders, no deleting or ownership
      folder = true;
      EXPECT_TRUE(e.mask & FILE_ADD_FILE);
      EXPECT_FALSE(e.mask & (FILE_ADD_SUBDIRECTORY | DELETE | FILE_DELETE_CHILD | WRITE_DAC |
                             WRITE_OWNER));
    } else {  // only the files created there, never the folder or folders below it
      files = true;
      EXPECT_EQ(e.flags, OBJECT_INHERIT_ACE | INHERIT_ONLY_ACE);
      EXPECT_EQ(e.mask & (FILE_WRITE_DATA | FILE_APPEND_DATA | DELETE),
                static_cast<ACCESS_MASK>(FILE_WRITE_DATA | FILE_APPEND_DATA | DELETE));
      EXPECT_FALSE(e.mask & (WRITE_DAC | WRITE_OWNER));
    }
  }
  EXPECT_TRUE(folder && files);

  // A day file of an earlier installation, written by LocalSystem.
  TAclOwner dayFile;
  ASSERT_EQ(WithGrant(inherited.get(), sid, TGrantScope::kLogFile, dayFile), 0u);
  const std::vector<TEntry> fileEntries = EntriesFor(dayFile.get(), sid);
  ASSERT_EQ(fileEntries.size(), 1u);
  EXPECT_EQ(fileEntries[0].flags, 0);
  EXPECT_TRUE(fileEntries[0].mask & FILE_APPEND_DATA);
}

TEST(ServiceAccount, GrantOnAFolderAndItsFailures) {
  const std::string folder = test::MakeTempFolder();
  EXPECT_EQ(GrantToSid(folder, ServiceSidText("Fenwold"), TGrantScope::kLogFolder), 0u);
  EXPECT_NE(GrantToSid(folder + "\\absent", ServiceSidText("Fenwold"), TGrantScope::kLogFolder), 0u);
  EXPECT_NE(GrantToSid(folder, "S-1-nonsense", TGrantScope::kLogFolder), 0u);
}

}  // namespace
}  // namespace fw

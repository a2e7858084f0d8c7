#include "platform/win32/service_account.h"

#include <aclapi.h>
#include <sddl.h>
#include <wincrypt.h>

#include <memory>

#include "platform/win32/wide.h"

namespace fw {
namespace {

constexpr DWORD kFileModify = FILE_GENERIC_READ | FILE_GENERIC_WRITE | DELETE;

// An explicit allow entry of `sid` with these inheritance flags and at least these rights.
bool HasEntry(PACL acl, PSID sid, DWORD rights, DWORD inheritance) {
  for (DWORD i = 0; acl != nullptr && i < acl->AceCount; ++i) {
    void* ace = nullptr;
    if (!GetAce(acl, i, &ace)) continue;
    const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(ace);
    if (allowed->Header.AceType == ACCESS_ALLOWED_ACE_TYPE &&
        allowed->Header.AceFlags == inheritance && (allowed->Mask & rights) == rights &&
        EqualSid(const_cast<DWORD*>(&allowed->SidStart), sid)) {
      return true;
    }
  }
  return false;
}

}  // namespace

std::string VirtualAccountName(const std::string& serviceName) {
  return "NT SERVICE\\" + serviceName;
}

std::string ServiceSidText(const std::string& serviceName) {
  std::wstring upper = Widen(serviceName);
  CharUpperBuffW(upper.data(), static_cast<DWORD>(upper.size()));
  HCRYPTPROV provider = 0;
  if (!CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT)) {
    return {};
  }
  HCRYPTHASH hash = 0;
  BYTE digest[20] = {};
  DWORD size = sizeof digest;
  const bool ok = CryptCreateHash(provider, CALG_SHA1, 0, 0, &hash) &&
                  CryptHashData(hash, reinterpret_cast<const BYTE*>(upper.data()),
                                static_cast<DWORD>(upper.size() * sizeof(wchar_t)), 0) &&
                  CryptGetHashParam(hash, HP_HASHVAL, digest, &size, 0) && size == sizeof digest;
  if (hash != 0) CryptDestroyHash(hash);
  CryptReleaseContext(provider, 0);
  if (!ok) return {};
  std::string text = "S-1-5-80";
  for (int i = 0; i < 5; ++i) {
    const uint32_t part = digest[4 * i] | digest[4 * i + 1] << 8 | digest[4 * i + 2] << 16 |
                          static_cast<uint32_t>(digest[4 * i + 3]) << 24;
    text += "-" + std::to_string(part);
  }
  return text;
}

uint32_t WithGrant(PACL current, const std::string& sidText, TGrantScope scope, TAclOwner& updated) {
  PSID rawSid = nullptr;
  if (!ConvertStringSidToSidW(Widen(sidText).c_str(), &rawSid)) return GetLastError();
  std::unique_ptr<void, TLocalFree> sid(rawSid);
  EXPLICIT_ACCESS_W entries[2] = {};
  ULONG count = 0;
  auto add = [&](DWORD rights, DWORD inheritance) {
    // Not every SetEntriesInAclW merges a grant into the entry that has it already (Wine's
    // adds another); an upgrade or a repair must not grow the list.
    if (HasEntry(current, sid.get(), rights, inheritance)) return;
    EXPLICIT_ACCESS_W& e = entries[count++];
    e.grfAccessPermissions = rights;
    e.grfAccessMode = GRANT_ACCESS;
    e.grfInheritance = inheritance;
    e.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    e.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
    e.Trustee.ptstrName = static_cast<LPWSTR>(sid.get());
  };
  if (scope == TGrantScope::kLogFolder) {
    // The folder is usually the program's own: the account may add its log files there but
    // not change the programs beside them.
    add(FILE_GENERIC_READ | FILE_GENERIC_EXECUTE | FILE_ADD_FILE, NO_INHERITANCE);
    add(kFileModify, OBJECT_INHERIT_ACE | INHERIT_ONLY_ACE);
  } else {
    add(kFileModify, NO_INHERITANCE);
  }
  PACL raw = nullptr;
  const DWORD rc = SetEntriesInAclW(count, entries, current, &raw);
  if (rc != ERROR_SUCCESS) return rc;
  updated.reset(raw);
  return 0;
}

uint32_t GrantToSid(const std::string& path, const std::string& sidText, TGrantScope scope) {
  const std::wstring wide = Widen(path);
  PACL current = nullptr;
  PSECURITY_DESCRIPTOR rawDescriptor = nullptr;
  const DWORD rc = GetNamedSecurityInfoW(wide.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                         nullptr, nullptr, &current, nullptr, &rawDescriptor);
  if (rc != ERROR_SUCCESS) return rc;
  std::unique_ptr<void, TLocalFree> descriptor(rawDescriptor);
  TAclOwner updated;
  if (const uint32_t error = WithGrant(current, sidText, scope, updated); error != 0) return error;
  // SetFileSecurityW, unlike SetNamedSecurityInfoW, does not push the inheritable entry down
  // onto the files that are already there (the executables).
  // The list keeps its flags, so that the folder goes on following (or not) what its parent
  // passes down.
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  constexpr SECURITY_DESCRIPTOR_CONTROL kInheritance = SE_DACL_AUTO_INHERITED | SE_DACL_PROTECTED;
  SECURITY_DESCRIPTOR absolute;
  if (!GetSecurityDescriptorControl(rawDescriptor, &control, &revision) ||
      !InitializeSecurityDescriptor(&absolute, SECURITY_DESCRIPTOR_REVISION) ||
      !SetSecurityDescriptorDacl(&absolute, TRUE, updated.get(), FALSE) ||
      !SetSecurityDescriptorControl(&absolute, kInheritance, control & kInheritance) ||
      !SetFileSecurityW(wide.c_str(), DACL_SECURITY_INFORMATION, &absolute)) {
    return GetLastError();
  }
  return 0;
}

}  // namespace fw

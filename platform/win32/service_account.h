// The service's virtual account ("NT SERVICE\<name>") and what it is granted on the file system.
// The account exists as soon as the service does; its SID follows from the service name alone,
// so it can be granted rights before the service first runs.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>

namespace fw {

std::string VirtualAccountName(const std::string& serviceName);

// "S-1-5-80-..." (the SHA-1 of the upper-case UTF-16 name as five numbers); empty when the
// hash cannot be computed.
std::string ServiceSidText(const std::string& serviceName);

enum class TGrantScope {
  kLogFolder,  // create files in the folder; read, write and delete the files created there
  kLogFile,    // read, write and delete this file
};

struct TLocalFree {
  void operator()(void* p) const { LocalFree(p); }
};
using TAclOwner = std::unique_ptr<ACL, TLocalFree>;

// `current` (null: none) with the grant added; an entry the account already has is widened,
// not repeated. 0, or the system error code.
uint32_t WithGrant(PACL current, const std::string& sidText, TGrantScope scope, TAclOwner& updated);

// Adds the grant to the object's own access list, leaving its other entries as they are and
// its existing children alone. 0, or the system error code.
uint32_t GrantToSid(const std::string& path, const std::string& sidText, TGrantScope scope);

}  // namespace fw

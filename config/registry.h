// TRegistryEx: single settings from one key of HKEY_LOCAL_MACHINE. Every read opens KeyPath
// afresh (query access only) and sets Missing; nothing is ever written and no read raises.
//
// Missing is true after a read when the value is absent, of the wrong type, or when the key
// cannot be opened at all (on Linux an absent key cannot be opened): in each case the caller's
// default applies. A value stored with empty data reads as empty text with Missing false.
#pragma once

#include <cstdint>
#include <string>

#include "platform/registry.h"

namespace fw {

class TRegistryEx {
 public:
  explicit TRegistryEx(std::string keyPath);  // opens nothing

  const std::string& KeyPath() const { return keyPath_; }
  void SetKeyPath(std::string keyPath);  // the next read opens the new key
  bool Missing() const { return missing_; }

  // REG_SZ or REG_EXPAND_SZ (unexpanded), cut at its first NUL.
  std::string ReadString(const std::string& name);
  std::string ReadStringDef(const std::string& name, const std::string& def);
  // A REG_DWORD of exactly 4 bytes.
  int32_t ReadInteger(const std::string& name);
  int32_t ReadIntegerDef(const std::string& name, int32_t def);
  bool ReadBool(const std::string& name);  // true when the number is not 0
  bool ReadBoolDef(const std::string& name, bool def);
  // ReadString, then Descramble; Missing as ReadString left it.
  std::string ReadScrambled(const std::string& name);

 private:
  // Opens KeyPath and reads `name`; false (and Missing true) when either fails.
  bool Query(const std::string& name, TRegData& data);

  std::string keyPath_;
  bool missing_ = false;
  TRegKey key_;  // stays open until the next read or the end of the reader
};

}  // namespace fw

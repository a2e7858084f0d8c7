// The machine-wide registry hive HKEY_LOCAL_MACHINE, read-only. Windows: the registry itself, in
// its 32-bit view (where the installation's 32-bit configuration tool keeps its settings).
// Linux: a registry export file, $FENWOLD_REGISTRY or /etc/fenwold/registry.reg.
#pragma once

#include <string>

namespace fw {

// The kinds of data a value can hold, as far as readers here care.
enum TRegDataType {
  rdUnknown,       // every other registry type (none, multi-string, qword, ...)
  rdString,        // REG_SZ
  rdExpandString,  // REG_EXPAND_SZ, returned unexpanded
  rdInteger,       // REG_DWORD (little-endian bytes)
  rdBinary,        // REG_BINARY
};

struct TRegData {
  TRegDataType type = rdUnknown;
  // The value's bytes as stored; texts are UTF-8 (read as UTF-16 on Windows) and may carry a
  // trailing NUL.
  std::string bytes;
};

// One open key below HKEY_LOCAL_MACHINE; closed by the destructor or by opening another.
class TRegKey {
 public:
  TRegKey() = default;
  ~TRegKey() { Close(); }
  TRegKey(const TRegKey&) = delete;
  TRegKey& operator=(const TRegKey&) = delete;

  // Opens `path` (backslash-separated, a leading backslash allowed) with query access only,
  // closing the key held before. Windows creates an absent key when the process may; the Linux
  // registry file is read-only, so an absent key there cannot be opened. False when not open.
  bool Open(const std::string& path);
  void Close();
  bool IsOpen() const { return handle_ != nullptr; }

  // False when the value does not exist or cannot be read; `name` "" is the default value.
  // Value names compare without regard to letter case.
  bool QueryValue(const std::string& name, TRegData& out) const;

 private:
  void* handle_ = nullptr;  // HKEY on Windows; the key's values on Linux
};

// Where the settings come from, for operators ("registry file /etc/... (not found)").
std::string RegistryLocation();

// Non-empty when others than the owner and the group may read the settings (they hold the
// database password): what to tell the operator. The Windows registry is guarded by its ACLs.
std::string RegistryExposure();

}  // namespace fw

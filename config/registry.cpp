#include "config/registry.h"

#include <utility>

#include "config/scramble.h"

namespace fw {

TRegistryEx::TRegistryEx(std::string keyPath) : keyPath_(std::move(keyPath)) {}

void TRegistryEx::SetKeyPath(std::string keyPath) {
  keyPath_ = std::move(keyPath);
}

bool TRegistryEx::Query(const std::string& name, TRegData& data) {
  missing_ = !key_.Open(keyPath_) || !key_.QueryValue(name, data);
  return !missing_;
}

std::string TRegistryEx::ReadString(const std::string& name) {
  TRegData data;
  if (!Query(name, data) || data.bytes.empty()) return "";
  if (data.type != rdString && data.type != rdExpandString) {
    missing_ = true;
    return "";
  }
  return data.bytes.substr(0, data.bytes.find('\0'));
}

std::string TRegistryEx::ReadStringDef(const std::string& name, const std::string& def) {
  std::string value = ReadString(name);
  return missing_ ? def : value;
}

int32_t TRegistryEx::ReadInteger(const std::string& name) {
  TRegData data;
  if (!Query(name, data)) return 0;
  if (data.type != rdInteger || data.bytes.size() != 4) {
    missing_ = true;
    return 0;
  }
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(data.bytes[i]);
  return static_cast<int32_t>(v);
}

int32_t TRegistryEx::ReadIntegerDef(const std::string& name, int32_t def) {
  const int32_t value = ReadInteger(name);
  return missing_ ? def : value;
}

bool TRegistryEx::ReadBool(const std::string& name) {
  return ReadInteger(name) != 0;
}

bool TRegistryEx::ReadBoolDef(const std::string& name, bool def) {
  const bool value = ReadBool(name);
  return missing_ ? def : value;
}

std::string TRegistryEx::ReadScrambled(const std::string& name) {
  return Descramble(ReadString(name));
}

}  // namespace fw

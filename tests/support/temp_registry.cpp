#include "tests/support/temp_registry.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>

namespace fw::test {
namespace {

void Remember(const char* name, std::string& value, bool& had) {
  const char* v = std::getenv(name);
  had = v != nullptr;
  if (had) value = v;
}

void Restore(const char* name, const std::string& value, bool had) {
  if (had) {
    setenv(name, value.c_str(), 1);
  } else {
    unsetenv(name);
  }
}

}  // namespace

TTempRegistry::TTempRegistry() {
  std::string pattern = (std::filesystem::temp_directory_path() / "fenwold-reg-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) ADD_FAILURE() << "mkdtemp failed";
  dir_ = pattern;
  path_ = dir_ + "/registry.reg";
  Remember("FENWOLD_REGISTRY", oldRegistry_, hadRegistry_);
  Remember("JOURNAL_STREAM", oldJournal_, hadJournal_);
  setenv("FENWOLD_REGISTRY", path_.c_str(), 1);
  unsetenv("JOURNAL_STREAM");  // problem reports must reach stderr, where tests look
}

TTempRegistry::~TTempRegistry() {
  Restore("FENWOLD_REGISTRY", oldRegistry_, hadRegistry_);
  Restore("JOURNAL_STREAM", oldJournal_, hadJournal_);
  std::error_code ec;
  std::filesystem::remove_all(dir_, ec);
}

void TTempRegistry::Write(std::string_view bytes) const {
  std::ofstream out(path_, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) ADD_FAILURE() << "cannot write " << path_;
}

void TTempRegistry::WriteExport(std::string_view body) const {
  Write("Windows Registry Editor Version 5.00\r\n\r\n" + std::string(body));
}

std::string Utf16Le(std::string_view ascii) {
  std::string out;
  for (char c : ascii) {
    out += c;
    out += '\0';
  }
  return out;
}

}  // namespace fw::test

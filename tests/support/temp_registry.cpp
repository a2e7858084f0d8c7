#include "tests/support/temp_registry.h"

#include <gtest/gtest.h>
#include <stdlib.h>

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

TTempRegistry::TTempRegistry() : path_(dir_.File("registry.reg")) {
  Remember("FENWOLD_REGISTRY", oldRegistry_, hadRegistry_);
  Remember("JOURNAL_STREAM", oldJournal_, hadJournal_);
  setenv("FENWOLD_REGISTRY", path_.c_str(), 1);
  unsetenv("JOURNAL_STREAM");  // problem reports must reach stderr, where tests look
}

TTempRegistry::~TTempRegistry() {
  Restore("FENWOLD_REGISTRY", oldRegistry_, hadRegistry_);
  Restore("JOURNAL_STREAM", oldJournal_, hadJournal_);
}

void TTempRegistry::Write(std::string_view bytes) const {
  if (!WriteFileBytes(path_, std::string(bytes))) ADD_FAILURE() << "cannot write " << path_;
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

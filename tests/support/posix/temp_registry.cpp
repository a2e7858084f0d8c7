#include "tests/support/temp_registry.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "tests/support/test_platform.h"

namespace fw::test {
namespace {

void Remember(const char* name, std::string& value, bool& had) {
  const char* v = std::getenv(name);
  had = v != nullptr;
  if (had) value = v;
}

void Restore(const char* name, const std::string& value, bool had) {
  if (had) {
    SetEnvVar(name, value);
  } else {
    UnsetEnvVar(name);
  }
}

}  // namespace

TTempRegistry::TTempRegistry() : path_(dir_.File("registry.reg")) {
  Remember("FENWOLD_REGISTRY", oldRegistry_, hadRegistry_);
  Remember("JOURNAL_STREAM", oldJournal_, hadJournal_);
  SetEnvVar("FENWOLD_REGISTRY", path_);
  UnsetEnvVar("JOURNAL_STREAM");  // problem reports must reach stderr, where tests look
}

TTempRegistry::~TTempRegistry() {
  Restore("FENWOLD_REGISTRY", oldRegistry_, hadRegistry_);
  Restore("JOURNAL_STREAM", oldJournal_, hadJournal_);
}

void TTempRegistry::Write(std::string_view bytes) const {
  if (!WriteFileBytes(path_, std::string(bytes))) ADD_FAILURE() << "cannot write " << path_;
}

}  // namespace fw::test

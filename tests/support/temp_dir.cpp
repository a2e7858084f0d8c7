#include "tests/support/temp_dir.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "tests/support/test_platform.h"

namespace fw::test {

TTempDir::TTempDir() : path_(MakeTempFolder()) {}

TTempDir::~TTempDir() {
  std::error_code ec;
  // Tests make files read-only or replace files by folders; removal must still work.
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::add, ec);
  std::filesystem::remove_all(path_, ec);
}

bool WriteFileBytes(const std::string& path, const std::string& bytes) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(f);
}

std::string ReadFileBytes(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

}  // namespace fw::test

#include "tests/support/file_holder.h"

#include <filesystem>

namespace fw::test {

bool FileExistsAt(const std::string& path) {
  std::error_code ec;
  return std::filesystem::is_regular_file(std::filesystem::symlink_status(path, ec));
}

}  // namespace fw::test

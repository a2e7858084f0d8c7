#include "tests/support/file_holder.h"

#include <gtest/gtest.h>
#include <windows.h>

namespace fw::test {

TFileHolder::TFileHolder(const std::string& path) {
  HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    ADD_FAILURE() << "holder could not open " << path;
    return;
  }
  handle_ = h;
}

TFileHolder::~TFileHolder() {
  if (handle_ != nullptr) CloseHandle(static_cast<HANDLE>(handle_));
}

}  // namespace fw::test

// Owner of a service control manager handle.
#pragma once

#include <windows.h>

namespace fw {

class TScHandle {
 public:
  explicit TScHandle(SC_HANDLE handle) : h_(handle) {}
  ~TScHandle() {
    if (h_ != nullptr) CloseServiceHandle(h_);
  }
  TScHandle(const TScHandle&) = delete;
  TScHandle& operator=(const TScHandle&) = delete;

  SC_HANDLE get() const { return h_; }
  explicit operator bool() const { return h_ != nullptr; }

 private:
  SC_HANDLE h_;
};

}  // namespace fw

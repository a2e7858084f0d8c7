// Files and paths as the business code needs them; one implementation per platform.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace fw {

extern const char PathDelim;  // '/' or '\\'
// Characters that end a folder part of a path (Windows also takes '/' and a drive's ':').
extern const char PathSeparators[];

std::string ExecutablePath();                      // full path of the running executable
std::string ExtractFilePath(const std::string& p);  // folder with its trailing delimiter
std::string ExtractFileName(const std::string& p);  // name and extension
std::string ExpandFileName(const std::string& p);   // absolute against the current folder
std::string ChangeFileExt(const std::string& p, const std::string& ext);
std::string ExtractFileExt(const std::string& p);   // with its leading '.', or empty

bool FileExists(const std::string& path);       // a regular file
bool DirectoryExists(const std::string& path);
bool ForceDirectories(const std::string& path); // creates every missing parent
bool DeleteFileAt(const std::string& path);
bool RenameFileAt(const std::string& from, const std::string& to);
bool ClearReadOnly(const std::string& path);
bool CreateEmptyFile(const std::string& path);  // creates (or truncates nothing) and closes

// Reads a whole file while denying other writers where the platform can; false on failure.
bool ReadWholeFile(const std::string& path, std::string& contents);

// A file's bytes at any offset, for reading a large file in pieces.
class TFileReader {
 public:
  virtual ~TFileReader() = default;
  // Up to `count` bytes from `offset` (fewer only at the end, none past it); false on a read
  // error.
  virtual bool ReadAt(uint64_t offset, size_t count, std::string& out) = 0;
};

// A file opened for reading only, denying other writers where the platform can (as
// ReadWholeFile does), until closed by the destructor. One thread at a time.
class TReadOnlyFile : public TFileReader {
 public:
  TReadOnlyFile() = default;
  ~TReadOnlyFile() override;
  TReadOnlyFile(const TReadOnlyFile&) = delete;
  TReadOnlyFile& operator=(const TReadOnlyFile&) = delete;

  bool Open(const std::string& path);  // false unless it is a regular file that can be read
  bool ReadAt(uint64_t offset, size_t count, std::string& out) override;

 private:
#ifdef _WIN32
  void* handle_ = nullptr;
#else
  int fd_ = -1;
#endif
};

// A file opened for appending with full sharing; closed by the destructor.
class TSharedAppendFile {
 public:
  TSharedAppendFile() = default;
  ~TSharedAppendFile();
  TSharedAppendFile(const TSharedAppendFile&) = delete;
  TSharedAppendFile& operator=(const TSharedAppendFile&) = delete;

  bool Open(const std::string& path);  // does not create the file
  bool Write(const std::string& bytes);  // true when every byte was written
  void Close();
  bool IsOpen() const;

 private:
#ifdef _WIN32
  void* handle_ = nullptr;
#else
  int fd_ = -1;
#endif
};

void SleepMs(unsigned ms);

std::string HostName();  // this machine's name; empty when it cannot be had

}  // namespace fw

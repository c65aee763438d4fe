#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/open_file.h"

// The file operations the spool needs. Failures are errno values, so every platform reports
// them in the same words.
namespace spool_files {

// A file of the spool, opened for reading and writing and created when missing. Other
// programs may open, write and shorten it at the same time; the spool's locks keep order.
class File : public OpenFile {
 public:
  explicit File(const std::string& path);
  ~File();

  int Size(uint64_t* size) const;
  // Appends up to `count` bytes from `offset` to `out`; fewer at the end of the file.
  int ReadAt(uint64_t offset, size_t count, std::string* out) const;
  int WriteAt(uint64_t offset, std::string_view data);
  int Truncate(uint64_t size);
  // Everything written so far is on the disk.
  int Flush();

 private:
  // Bytes moved by one call of the system, 0 at the end of the file, -1 with `*err`.
  long long ReadSome(uint64_t offset, char* buffer, size_t count, int* err) const;
  long long WriteSome(uint64_t offset, const char* data, size_t count, int* err);

  std::intptr_t m_file = -1;  // a descriptor, or a HANDLE on Windows
};

// A lock file: while one holder has it, every other waits, in any program. Holders in one
// program need locks of their own (one LockFile each), as the OS counts a lock per open file.
class LockFile : public OpenFile {
 public:
  explicit LockFile(const std::string& path);
  ~LockFile();

  void Lock();
  bool TryLock();
  void Unlock();

 private:
  std::intptr_t m_file = -1;
};

// Makes `path` and the folders above it that are missing. 0 or why not.
int MakeFolders(const std::string& path);
// `name` inside `folder`, with the system's separator.
std::string InFolder(const std::string& folder, const std::string& name);
// Where rows wait by default: the user's data folder's charger-updater spool. Empty when the
// system names no such folder.
std::string DefaultSpoolFolder();

}  // namespace spool_files

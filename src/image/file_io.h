#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/open_file.h"

// The few file operations the image and config.ini need. Failures are errno values, so every
// platform reports them in the same words.
namespace file_io {

enum class Kind { Regular, Directory, Other };

// A file opened read-only. Opening a FIFO does not wait for a writer.
class Reader : public OpenFile {
 public:
  explicit Reader(const std::string& path);
  ~Reader();

  bool Describe(Kind* kind, uint64_t* size, int* err) const;
  // Bytes read, 0 at the end, -1 on failure (with *err).
  long long Read(void* buffer, size_t size, int* err);

 private:
  int m_fd = -1;
};

// A file that rows are appended to, shared with other processes: each Append lands whole at
// the file's current end, whoever else appends, and is on the disk when it returns.
class Appender : public OpenFile {
 public:
  // Opens `path` for appending and reading, creating it (mode 0644 before the umask) when it
  // is missing. Opening a FIFO does not wait for a reader.
  explicit Appender(const std::string& path);
  ~Appender();

  bool Created() const { return m_created; }  // the open made the file
  bool Describe(Kind* kind, uint64_t* size, int* err) const;
  // Keeps other appenders of the file, in any process, waiting until Unlock.
  void Lock();
  void Unlock();
  // Bytes read at `offset`, 0 at the end, -1 on failure (with *err).
  long long ReadAt(uint64_t offset, void* buffer, size_t size, int* err) const;
  // 0 once all of `data` is written and flushed, else why not; a failure may leave part of it.
  int Append(const std::string& data);
  // Cuts the file back to `size` bytes; 0 or why not.
  int Truncate(uint64_t size);

 private:
  std::intptr_t m_file = -1;  // a descriptor, or a HANDLE on Windows
  bool m_created = false;
};

// What `path` is, links followed; 0, or why it cannot be told (ENOENT when nothing is there).
int Examine(const std::string& path, Kind* kind);
// Bytes an unprivileged writer may still put on the disk that holds `path`; 0 or why not.
int FreeSpace(const std::string& path, uint64_t* bytes);
// Deletes the file `path`; 0 or why not.
int Remove(const std::string& path);
// The file `path` names with links followed; `path` itself when that cannot be found out.
std::string ResolveLinks(const std::string& path);
// 0 when the existing file may be written, else why not.
int CheckWritable(const std::string& path);
// Writes `content` beside `target` and renames it over, so a crash leaves the old file or the
// new one, never half of one; the file keeps its permissions. 0 or why it failed.
int ReplaceContents(const std::string& target, const std::string& content);

}  // namespace file_io

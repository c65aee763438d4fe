#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The few file operations the image and config.ini need. Failures are errno values, so every
// platform reports them in the same words.
namespace file_io {

enum class Kind { Regular, Directory, Other };

// A file opened read-only. Opening a FIFO does not wait for a writer.
class Reader {
 public:
  explicit Reader(const std::string& path);
  ~Reader();
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;

  int OpenError() const { return m_openError; }  // 0 when open
  bool Describe(Kind* kind, uint64_t* size, int* err) const;
  // Bytes read, 0 at the end, -1 on failure (with *err).
  long long Read(void* buffer, size_t size, int* err);

 private:
  int m_fd = -1;
  int m_openError = 0;
};

// A file that rows are appended to, shared with other processes: each Append lands whole at
// the file's current end, whoever else appends, and is on the disk when it returns.
class Appender {
 public:
  // Opens `path` for appending, creating it (mode 0644 before the umask) when it is missing.
  explicit Appender(const std::string& path);
  ~Appender();
  Appender(const Appender&) = delete;
  Appender& operator=(const Appender&) = delete;

  int OpenError() const { return m_openError; }  // 0 when open
  bool Describe(Kind* kind, uint64_t* size, int* err) const;
  // Keeps other appenders of the file, in any process, waiting until Unlock.
  void Lock();
  void Unlock();
  // 0 once all of `data` is written and flushed, else why not.
  int Append(const std::string& data);

 private:
  std::intptr_t m_file = -1;  // a descriptor, or a HANDLE on Windows
  int m_openError = 0;
};

// The file `path` names with links followed; `path` itself when that cannot be found out.
std::string ResolveLinks(const std::string& path);
// 0 when the existing file may be written, else why not.
int CheckWritable(const std::string& path);
// Writes `content` beside `target` and renames it over, so a crash leaves the old file or the
// new one, never half of one; the file keeps its permissions. 0 or why it failed.
int ReplaceContents(const std::string& target, const std::string& content);

}  // namespace file_io

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "record_file.h"

namespace {
bool EndsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}
}  // namespace

std::string HostName() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return "";
  return name;
}

std::unique_ptr<RecordFile> RecordFile::Open(const std::string& path, std::string* error) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0644);
  if (fd < 0) {
    *error = "cannot write the record " + path + ": " + std::strerror(errno);
    return nullptr;
  }
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    *error = "cannot write the record " + path + ": not a regular file";
    return nullptr;
  }
  std::unique_ptr<RecordFile> file(new RecordFile(path, fd, EndsWith(path, ".jsonl")));
  if (!file->m_jsonLines) {
    // Two updaters starting on one new file must not both write the header.
    ::flock(fd, LOCK_EX);
    const bool empty = ::fstat(fd, &info) == 0 && info.st_size == 0;
    const bool written = !empty || file->WriteLine(CsvHeader(), error);
    ::flock(fd, LOCK_UN);
    if (!written) return nullptr;
  }
  return file;
}

RecordFile::RecordFile(std::string path, std::intptr_t file, bool jsonLines)
    : m_path(std::move(path)), m_file(file), m_jsonLines(jsonLines) {}

RecordFile::~RecordFile() {
  ::close(static_cast<int>(m_file));
}

bool RecordFile::Append(const SessionRecord& record, std::string* error) {
  return WriteLine(m_jsonLines ? RecordJson(record).Text() : CsvRow(record), error);
}

bool RecordFile::WriteLine(const std::string& line, std::string* error) {
  const int fd = static_cast<int>(m_file);
  ssize_t written;
  do {
    written = ::write(fd, line.data(), line.size());
  } while (written < 0 && errno == EINTR);
  if (written != static_cast<ssize_t>(line.size())) {
    *error = "cannot write the record " + m_path + ": " +
             (written < 0 ? std::strerror(errno) : "the disk took only part of the row");
    return false;
  }
  if (::fsync(fd) != 0) {
    *error = "cannot flush the record " + m_path + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

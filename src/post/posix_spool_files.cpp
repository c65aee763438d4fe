#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "post/spool_files.h"

namespace spool_files {
namespace {

int Fd(std::intptr_t file) {
  return static_cast<int>(file);
}

int OpenForWriting(const std::string& path, int* error) {
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOCTTY, 0644);
  *error = fd < 0 ? errno : 0;
  return fd;
}

}  // namespace

File::File(const std::string& path) {
  m_file = OpenForWriting(path, &m_openError);
}

File::~File() {
  if (m_file >= 0) ::close(Fd(m_file));
}

int File::Size(uint64_t* size) const {
  struct stat st {};
  if (::fstat(Fd(m_file), &st) != 0) return errno;
  *size = static_cast<uint64_t>(st.st_size);
  return 0;
}

long long File::ReadSome(uint64_t offset, char* buffer, size_t count, int* err) const {
  for (;;) {
    const ssize_t n = ::pread(Fd(m_file), buffer, count, static_cast<off_t>(offset));
    if (n >= 0) return n;
    if (errno != EINTR) {
      *err = errno;
      return -1;
    }
  }
}

long long File::WriteSome(uint64_t offset, const char* data, size_t count, int* err) {
  for (;;) {
    const ssize_t n = ::pwrite(Fd(m_file), data, count, static_cast<off_t>(offset));
    if (n >= 0) return n;
    if (errno != EINTR) {
      *err = errno;
      return -1;
    }
  }
}

int File::Truncate(uint64_t size) {
  return ::ftruncate(Fd(m_file), static_cast<off_t>(size)) == 0 ? 0 : errno;
}

int File::Flush() {
  return ::fdatasync(Fd(m_file)) == 0 ? 0 : errno;
}

// flock, not fcntl: an fcntl lock belongs to the process, so two threads would both get it.
LockFile::LockFile(const std::string& path) {
  m_file = OpenForWriting(path, &m_openError);
}

LockFile::~LockFile() {
  if (m_file >= 0) ::close(Fd(m_file));
}

void LockFile::Lock() {
  while (::flock(Fd(m_file), LOCK_EX) != 0 && errno == EINTR) {
  }
}

bool LockFile::TryLock() {
  for (;;) {
    if (::flock(Fd(m_file), LOCK_EX | LOCK_NB) == 0) return true;
    if (errno != EINTR) return false;
  }
}

void LockFile::Unlock() {
  ::flock(Fd(m_file), LOCK_UN);
}

int MakeFolders(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
  const size_t slash = path.find_last_of('/');
  if (slash != std::string::npos && slash > 0) {
    if (const int err = MakeFolders(path.substr(0, slash)); err != 0) return err;
  }
  if (::mkdir(path.c_str(), 0755) == 0 || errno == EEXIST) return 0;
  return errno;
}

std::string InFolder(const std::string& folder, const std::string& name) {
  return folder.empty() || folder.back() == '/' ? folder + name : folder + "/" + name;
}

// The XDG base directories: $XDG_DATA_HOME when it is an absolute path, else
// ~/.local/share.
std::string DefaultSpoolFolder() {
  const char* data = std::getenv("XDG_DATA_HOME");
  std::string base;
  if (data != nullptr && data[0] == '/') {
    base = data;
  } else {
    const char* home = std::getenv("HOME");
    if (home == nullptr || home[0] == '\0') {
      const passwd* user = ::getpwuid(::getuid());
      home = user != nullptr ? user->pw_dir : nullptr;
    }
    if (home == nullptr || home[0] == '\0') return "";
    base = InFolder(home, ".local/share");
  }
  return InFolder(base, "charger-updater/spool");
}

}  // namespace spool_files

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <optional>
#include <string_view>
#include <vector>

#include "image/file_io.h"

namespace file_io {
namespace {

bool WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t put = ::write(fd, data.data(), data.size());
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    data.remove_prefix(static_cast<size_t>(put));
  }
  return true;
}

std::string DirectoryOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

Reader::Reader(const std::string& path)
    : m_fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK)) {
  if (m_fd < 0) m_openError = errno;
}

Reader::~Reader() {
  if (m_fd >= 0) ::close(m_fd);
}

bool Reader::Describe(Kind* kind, uint64_t* size, int* err) const {
  struct stat st {};
  if (::fstat(m_fd, &st) != 0) {
    *err = errno;
    return false;
  }
  *kind = S_ISREG(st.st_mode) ? Kind::Regular : S_ISDIR(st.st_mode) ? Kind::Directory : Kind::Other;
  *size = static_cast<uint64_t>(st.st_size);
  return true;
}

long long Reader::Read(void* buffer, size_t size, int* err) {
  for (;;) {
    ssize_t got = ::read(m_fd, buffer, size);
    if (got >= 0) return got;
    if (errno == EINTR) continue;
    *err = errno;
    return -1;
  }
}

Appender::Appender(const std::string& path) {
  constexpr int kFlags = O_RDWR | O_APPEND | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
  int fd = ::open(path.c_str(), kFlags | O_CREAT | O_EXCL, 0644);
  m_created = fd >= 0;
  if (fd < 0 && errno == EEXIST) fd = ::open(path.c_str(), kFlags);
  m_file = fd;
  m_openError = fd < 0 ? errno : 0;
}

Appender::~Appender() {
  if (m_file >= 0) ::close(static_cast<int>(m_file));
}

bool Appender::Describe(Kind* kind, uint64_t* size, int* err) const {
  struct stat st {};
  if (::fstat(static_cast<int>(m_file), &st) != 0) {
    *err = errno;
    return false;
  }
  *kind = S_ISREG(st.st_mode) ? Kind::Regular : S_ISDIR(st.st_mode) ? Kind::Directory : Kind::Other;
  *size = static_cast<uint64_t>(st.st_size);
  return true;
}

void Appender::Lock() {
  while (::flock(static_cast<int>(m_file), LOCK_EX) != 0 && errno == EINTR) {
  }
}

void Appender::Unlock() {
  ::flock(static_cast<int>(m_file), LOCK_UN);
}

long long Appender::ReadAt(uint64_t offset, void* buffer, size_t size, int* err) const {
  for (;;) {
    const ssize_t got = ::pread(static_cast<int>(m_file), buffer, size, static_cast<off_t>(offset));
    if (got >= 0) return got;
    if (errno == EINTR) continue;
    *err = errno;
    return -1;
  }
}

int Appender::Append(const std::string& data) {
  const int fd = static_cast<int>(m_file);
  if (!WriteAll(fd, data)) return errno != 0 ? errno : EIO;
  return ::fsync(fd) == 0 ? 0 : errno;
}

int Appender::Truncate(uint64_t size) {
  const int fd = static_cast<int>(m_file);
  if (::ftruncate(fd, static_cast<off_t>(size)) != 0) return errno;
  return ::fsync(fd) == 0 ? 0 : errno;
}

int Examine(const std::string& path, Kind* kind) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return errno;
  *kind = S_ISREG(st.st_mode) ? Kind::Regular : S_ISDIR(st.st_mode) ? Kind::Directory : Kind::Other;
  return 0;
}

int FreeSpace(const std::string& path, uint64_t* bytes) {
  struct statvfs fs {};
  if (::statvfs(path.c_str(), &fs) != 0 && ::statvfs(DirectoryOf(path).c_str(), &fs) != 0)
    return errno;
  *bytes = static_cast<uint64_t>(fs.f_bavail) * fs.f_frsize;
  return 0;
}

int Remove(const std::string& path) {
  return ::unlink(path.c_str()) == 0 ? 0 : errno;
}

std::string ResolveLinks(const std::string& path) {
  std::string target = path;
  if (char* real = ::realpath(path.c_str(), nullptr)) {
    target = real;
    std::free(real);
  }
  return target;
}

int CheckWritable(const std::string& path) {
  return ::access(path.c_str(), W_OK) == 0 ? 0 : errno;
}

namespace {

// Who the file belonged to and how it was protected, to hand on to its replacement.
struct FileOwner {
  mode_t mode = 0644;  // new file: what the usual umask gives; umask() can't be read safely
  std::optional<uid_t> uid;
  gid_t gid = 0;
};

// The replacement is a new inode: give it the old one's owner where permitted (root, or a
// group the user belongs to), then the mode, which a chown may have cut.
bool TakeOver(int fd, const FileOwner& owner) {
  if (owner.uid && ::fchown(fd, *owner.uid, owner.gid) != 0 &&
      ::fchown(fd, static_cast<uid_t>(-1), owner.gid) != 0) {
    // Not permitted: the file becomes the user's own, as any save of theirs would.
  }
  return ::fchmod(fd, owner.mode) == 0;
}

int Replace(const std::string& target, const std::string& content) {
  FileOwner owner;
  struct stat st {};
  if (::stat(target.c_str(), &st) == 0) {
    owner.mode = st.st_mode & 07777;
    owner.uid = st.st_uid;
    owner.gid = st.st_gid;
  }

  std::string temp = DirectoryOf(target) + "/.config-XXXXXX";
  std::vector<char> name(temp.begin(), temp.end());
  name.push_back('\0');
  int fd = ::mkostemp(name.data(), O_CLOEXEC);
  if (fd < 0) return errno;
  int err = 0;
  bool ok = TakeOver(fd, owner) && WriteAll(fd, content) && ::fsync(fd) == 0;
  if (!ok) err = errno;
  if (::close(fd) != 0 && ok) {
    err = errno;
    ok = false;
  }
  if (ok && ::rename(name.data(), target.c_str()) != 0) {
    err = errno;
    ok = false;
  }
  if (!ok) {
    ::unlink(name.data());
    return err;
  }
  // Make the rename itself durable; failing here loses nothing already written.
  int dir = ::open(DirectoryOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
  return 0;
}

}  // namespace

// A full quota is a full disk to the person at the bench.
int ReplaceContents(const std::string& target, const std::string& content) {
  const int err = Replace(target, content);
  return err == EDQUOT ? ENOSPC : err;
}

}  // namespace file_io

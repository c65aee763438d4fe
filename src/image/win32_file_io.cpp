#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <cerrno>
#include <climits>

#include "image/file_io.h"
#include "image/win32_errno.h"
#include "platform/win32_text.h"

namespace file_io {

int ErrnoOf(unsigned long error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      return EACCES;
    case ERROR_WRITE_PROTECT:
      return EROFS;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return ENOSPC;
    case ERROR_DIRECTORY:  // "the directory name is invalid": a folder that is not there
      return ENOENT;
    case ERROR_FILENAME_EXCED_RANGE:
      return ENAMETOOLONG;
    case ERROR_ALREADY_EXISTS:
    case ERROR_FILE_EXISTS:
      return EEXIST;
    default:
      return EIO;
  }
}

namespace {

std::wstring DirectoryOf(const std::wstring& path) {
  const size_t slash = path.find_last_of(L"\\/");
  if (slash == std::wstring::npos) return L".";
  return path.substr(0, slash + 1);
}

// Wine's ReplaceFileW fails a relative name with ERROR_DIRECTORY; a full one works everywhere.
std::wstring FullPath(const std::wstring& path) {
  const DWORD needed = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (needed == 0) return path;
  std::wstring full(needed, L'\0');
  const DWORD written = GetFullPathNameW(path.c_str(), needed, full.data(), nullptr);
  if (written == 0 || written >= needed) return path;
  full.resize(written);
  return full;
}

bool WriteAll(HANDLE file, const std::string& content) {
  size_t done = 0;
  while (done < content.size()) {
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(content.size() - done, 1u << 20));
    DWORD put = 0;
    if (!WriteFile(file, content.data() + done, chunk, &put, nullptr) || put == 0) return false;
    done += put;
  }
  return true;
}

}  // namespace

Reader::Reader(const std::string& path) {
  const std::wstring wide = Widen(path);
  m_fd = _wopen(wide.c_str(), _O_RDONLY | _O_BINARY | _O_NOINHERIT);
  if (m_fd >= 0) return;
  m_openError = errno;
  // Windows refuses to open a folder as a file; say what it is rather than "access denied".
  const DWORD attributes = GetFileAttributesW(wide.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
    m_openError = EISDIR;
}

Reader::~Reader() {
  if (m_fd >= 0) _close(m_fd);
}

bool Reader::Describe(Kind* kind, uint64_t* size, int* err) const {
  struct _stat64 st {};
  if (_fstat64(m_fd, &st) != 0) {
    *err = errno;
    return false;
  }
  *kind = (st.st_mode & _S_IFMT) == _S_IFREG   ? Kind::Regular
          : (st.st_mode & _S_IFMT) == _S_IFDIR ? Kind::Directory
                                               : Kind::Other;
  *size = static_cast<uint64_t>(st.st_size);
  return true;
}

long long Reader::Read(void* buffer, size_t size, int* err) {
  const int got = _read(m_fd, buffer, static_cast<unsigned>(std::min<size_t>(size, INT_MAX)));
  if (got < 0) *err = errno;
  return got;
}

namespace {
HANDLE HandleOf(std::intptr_t file) {
  return reinterpret_cast<HANDLE>(file);
}
}  // namespace

// Append-only access: every WriteFile lands whole at the current end, whoever else appends.
// Read access is only there so the file can be locked.
Appender::Appender(const std::string& path) {
  const HANDLE file = CreateFileW(
      Widen(path).c_str(), FILE_APPEND_DATA | FILE_READ_DATA | FILE_READ_ATTRIBUTES,
      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  m_file = reinterpret_cast<std::intptr_t>(file);
  m_openError = file == INVALID_HANDLE_VALUE ? ErrnoOf(GetLastError()) : 0;
}

Appender::~Appender() {
  if (m_openError == 0) CloseHandle(HandleOf(m_file));
}

bool Appender::Describe(Kind* kind, uint64_t* size, int* err) const {
  LARGE_INTEGER bytes{};
  if (!GetFileSizeEx(HandleOf(m_file), &bytes)) {
    *err = ErrnoOf(GetLastError());
    return false;
  }
  *kind = GetFileType(HandleOf(m_file)) == FILE_TYPE_DISK ? Kind::Regular : Kind::Other;
  *size = static_cast<uint64_t>(bytes.QuadPart);
  return true;
}

void Appender::Lock() {
  OVERLAPPED whole{};
  LockFileEx(HandleOf(m_file), LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole);
}

void Appender::Unlock() {
  OVERLAPPED whole{};
  UnlockFileEx(HandleOf(m_file), 0, MAXDWORD, MAXDWORD, &whole);
}

int Appender::Append(const std::string& data) {
  if (!WriteAll(HandleOf(m_file), data)) return ErrnoOf(GetLastError());
  return FlushFileBuffers(HandleOf(m_file)) ? 0 : ErrnoOf(GetLastError());
}

std::string ResolveLinks(const std::string& path) {
  return path;
}

int CheckWritable(const std::string& path) {
  const DWORD attributes = GetFileAttributesW(Widen(path).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return ErrnoOf(GetLastError());
  return (attributes & FILE_ATTRIBUTE_READONLY) != 0 ? EACCES : 0;
}

int ReplaceContents(const std::string& target, const std::string& content) {
  const std::wstring wideTarget = FullPath(Widen(target));
  wchar_t temp[MAX_PATH];
  if (GetTempFileNameW(DirectoryOf(wideTarget).c_str(), L"cfg", 0, temp) == 0)
    return ErrnoOf(GetLastError());
  HANDLE file =
      CreateFileW(temp, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const int err = ErrnoOf(GetLastError());
    DeleteFileW(temp);
    return err;
  }
  bool ok = WriteAll(file, content) && FlushFileBuffers(file);
  int err = ok ? 0 : ErrnoOf(GetLastError());
  CloseHandle(file);
  // ReplaceFileW keeps the old file's access rights; a new file just moves in. Wine's drops the
  // attributes (hidden, system), so they are put back by hand.
  if (ok) {
    const DWORD attributes = GetFileAttributesW(wideTarget.c_str());
    const bool exists = attributes != INVALID_FILE_ATTRIBUTES;
    ok = exists ? ReplaceFileW(wideTarget.c_str(), temp, nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS,
                               nullptr, nullptr) != 0
                : MoveFileExW(temp, wideTarget.c_str(), MOVEFILE_WRITE_THROUGH) != 0;
    if (!ok) err = ErrnoOf(GetLastError());
    if (ok && exists) SetFileAttributesW(wideTarget.c_str(), attributes);
  }
  if (!ok) {
    DeleteFileW(temp);
  }
  return err;
}

}  // namespace file_io

#include <windows.h>
// After windows.h:
#include <knownfolders.h>
#include <shlobj.h>

#include <algorithm>
#include <cerrno>

#include "platform/win32_text.h"
#include "post/spool_files.h"

namespace spool_files {
namespace {

int ErrnoOf(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_DIRECTORY:
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
    case ERROR_FILENAME_EXCED_RANGE:
      return ENAMETOOLONG;
    case ERROR_ALREADY_EXISTS:
    case ERROR_FILE_EXISTS:
      return EEXIST;
    default:
      return EIO;
  }
}

int LastError() {
  return ErrnoOf(GetLastError());
}

HANDLE HandleOf(std::intptr_t file) {
  return reinterpret_cast<HANDLE>(file);
}

// Shared every way: other programs append, read and shorten the same files.
std::intptr_t OpenForWriting(const std::string& path, int* error) {
  const HANDLE file = CreateFileW(Widen(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  *error = file == INVALID_HANDLE_VALUE ? LastError() : 0;
  return reinterpret_cast<std::intptr_t>(file);
}

OVERLAPPED At(uint64_t offset) {
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  return at;
}

}  // namespace

File::File(const std::string& path) {
  m_file = OpenForWriting(path, &m_openError);
}

File::~File() {
  if (m_openError == 0) CloseHandle(HandleOf(m_file));
}

int File::Size(uint64_t* size) const {
  LARGE_INTEGER bytes{};
  if (!GetFileSizeEx(HandleOf(m_file), &bytes)) return LastError();
  *size = static_cast<uint64_t>(bytes.QuadPart);
  return 0;
}

int File::ReadAt(uint64_t offset, size_t count, std::string* out) const {
  const size_t start = out->size();
  out->resize(start + count);
  size_t got = 0;
  while (got < count) {
    OVERLAPPED at = At(offset + got);
    DWORD n = 0;
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(count - got, 1u << 20));
    if (!ReadFile(HandleOf(m_file), out->data() + start + got, chunk, &n, &at)) {
      if (GetLastError() == ERROR_HANDLE_EOF) break;
      out->resize(start + got);
      return LastError();
    }
    if (n == 0) break;
    got += n;
  }
  out->resize(start + got);
  return 0;
}

int File::WriteAt(uint64_t offset, std::string_view data) {
  while (!data.empty()) {
    OVERLAPPED at = At(offset);
    DWORD n = 0;
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(data.size(), 1u << 20));
    if (!WriteFile(HandleOf(m_file), data.data(), chunk, &n, &at)) return LastError();
    if (n == 0) return EIO;
    data.remove_prefix(n);
    offset += n;
  }
  return 0;
}

int File::Truncate(uint64_t size) {
  FILE_END_OF_FILE_INFO end{};
  end.EndOfFile.QuadPart = static_cast<LONGLONG>(size);
  return SetFileInformationByHandle(HandleOf(m_file), FileEndOfFileInfo, &end, sizeof end)
             ? 0
             : LastError();
}

int File::Flush() {
  return FlushFileBuffers(HandleOf(m_file)) ? 0 : LastError();
}

// LockFileEx belongs to the handle: a second handle in the same program waits like any other.
LockFile::LockFile(const std::string& path) {
  m_file = OpenForWriting(path, &m_openError);
}

LockFile::~LockFile() {
  if (m_openError == 0) CloseHandle(HandleOf(m_file));
}

void LockFile::Lock() {
  OVERLAPPED whole{};
  LockFileEx(HandleOf(m_file), LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole);
}

bool LockFile::TryLock() {
  OVERLAPPED whole{};
  return LockFileEx(HandleOf(m_file), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0,
                    MAXDWORD, MAXDWORD, &whole) != 0;
}

void LockFile::Unlock() {
  OVERLAPPED whole{};
  UnlockFileEx(HandleOf(m_file), 0, MAXDWORD, MAXDWORD, &whole);
}

int MakeFolders(const std::string& path) {
  const std::wstring wide = Widen(path);
  const DWORD attributes = GetFileAttributesW(wide.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES)
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? 0 : ENOTDIR;
  const size_t slash = path.find_last_of("\\/");
  // "C:" and "\\server\share" are not made; the recursion ends at them.
  if (slash != std::string::npos && slash > 0 && path[slash - 1] != ':' &&
      path.find_first_not_of("\\/") < slash) {
    if (const int err = MakeFolders(path.substr(0, slash)); err != 0) return err;
  }
  if (CreateDirectoryW(wide.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS) return 0;
  return LastError();
}

std::string InFolder(const std::string& folder, const std::string& name) {
  if (folder.empty() || folder.back() == '\\' || folder.back() == '/') return folder + name;
  return folder + "\\" + name;
}

// %LOCALAPPDATA% as the shell knows it; the variable itself is missing in some sessions.
std::string DefaultSpoolFolder() {
  wchar_t* data = nullptr;
  if (SHGetKnownFolderPath(FOLDERID_LocalAppData, KF_FLAG_DEFAULT, nullptr, &data) != S_OK) {
    CoTaskMemFree(data);
    return "";
  }
  const std::string folder = Narrow(data);
  CoTaskMemFree(data);
  return InFolder(InFolder(folder, "Charger Updater"), "spool");
}

}  // namespace spool_files

#include <windows.h>
// After windows.h:
#include <knownfolders.h>
#include <shlobj.h>

#include <algorithm>
#include <cerrno>

#include "image/win32_errno.h"
#include "platform/win32_text.h"
#include "post/spool_files.h"

namespace spool_files {
namespace {

int LastError() {
  return file_io::ErrnoOf(GetLastError());
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

long long File::ReadSome(uint64_t offset, char* buffer, size_t count, int* err) const {
  OVERLAPPED at = At(offset);
  DWORD n = 0;
  const DWORD chunk = static_cast<DWORD>(std::min<size_t>(count, 1u << 20));
  if (ReadFile(HandleOf(m_file), buffer, chunk, &n, &at)) return n;
  if (GetLastError() == ERROR_HANDLE_EOF) return 0;
  *err = LastError();
  return -1;
}

long long File::WriteSome(uint64_t offset, const char* data, size_t count, int* err) {
  OVERLAPPED at = At(offset);
  DWORD n = 0;
  const DWORD chunk = static_cast<DWORD>(std::min<size_t>(count, 1u << 20));
  if (WriteFile(HandleOf(m_file), data, chunk, &n, &at)) return n;
  *err = LastError();
  return -1;
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

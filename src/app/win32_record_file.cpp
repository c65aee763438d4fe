#include <windows.h>

#include <string>

#include "record_file.h"
#include "res/win32_text.h"

namespace {

std::string ErrorText(DWORD error) {
  wchar_t* text = nullptr;
  FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  if (text == nullptr) return "error " + std::to_string(error);
  std::wstring wide(text);
  LocalFree(text);
  while (!wide.empty() && (wide.back() == L'\n' || wide.back() == L'\r')) wide.pop_back();
  return Narrow(wide);
}

bool EndsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

HANDLE HandleOf(std::intptr_t file) {
  return reinterpret_cast<HANDLE>(file);
}

}  // namespace

std::string HostName() {
  wchar_t name[256];
  DWORD size = sizeof name / sizeof name[0];
  if (!GetComputerNameExW(ComputerNameDnsHostname, name, &size)) return "";
  return Narrow(std::wstring(name, size));
}

std::unique_ptr<RecordFile> RecordFile::Open(const std::string& path, std::string* error) {
  // Append-only access: every WriteFile lands whole at the current end, whoever else appends.
  // Read access is only there so the header check can lock the file.
  const HANDLE file = CreateFileW(
      Widen(path).c_str(), FILE_APPEND_DATA | FILE_READ_DATA | FILE_READ_ATTRIBUTES,
      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    *error = "cannot write the record " + path + ": " + ErrorText(GetLastError());
    return nullptr;
  }
  if (GetFileType(file) != FILE_TYPE_DISK) {
    CloseHandle(file);
    *error = "cannot write the record " + path + ": not a regular file";
    return nullptr;
  }
  std::unique_ptr<RecordFile> record(
      new RecordFile(path, reinterpret_cast<std::intptr_t>(file), EndsWith(path, ".jsonl")));
  if (!record->m_jsonLines) {
    // Two updaters starting on one new file must not both write the header.
    OVERLAPPED whole{};
    const bool locked = LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole);
    LARGE_INTEGER size{};
    const bool empty = GetFileSizeEx(file, &size) && size.QuadPart == 0;
    const bool written = !empty || record->WriteLine(CsvHeader(), error);
    if (locked) UnlockFileEx(file, 0, MAXDWORD, MAXDWORD, &whole);
    if (!written) return nullptr;
  }
  return record;
}

RecordFile::RecordFile(std::string path, std::intptr_t file, bool jsonLines)
    : m_path(std::move(path)), m_file(file), m_jsonLines(jsonLines) {}

RecordFile::~RecordFile() {
  CloseHandle(HandleOf(m_file));
}

bool RecordFile::Append(const SessionRecord& record, std::string* error) {
  return WriteLine(m_jsonLines ? RecordJson(record).Text() : CsvRow(record), error);
}

bool RecordFile::WriteLine(const std::string& line, std::string* error) {
  DWORD written = 0;
  if (!WriteFile(HandleOf(m_file), line.data(), DWORD(line.size()), &written, nullptr) ||
      written != line.size()) {
    *error = "cannot write the record " + m_path + ": " +
             (written == 0 ? ErrorText(GetLastError()) : "the disk took only part of the row");
    return false;
  }
  if (!FlushFileBuffers(HandleOf(m_file))) {
    *error = "cannot flush the record " + m_path + ": " + ErrorText(GetLastError());
    return false;
  }
  return true;
}

#include "serial/win32_port_path.h"

#include <windows.h>

#include <cwctype>

#include "platform/win32_text.h"
#include "serial/port_path.h"

namespace {

// "COM7" or "\\.\COM7", as the ports are named; the number part only.
bool IsComName(std::wstring name, std::wstring* dosName) {
  if (name.rfind(L"\\\\.\\", 0) == 0) name = name.substr(4);
  if (name.size() < 4 || _wcsnicmp(name.c_str(), L"COM", 3) != 0) return false;
  for (size_t i = 3; i < name.size(); ++i)
    if (!std::iswdigit(name[i])) return false;
  *dosName = name;
  return true;
}

bool DosDeviceExists(const std::wstring& name) {
  wchar_t target[512];
  return QueryDosDeviceW(name.c_str(), target, 512) != 0;
}

}  // namespace

std::wstring DevicePath(const std::string& name) {
  const std::wstring wide = Widen(name);
  if (wide.size() >= 5 && wide.find(L'\\') == std::wstring::npos) return L"\\\\.\\" + wide;
  return wide;
}

std::wstring PortKey(const std::string& name) {
  std::wstring key = Widen(name);
  if (key.rfind(L"\\\\.\\", 0) == 0) key = key.substr(4);
  for (wchar_t& c : key) c = c == L'\\' ? L'_' : static_cast<wchar_t>(std::towupper(c));
  return key;
}

// Windows names its serial ports COMn; a console is never one, so there is no own terminal
// to refuse here.
PortPathKind ClassifyPortPath(const std::string& path) {
  if (path.empty()) return PortPathKind::NotTerminal;
  std::wstring dosName;
  if (IsComName(Widen(path), &dosName))
    return DosDeviceExists(dosName) ? PortPathKind::Terminal : PortPathKind::Missing;
  const DWORD attributes = GetFileAttributesW(Widen(path).c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES) return PortPathKind::NotTerminal;
  return PortPathKind::Missing;
}

std::string DescribePortPath(const std::string& path) {
  std::wstring dosName;
  if (IsComName(Widen(path), &dosName)) return "a serial port";
  const DWORD attributes = GetFileAttributesW(Widen(path).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return "not a device";
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return "a directory";
  return "a regular file";
}

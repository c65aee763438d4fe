#include <windows.h>

#include "platform/host_name.h"
#include "platform/win32_text.h"

std::string HostName() {
  wchar_t name[256];
  DWORD size = sizeof name / sizeof name[0];
  if (!GetComputerNameExW(ComputerNameDnsHostname, name, &size)) return "";
  return Narrow(std::wstring(name, size));
}

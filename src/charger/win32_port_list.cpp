#include <windows.h>

#include <algorithm>

#include "charger/port_list.h"
#include "platform/win32_text.h"

// Every serial driver names its ports here, present ones only; the values are the COM names.
std::vector<std::string> SystemSerialPorts() {
  std::vector<std::string> ports;
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) !=
      ERROR_SUCCESS)
    return ports;
  for (DWORD index = 0;; ++index) {
    wchar_t name[256];
    DWORD nameLength = 256;
    wchar_t data[256];
    DWORD dataBytes = sizeof data;
    DWORD type = 0;
    const LONG result = RegEnumValueW(key, index, name, &nameLength, nullptr, &type,
                                      reinterpret_cast<BYTE*>(data), &dataBytes);
    if (result == ERROR_NO_MORE_ITEMS) break;
    if (result != ERROR_SUCCESS || type != REG_SZ) continue;
    size_t length = dataBytes / sizeof(wchar_t);
    while (length > 0 && data[length - 1] == L'\0') --length;
    if (length > 0) ports.push_back(Narrow(std::wstring(data, length)));
  }
  RegCloseKey(key);
  std::sort(ports.begin(), ports.end(), PortNameLess);
  ports.erase(std::unique(ports.begin(), ports.end()), ports.end());
  return ports;
}

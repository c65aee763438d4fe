// The COM ports Windows lists, in the order a search probes them.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>

#include "charger/port_list.h"

namespace {

constexpr wchar_t kSerialComm[] = L"HARDWARE\\DEVICEMAP\\SERIALCOMM";

TEST(Win32Ports, RegistryNamesInNaturalOrder) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kSerialComm, 0, nullptr, REG_OPTION_VOLATILE,
                            KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  const std::pair<const wchar_t*, const wchar_t*> devices[] = {
      {L"\\Device\\TestSerial10", L"COM10"},
      {L"\\Device\\TestSerial2", L"COM2"},
      {L"\\Device\\TestUsb", L"COM31"}};
  for (const auto& [device, port] : devices)
    RegSetValueExW(key, device, 0, REG_SZ, reinterpret_cast<const BYTE*>(port),
                   static_cast<DWORD>((wcslen(port) + 1) * sizeof(wchar_t)));
  // Not a port name: skipped.
  const DWORD number = 7;
  RegSetValueExW(key, L"\\Device\\TestNumber", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number),
                 sizeof number);

  const std::vector<std::string> ports = SystemSerialPorts();
  for (const auto& [device, port] : devices) RegDeleteValueW(key, device);
  RegDeleteValueW(key, L"\\Device\\TestNumber");
  RegCloseKey(key);

  auto at = [&](const char* name) { return std::find(ports.begin(), ports.end(), name); };
  ASSERT_NE(at("COM2"), ports.end());
  ASSERT_NE(at("COM10"), ports.end());
  ASSERT_NE(at("COM31"), ports.end());
  EXPECT_LT(at("COM2"), at("COM10")) << "COM2 before COM10";
  EXPECT_LT(at("COM10"), at("COM31"));
  EXPECT_TRUE(std::is_sorted(ports.begin(), ports.end(), PortNameLess));

  _putenv_s("CHARGER_UPDATER_PORTS", "COM7, COM3");
  EXPECT_EQ(ListSerialPorts(), (std::vector<std::string>{"COM7", "COM3"}));
  _putenv_s("CHARGER_UPDATER_PORTS", "");
}

}  // namespace

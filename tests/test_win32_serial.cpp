// What only the Win32 channel has: COM names. What both channels must do is in
// test_serial_channel.cpp; transfers through it run against the simulated charger in
// scripts/test-windows.sh.
#include <gtest/gtest.h>
#include <windows.h>

#include <cerrno>

#include "serial/port_path.h"
#include "serial/serial_port.h"

namespace {

TEST(Win32Serial, AbsentPortsAndClosedChannel) {
  CSerial serial;
  const uint8_t probe = '0';
  EXPECT_EQ(serial.WritePort(&probe, 1), 0) << "closed: nothing to write to";
  EXPECT_EQ(serial.ClosePort(), 0);
  // Both spellings: the five-letter name gets the device prefix, a longer one too.
  for (const char* name : {"COM9", "COM77", "COM123", "\\\\.\\COM66"}) {
    EXPECT_EQ(serial.OpenPort(name, nullptr), 0) << name;
    EXPECT_EQ(serial.LastOpenError(), ENOENT) << name;
    EXPECT_FALSE(serial.IsOpen());
  }
  EXPECT_EQ(serial.OpenPort(nullptr, nullptr), 0);
  EXPECT_EQ(serial.LastOpenError(), EINVAL);
}

}  // namespace

namespace {

// What --ports accepts on Windows: COM names whether or not the port is there now; files and
// folders never.
TEST(Win32PortPath, ComNamesAndFiles) {
  EXPECT_EQ(ClassifyPortPath("COM87"), PortPathKind::Missing) << "may be plugged in later";
  EXPECT_EQ(ClassifyPortPath("\\\\.\\com87"), PortPathKind::Missing);
  EXPECT_EQ(ClassifyPortPath("COMX"), PortPathKind::Missing) << "not a port, not a file either";
  EXPECT_EQ(ClassifyPortPath(""), PortPathKind::NotTerminal);

  char exe[MAX_PATH];
  ASSERT_GT(GetModuleFileNameA(nullptr, exe, MAX_PATH), 0u);
  EXPECT_EQ(ClassifyPortPath(exe), PortPathKind::NotTerminal);
  EXPECT_EQ(DescribePortPath(exe), "a regular file");
  char folder[MAX_PATH];
  ASSERT_GT(GetTempPathA(MAX_PATH, folder), 0u);
  EXPECT_EQ(ClassifyPortPath(folder), PortPathKind::NotTerminal);
  EXPECT_EQ(DescribePortPath(folder), "a directory");
}

}  // namespace

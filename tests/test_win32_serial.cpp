// The Win32 channel's refusals; transfers through it run against the simulated charger in
// scripts/test-windows.sh.
#include <gtest/gtest.h>

#include <cerrno>

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

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "serial/port_path.h"

namespace fs = std::filesystem;

namespace {

// Unix98 pty slaves have no entry under /sys/dev/char, so they are known by number.
constexpr unsigned kFirstPtySlaveMajor = 136;
constexpr unsigned kLastPtySlaveMajor = 143;
// /dev/tty, /dev/console and /dev/ptmx: tty class devices, but never a charger's port (the
// first two are someone's terminal, the last makes a new pty on every open).
constexpr unsigned kTtyAliasMajor = 5;
constexpr unsigned kUartMajor = 4;  // ttyS*
constexpr unsigned kAcmMajor = 166;
constexpr unsigned kUsbSerialMajor = 188;

bool IsTtyDevice(dev_t device) {
  const unsigned maj = major(device);
  if (maj >= kFirstPtySlaveMajor && maj <= kLastPtySlaveMajor) return true;
  if (maj == kTtyAliasMajor) return false;
  std::error_code ec;
  const fs::path subsystem = fs::read_symlink(
      "/sys/dev/char/" + std::to_string(maj) + ":" + std::to_string(minor(device)) + "/subsystem",
      ec);
  if (!ec) return subsystem.filename() == "tty";
  // Without sysfs (some containers) only the serial drivers' own numbers are trusted.
  if (fs::exists("/sys/dev/char", ec)) return false;
  return maj == kUartMajor || maj == kAcmMajor || maj == kUsbSerialMajor;
}

// The controlling terminal's device number from /proc/self/stat (0: none).
dev_t ControllingTerminal() {
  std::ifstream in("/proc/self/stat");
  std::string line;
  if (!std::getline(in, line)) return 0;
  // The command name may hold blanks and parentheses; the fields after it do not.
  const size_t close = line.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(line.substr(close + 1));
  std::string state;
  long ppid = 0, pgrp = 0, session = 0;
  unsigned long ttyNr = 0;
  if (!(fields >> state >> ppid >> pgrp >> session >> ttyNr)) return 0;
  const unsigned maj = (ttyNr >> 8) & 0xfff;
  const unsigned min = (ttyNr & 0xff) | ((ttyNr >> 12) & 0xfff00);
  return ttyNr == 0 ? 0 : makedev(maj, min);
}

bool IsOwnTerminal(dev_t device) {
  for (int fd = 0; fd <= 2; ++fd) {
    struct stat st;
    if (::fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) && st.st_rdev == device && ::isatty(fd))
      return true;
  }
  const dev_t controlling = ControllingTerminal();
  return controlling != 0 && controlling == device;
}

}  // namespace

PortPathKind ClassifyPortPath(const std::string& path) {
  struct stat st;
  if (path.empty()) return PortPathKind::NotTerminal;
  if (::stat(path.c_str(), &st) != 0)
    return (errno == ENOENT || errno == ENOTDIR) ? PortPathKind::Missing : PortPathKind::Unknown;
  if (!S_ISCHR(st.st_mode) || !IsTtyDevice(st.st_rdev)) return PortPathKind::NotTerminal;
  return IsOwnTerminal(st.st_rdev) ? PortPathKind::OwnTerminal : PortPathKind::Terminal;
}

std::string DescribePortPath(const std::string& path) {
  struct stat st;
  if (path.empty() || ::stat(path.c_str(), &st) != 0) return "not a device";
  if (S_ISREG(st.st_mode)) return "a regular file";
  if (S_ISDIR(st.st_mode)) return "a directory";
  if (S_ISFIFO(st.st_mode)) return "a FIFO";
  if (S_ISSOCK(st.st_mode)) return "a socket";
  if (S_ISBLK(st.st_mode)) return "a block device";
  if (S_ISCHR(st.st_mode)) {
    if (IsOwnTerminal(st.st_rdev)) return "this program's own terminal";
    if (major(st.st_rdev) == kTtyAliasMajor) return "a terminal alias, not a port";
    return IsTtyDevice(st.st_rdev) ? "a terminal device" : "a device that is not a terminal";
  }
  return "not a device";
}

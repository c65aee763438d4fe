#include "charger/posix_port_list.h"

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "charger/port_list.h"

namespace fs = std::filesystem;

namespace {

// -1 when the attribute is missing or unreadable.
long ReadNumber(const fs::path& file) {
  std::ifstream in(file);
  long value = -1;
  if (!(in >> value)) return -1;
  return value;
}

// Whether a tty that has a device behind it is worth probing. The 8250 driver registers
// ttyS0..ttyS<nr_uarts-1> whether or not a UART answers at those addresses; serial-core ports
// expose the detected UART type, and 0 (PORT_UNKNOWN) marks such a phantom. The driver name
// no longer tells on current kernels (every serial-core port hangs off the generic "port"
// driver), so it only decides on kernels too old to have the `type` attribute.
bool HasRealPort(const fs::path& entry) {
  std::error_code ec;
  if (fs::exists(entry / "type", ec)) return ReadNumber(entry / "type") > 0;
  fs::path driver = fs::read_symlink(entry / "device" / "driver", ec);
  return ec || driver.filename() != "serial8250";
}

}  // namespace

std::vector<std::string> SerialPortsIn(const std::string& ttyClassDir) {
  std::vector<std::string> ports;
  std::error_code ec;
  fs::directory_iterator it(ttyClassDir, ec), end;
  for (; !ec && it != end; it.increment(ec)) {
    const fs::path& entry = it->path();
    std::error_code ignored;
    // Consoles, ptys and other virtual ttys have no device link.
    if (!fs::exists(entry / "device", ignored)) continue;
    if (!HasRealPort(entry)) continue;
    ports.push_back("/dev/" + entry.filename().string());
  }
  std::sort(ports.begin(), ports.end(), PortNameLess);
  return ports;
}

std::vector<std::string> SystemSerialPorts() {
  return SerialPortsIn("/sys/class/tty");
}

std::string PortDeviceKey(const std::string& port) {
  struct stat st {};
  if (::stat(port.c_str(), &st) != 0) return "name:" + port;
  // A device is its number; anything else (refused later) its file.
  if (S_ISCHR(st.st_mode)) return "device:" + std::to_string(st.st_rdev);
  return "file:" + std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
}

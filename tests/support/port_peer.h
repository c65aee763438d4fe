#pragma once

// The far end of a serial line, playing the charger for the channel under test. On Linux it
// is a pty master in this process; under Wine a Windows program cannot make a pty, so the
// Windows twin asks a Linux-side host program (tests/wine/pty_peer_host.cpp) to keep the
// master for it. The build chooses the twin.

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace serialtest {

using Bytes = std::vector<uint8_t>;

// What the port's end of the line is set to.
struct LineSettings {
  unsigned speed = 0;  // bits per second
  int dataBits = 8;
  char parity = 'N';  // 'N', 'E' or 'O'
  int stopBits = 1;
  bool raw = false;          // no line editing, echo, signals or output processing
  bool flowControl = false;  // RTS/CTS or XON/XOFF; SetLine sets XON/XOFF
};

class PortPeer {
 public:
  // A fresh line with nobody at the port end; a failure to make one fails the test.
  PortPeer();
  ~PortPeer();
  PortPeer(const PortPeer&) = delete;
  PortPeer& operator=(const PortPeer&) = delete;

  // What the channel under test opens.
  const std::string& PortName() const;
  void Send(const Bytes& bytes);
  // Up to `want` bytes; gives up once nothing has come for `quiet`.
  Bytes Receive(size_t want, std::chrono::milliseconds quiet = std::chrono::milliseconds(500));
  // The cable pulled: the port's end sees a hang-up.
  void Unplug();
  LineSettings Line();
  // As another program might have left the port.
  void SetLine(const LineSettings& line);
  // Whether another updater would be kept off the port now.
  bool Held();

  struct Far;

 private:
  std::unique_ptr<Far> m_far;
};

// A port name that names nothing there.
std::string AbsentPortName();

// Bytes as the pty host's lines carry them.
inline std::string HexOf(const Bytes& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (uint8_t b : bytes) text += {kDigits[b >> 4], kDigits[b & 15]};
  return text;
}
inline Bytes BytesOfHex(const std::string& text) {
  Bytes bytes;
  for (size_t i = 0; i + 1 < text.size(); i += 2)
    bytes.push_back(static_cast<uint8_t>(std::stoi(text.substr(i, 2), nullptr, 16)));
  return bytes;
}

}  // namespace serialtest

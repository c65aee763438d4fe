// The far end as a pty master that tests/wine/pty_peer_host.cpp keeps on the Linux side;
// SERIAL_PEER_HOST (host:port on 127.0.0.1) says where, and its pty is this test's COM port.

#include <winsock2.h>
#include <ws2tcpip.h>
// After Winsock, which must come before it.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdlib>
#include <sstream>

#include "port_peer.h"

namespace serialtest {

struct PortPeer::Far {
  SOCKET socket = INVALID_SOCKET;
  std::string portName;
  std::string received;

  // One request, one line of answer; "" when the host is not there.
  std::string Ask(const std::string& request) {
    const std::string line = request + "\n";
    if (send(socket, line.data(), static_cast<int>(line.size()), 0) != int(line.size())) return "";
    size_t end;
    while ((end = received.find('\n')) == std::string::npos) {
      char buffer[4096];
      const int n = recv(socket, buffer, sizeof buffer, 0);
      if (n <= 0) return "";
      received.append(buffer, size_t(n));
    }
    const std::string answer = received.substr(0, end);
    received.erase(0, end + 1);
    return answer;
  }
};

namespace {

SOCKET Connect() {
  const char* host = std::getenv("SERIAL_PEER_HOST");
  if (host == nullptr) return INVALID_SOCKET;
  const std::string where = host;
  const size_t colon = where.rfind(':');
  WSADATA data;
  if (colon == std::string::npos || WSAStartup(MAKEWORD(2, 2), &data) != 0) return INVALID_SOCKET;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<u_short>(std::stoi(where.substr(colon + 1))));
  inet_pton(AF_INET, where.substr(0, colon).c_str(), &address.sin_addr);
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return s;
  closesocket(s);
  return INVALID_SOCKET;
}

}  // namespace

PortPeer::PortPeer() : m_far(std::make_unique<Far>()) {
  m_far->socket = Connect();
  m_far->portName = m_far->Ask("name");
  EXPECT_FALSE(m_far->portName.empty())
      << "no pty host at SERIAL_PEER_HOST; scripts/test-windows.sh starts one";
}

PortPeer::~PortPeer() {
  if (m_far->socket != INVALID_SOCKET) closesocket(m_far->socket);
}

const std::string& PortPeer::PortName() const {
  return m_far->portName;
}

void PortPeer::Send(const Bytes& bytes) {
  ASSERT_EQ(m_far->Ask("send " + HexOf(bytes)), "ok");
}

Bytes PortPeer::Receive(size_t want, std::chrono::milliseconds quiet) {
  const std::string answer =
      m_far->Ask("recv " + std::to_string(want) + " " + std::to_string(quiet.count()));
  return BytesOfHex(answer.substr(answer.empty() ? 0 : 1));  // after the leading '='
}

void PortPeer::Unplug() {
  EXPECT_EQ(m_far->Ask("unplug"), "ok");
}

LineSettings PortPeer::Line() {
  std::istringstream in(m_far->Ask("line"));
  LineSettings line;
  in >> line.speed >> line.dataBits >> line.parity >> line.stopBits >> line.raw >> line.flowControl;
  return line;
}

void PortPeer::SetLine(const LineSettings& line) {
  std::ostringstream request;
  request << "setline " << line.speed << ' ' << line.dataBits << ' ' << line.parity << ' '
          << line.stopBits << ' ' << line.flowControl;
  ASSERT_EQ(m_far->Ask(request.str()), "ok");
}

// The object another updater's open would find.
bool PortPeer::Held() {
  const std::wstring name = L"Global\\charger-updater-port-" +
                            std::wstring(m_far->portName.begin(), m_far->portName.end());
  HANDLE hold = OpenMutexW(SYNCHRONIZE, FALSE, name.c_str());
  if (hold != nullptr) CloseHandle(hold);
  return hold != nullptr;
}

std::string AbsentPortName() {
  return "COM9";
}

}  // namespace serialtest

// Test only: keeps the far ends of serial lines for the Windows channel tests under Wine, which
// cannot make a pty themselves. Each TCP connection on 127.0.0.1 gets a fresh pty; its slave
// is linked at --link, which the Wine prefix names as a COM port, and the connection's lines
// drive the far end (tests/support/win32_port_peer.cpp speaks the other side):
//   name | send HEX | recv COUNT QUIET_MS | unplug | line | setline SPEED BITS PARITY STOP FLOW
// Each is answered with one line. Prints the port it listens on, then serves until killed.
//   pty_peer_host --link PATH --name COM20

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>

#include "sim/pty.h"
#include "support/port_peer.h"

using serialtest::Bytes;
using serialtest::PortPeer;

namespace {

bool ReadLine(int socket, std::string* line) {
  line->clear();
  char c;
  while (recv(socket, &c, 1, 0) == 1) {
    if (c == '\n') return true;
    *line += c;
  }
  return false;
}

std::string Answer(PortPeer& peer, const std::string& name, const std::string& request) {
  std::istringstream in(request);
  std::string command;
  in >> command;
  if (command == "name") return name;
  if (command == "send") {
    std::string hex;
    in >> hex;
    peer.Send(serialtest::BytesOfHex(hex));
    return "ok";
  }
  if (command == "recv") {
    size_t want = 0;
    int quietMs = 0;
    in >> want >> quietMs;
    std::string reply = "=";  // not "=" + HexOf(...): GCC 12 -O3 warns falsely on that (-Wrestrict)
    reply += serialtest::HexOf(peer.Receive(want, std::chrono::milliseconds(quietMs)));
    return reply;
  }
  if (command == "unplug") {
    peer.Unplug();
    return "ok";
  }
  if (command == "line") {
    const serialtest::LineSettings line = peer.Line();
    std::ostringstream out;
    out << line.speed << ' ' << line.dataBits << ' ' << line.parity << ' ' << line.stopBits << ' '
        << line.raw << ' ' << line.flowControl;
    return out.str();
  }
  if (command == "setline") {
    serialtest::LineSettings line;
    in >> line.speed >> line.dataBits >> line.parity >> line.stopBits >> line.flowControl;
    peer.SetLine(line);
    return "ok";
  }
  return "unknown command";
}

}  // namespace

int main(int argc, char** argv) {
  std::string link, name;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--link") == 0) link = argv[i + 1];
    if (std::strcmp(argv[i], "--name") == 0) name = argv[i + 1];
  }
  if (link.empty() || name.empty()) {
    std::fprintf(stderr, "usage: pty_peer_host --link PATH --name COMn\n");
    return 2;
  }
  const int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  if (bind(listener, reinterpret_cast<sockaddr*>(&address), size) != 0 || listen(listener, 4) ||
      getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    std::perror("pty_peer_host");
    return 1;
  }
  std::printf("%d\n", ntohs(address.sin_port));
  std::fflush(stdout);

  for (;;) {
    const int client = accept(listener, nullptr, nullptr);
    if (client < 0) continue;
    {
      PortPeer peer;
      std::string error;
      if (!chargersim::PointLink(link, peer.PortName(), &error))
        std::fprintf(stderr, "pty_peer_host: %s\n", error.c_str());
      std::string request;
      while (ReadLine(client, &request)) {
        const std::string reply = Answer(peer, name, request) + "\n";
        if (send(client, reply.data(), reply.size(), MSG_NOSIGNAL) < 0) break;
      }
      chargersim::RemoveLink(link);
    }
    close(client);
  }
}

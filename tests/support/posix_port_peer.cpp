// The far end as a pty master in this process.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "port_peer.h"

namespace serialtest {

struct PortPeer::Far {
  int master = -1;
  std::string slave;
};

PortPeer::PortPeer() : m_far(std::make_unique<Far>()) {
  m_far->master = posix_openpt(O_RDWR | O_NOCTTY);
  EXPECT_GE(m_far->master, 0);
  EXPECT_EQ(grantpt(m_far->master), 0);
  EXPECT_EQ(unlockpt(m_far->master), 0);
  m_far->slave = ptsname(m_far->master);
}

PortPeer::~PortPeer() {
  Unplug();
}

const std::string& PortPeer::PortName() const {
  return m_far->slave;
}

void PortPeer::Send(const Bytes& bytes) {
  ASSERT_EQ(write(m_far->master, bytes.data(), bytes.size()), ssize_t(bytes.size()));
}

Bytes PortPeer::Receive(size_t want, std::chrono::milliseconds quiet) {
  Bytes got(want);
  size_t n = 0;
  pollfd p{m_far->master, POLLIN, 0};
  while (n < want && poll(&p, 1, static_cast<int>(quiet.count())) == 1) {
    const ssize_t r = read(m_far->master, got.data() + n, want - n);
    if (r <= 0) break;
    n += size_t(r);
  }
  got.resize(n);
  return got;
}

void PortPeer::Unplug() {
  if (m_far->master >= 0) close(m_far->master);
  m_far->master = -1;
}

// The line's settings belong to the slave; termios calls on the master reach them.
LineSettings PortPeer::Line() {
  termios tio{};
  EXPECT_EQ(tcgetattr(m_far->master, &tio), 0);
  LineSettings line;
  const speed_t speed = cfgetospeed(&tio);
  line.speed = speed == B115200 ? 115200 : speed == B9600 ? 9600 : speed == B38400 ? 38400 : 0;
  const tcflag_t size = tio.c_cflag & CSIZE;
  line.dataBits = size == CS8 ? 8 : size == CS7 ? 7 : size == CS6 ? 6 : 5;
  line.parity = (tio.c_cflag & PARENB) == 0 ? 'N' : (tio.c_cflag & PARODD) != 0 ? 'O' : 'E';
  line.stopBits = (tio.c_cflag & CSTOPB) != 0 ? 2 : 1;
  line.raw = (tio.c_lflag & (ICANON | ECHO | ISIG)) == 0 && (tio.c_oflag & OPOST) == 0;
  line.flowControl = (tio.c_cflag & CRTSCTS) != 0 || (tio.c_iflag & (IXON | IXOFF)) != 0;
  return line;
}

void PortPeer::SetLine(const LineSettings& line) {
  termios tio{};
  ASSERT_EQ(tcgetattr(m_far->master, &tio), 0);
  const speed_t speed = line.speed == 9600 ? B9600 : line.speed == 38400 ? B38400 : B115200;
  cfsetispeed(&tio, speed);
  cfsetospeed(&tio, speed);
  tio.c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB);
  tio.c_cflag |= line.dataBits == 7 ? CS7 : CS8;
  if (line.parity != 'N') tio.c_cflag |= line.parity == 'O' ? PARENB | PARODD : PARENB;
  if (line.stopBits == 2) tio.c_cflag |= CSTOPB;
  tio.c_iflag &= ~(IXON | IXOFF);
  if (line.flowControl) tio.c_iflag |= IXON | IXOFF;
  ASSERT_EQ(tcsetattr(m_far->master, TCSANOW, &tio), 0);
}

// TIOCEXCL is the slave's own flag, so it is read there (root may open an exclusive tty).
bool PortPeer::Held() {
  const int fd = open(m_far->slave.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  int exclusive = 0;
  EXPECT_EQ(ioctl(fd, TIOCGEXCL, &exclusive), 0);
  close(fd);
  return exclusive != 0;
}

std::string AbsentPortName() {
  return "/dev/no-such-charger";
}

}  // namespace serialtest

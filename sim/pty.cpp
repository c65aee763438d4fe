#include "sim/pty.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace chargersim {
namespace {

std::string ErrnoText(const std::string& what) {
  return what + ": " + std::strerror(errno);
}

}  // namespace

bool Pty::Open(std::string* error) {
  Close();
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0) {
    if (error) *error = ErrnoText("posix_openpt");
    return false;
  }
  char name[128];
  if (::grantpt(master) != 0 || ::unlockpt(master) != 0 ||
      ::ptsname_r(master, name, sizeof name) != 0) {
    if (error) *error = ErrnoText("preparing the pty");
    ::close(master);
    return false;
  }
  // On Linux the master's termios are the slave's: raw here means no echo, no CR/LF
  // translation and no signal characters for whoever opens the slave.
  termios tio;
  if (::tcgetattr(master, &tio) == 0) {
    ::cfmakeraw(&tio);
    ::cfsetispeed(&tio, B115200);
    ::cfsetospeed(&tio, B115200);
    ::tcsetattr(master, TCSANOW, &tio);
  }
  ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
  m_master = master;
  m_slavePath = name;
  return true;
}

void Pty::Close() {
  if (m_master >= 0) ::close(m_master);
  m_master = -1;
  m_slavePath.clear();
}

bool LinkUsable(const std::string& link, std::string* error) {
  struct stat st;
  if (::lstat(link.c_str(), &st) != 0) {
    if (errno == ENOENT) return true;
    if (error) *error = ErrnoText(link);
    return false;
  }
  if (S_ISLNK(st.st_mode)) return true;
  if (error) *error = link + " exists and is not a symlink; not replacing it";
  return false;
}

bool PointLink(const std::string& link, const std::string& target, std::string* error) {
  if (!LinkUsable(link, error)) return false;
  const std::string temp = link + ".new." + std::to_string(::getpid());
  ::unlink(temp.c_str());
  if (::symlink(target.c_str(), temp.c_str()) != 0) {
    if (error) *error = ErrnoText("symlink " + temp);
    return false;
  }
  if (::rename(temp.c_str(), link.c_str()) != 0) {
    if (error) *error = ErrnoText("rename to " + link);
    ::unlink(temp.c_str());
    return false;
  }
  return true;
}

void RemoveLink(const std::string& link) {
  struct stat st;
  if (::lstat(link.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) ::unlink(link.c_str());
}

}  // namespace chargersim

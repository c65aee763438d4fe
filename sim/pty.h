#pragma once

#include <string>

namespace chargersim {

// The simulated charger's end of the cable: a pty master in raw mode. Its slave path is the
// "serial port" the updater opens; closing the master makes that path vanish, as a USB serial
// device does when it is pulled.
class Pty {
 public:
  Pty() = default;
  ~Pty() { Close(); }
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;

  bool Open(std::string* error);
  void Close();
  bool IsOpen() const { return m_master >= 0; }
  int Master() const { return m_master; }
  const std::string& SlavePath() const { return m_slavePath; }

 private:
  int m_master = -1;
  std::string m_slavePath;
};

// Points `link` at `target`, replacing an older symlink in one step so that nobody ever sees
// the name missing or half made. Refuses to replace anything that is not a symlink.
bool PointLink(const std::string& link, const std::string& target, std::string* error);
// Removes `link` if it is a symlink.
void RemoveLink(const std::string& link);
// Whether `link` could be (re)pointed: absent, or a symlink.
bool LinkUsable(const std::string& link, std::string* error);

}  // namespace chargersim

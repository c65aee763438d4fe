#include <sys/ioctl.h>
#include <unistd.h>

#include "cli/terminal_size.h"

int TerminalRows() {
  winsize size{};
  if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) != 0) return 0;
  return size.ws_row;
}

// Test-only: preloaded into Wine's processes so a pty passes for a serial port. A pty has no
// modem lines, and Wine 8 aborts every overlapped WaitCommEvent when it cannot read them; here
// they read as a cable that is plugged in and idle. Every other ioctl, every ioctl on anything
// but a pty, and every failure of a pty that hung up (EIO: the charger was unplugged) goes to
// the caller untouched.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <linux/serial.h>
#include <stdarg.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

// Unix 98 pty slaves.
static int IsPty(int fd) {
  struct stat st;
  return fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) && major(st.st_rdev) >= 136 &&
         major(st.st_rdev) <= 143;
}

int ioctl(int fd, unsigned long request, ...) {
  static int (*real)(int, unsigned long, ...);
  if (real == NULL) real = (int (*)(int, unsigned long, ...))dlsym(RTLD_NEXT, "ioctl");
  va_list args;
  va_start(args, request);
  void* arg = va_arg(args, void*);
  va_end(args);

  const int result = real(fd, request, arg);
  if (result == 0 || errno == EIO || !IsPty(fd)) return result;
  switch (request) {
    case TIOCMGET:
      *(int*)arg = TIOCM_DTR | TIOCM_RTS | TIOCM_CTS | TIOCM_DSR | TIOCM_CAR;
      return 0;
    case TIOCMSET:
    case TIOCMBIS:
    case TIOCMBIC:
      return 0;
    case TIOCGICOUNT:
      memset(arg, 0, sizeof(struct serial_icounter_struct));
      return 0;
    default:
      return result;
  }
}

#include "serial/posix_sys_io.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>

namespace serial_io {
namespace {

const SysIo kReal = {
    [](const char* path, int flags) { return ::open(path, flags); },
    ::close,
    ::read,
    ::write,
    ::poll,
    ::tcgetattr,
    ::tcsetattr,
    ::pipe2,
};

std::atomic<const SysIo*> g_current{&kReal};

}  // namespace

const SysIo& RealSysIo() {
  return kReal;
}

const SysIo& Sys() {
  return *g_current.load(std::memory_order_acquire);
}

void SetSysIoForTests(const SysIo* io) {
  g_current.store(io ? io : &kReal, std::memory_order_release);
}

}  // namespace serial_io

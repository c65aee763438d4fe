#pragma once

#include <cstdint>
#include <memory>
#include <string>

// The operating system's part of the serial channel. serial_port.cpp runs the sequence; each
// twin (posix_serial_port.cpp, win32_serial_port.cpp) makes these calls with its own system's
// means. Failures come back as errno values, the engine's terms on every platform.
namespace port_io {

// One opened port: the device, the settings it had, its hold against other openers and what
// Wake uses. Each twin defines it.
struct Port;
struct Closer {
  void operator()(Port* port) const;  // closes the device and whatever came with it
};
using PortPtr = std::unique_ptr<Port, Closer>;

// Opens without waiting for the line. Anything that turns out not to be a serial port is
// closed again untouched: ENOTTY.
int Open(const std::string& name, PortPtr* port);
// Keeps other updaters off the port; EBUSY when one already has it.
int Hold(Port& port, const std::string& name);
// Lets others at the port again although it is still open.
void LiftHold(Port& port);

enum class ConfigureFailure { kNone, kTimeouts, kEvents, kLine };
// Saves the port's own settings, then sets 115200 8N1, raw, no flow control. A port that has
// no settings to give is used as it is.
ConfigureFailure Configure(Port& port, int* error);
// Puts back what Configure saved, if anything.
void RestoreSettings(Port& port);

// Throws away what has come in unread and, with `output`, what is queued and not yet sent.
void Purge(Port& port, bool output);
uint32_t PendingOutput(Port& port);

// What Wake needs, made before the reader starts.
int PrepareWake(Port& port);
// Ends the reader's waits and any writer's for good; the port stays open.
void Wake(Port& port);

enum class Wait { kReady, kTimedOut, kClosing, kGone };
// Waits up to `timeoutMs` (-1: for ever, as INFINITE is on Windows) for input. Only the
// reader thread waits here, and only once ReadAvailable has found nothing.
Wait WaitInput(Port& port, int timeoutMs, int* error);
// Takes what has arrived, up to `capacity`, without waiting: the count (0 when nothing has),
// or -1 with *error once the device failed.
long ReadAvailable(Port& port, uint8_t* buffer, uint32_t capacity, int* error);
// Writes what the port takes, waiting up to `timeoutMs` for room when it has none: how many
// bytes it took (0: none in time, or Wake was called), or -1 when the device failed.
long Write(Port& port, const uint8_t* data, uint32_t length, int timeoutMs);

}  // namespace port_io

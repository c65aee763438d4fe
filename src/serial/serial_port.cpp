// The channel's parts that are the same on every platform.

#include "serial/serial_port.h"

#include <cstdio>
#include <utility>

CSerial g_serial;

int CSerial::LastOpenError() const {
  return m_lastOpenError.load();
}

CSerial::OpenStep CSerial::LastOpenStep() const {
  return m_lastOpenStep.load();
}

void CSerial::SetOpenFailure(OpenStep step, int error) {
  m_lastOpenStep = step;
  m_lastOpenError = error;
}

void CSerial::SetMessageHook(SerialMessageHook hook) {
  std::lock_guard<std::mutex> lock(m_hookLock);
  m_messageHook = std::move(hook);
}

void CSerial::ShowMessage(const std::string& text) {
  SerialMessageHook hook;
  {
    std::lock_guard<std::mutex> lock(m_hookLock);
    hook = m_messageHook;
  }
  if (hook) {
    hook(text);
    return;
  }
  const std::string line = text + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
}

#pragma once

#include <atomic>
#include <future>

// The Win32 channel's handles, kept as void* so the engine's headers stay free of
// <windows.h> and its macros.
struct SerialPortState {
  std::atomic<void*> m_hPort{reinterpret_cast<void*>(-1)};  // INVALID_HANDLE_VALUE while closed
  void* m_hStopEvent = nullptr;  // manual reset; set by ClosePort for the reader and writers
  void* m_hPortHold = nullptr;   // the port's name held against other updaters while open

  struct ReaderStart {
    void* port;
    void* stopEvent;
    void* owner;
    std::promise<void>* started;  // set once the start-up purge is done
  };
};

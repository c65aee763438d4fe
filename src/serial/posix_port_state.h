#pragma once

#include <atomic>
#include <future>

// The termios channel's descriptors.
struct SerialPortState {
  std::atomic<int> m_fd{-1};
  // ClosePort writes to [1] to wake the reader and a waiting writer, which poll [0].
  int m_wakeFd[2] = {-1, -1};

  struct ReaderStart {
    int fd;
    int wakeFd;
    void* owner;
    std::promise<void>* started;  // set once the start-up flush is done
  };
};

#pragma once

// What every file the updater holds open shares: one owner, and why opening it failed
// (an errno value, so every platform reports it in the same words).
class OpenFile {
 public:
  OpenFile(const OpenFile&) = delete;
  OpenFile& operator=(const OpenFile&) = delete;
  int OpenError() const { return m_openError; }  // 0 when open

 protected:
  OpenFile() = default;
  ~OpenFile() = default;

  int m_openError = 0;
};

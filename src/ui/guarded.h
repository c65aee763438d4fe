#pragma once

#include <mutex>
#include <string>
#include <string_view>
#include <utility>

// A string that more than one thread reads and writes.
class GuardedString {
 public:
  std::string Get() const {
    std::lock_guard lock(m_mutex);
    return m_value;
  }
  void Set(std::string value) {
    std::lock_guard lock(m_mutex);
    m_value = std::move(value);
  }
  void Clear() { Set({}); }
  // Empties the string when it holds more than `limit` characters.
  void ClearIfLongerThan(size_t limit) {
    std::lock_guard lock(m_mutex);
    if (m_value.size() > limit) m_value.clear();
  }
  // Appends and returns the result.
  std::string Append(std::string_view more) {
    std::lock_guard lock(m_mutex);
    m_value.append(more);
    return m_value;
  }

 private:
  mutable std::mutex m_mutex;
  std::string m_value;
};

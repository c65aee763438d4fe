#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// A worker's output stream cut into lines: LF or CR LF ends a line (Windows consoles and
// pipes may add the CR), and what is left when the stream ends is its last line.
class LineSplitter {
 public:
  std::vector<std::string> Add(std::string_view data) {
    m_partial.append(data);
    std::vector<std::string> lines;
    for (size_t end; (end = m_partial.find('\n')) != std::string::npos;) {
      const size_t cr = end > 0 && m_partial[end - 1] == '\r' ? 1 : 0;
      lines.push_back(m_partial.substr(0, end - cr));
      m_partial.erase(0, end + 1);
    }
    return lines;
  }
  std::optional<std::string> Finish() {
    if (m_partial.empty()) return std::nullopt;
    return std::exchange(m_partial, {});
  }

 private:
  std::string m_partial;
};

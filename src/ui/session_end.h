#pragma once

#include <chrono>
#include <cstdint>
#include <string>

// How one programming session ended, for faces that report or record it.
struct SessionEnd {
  enum class Result { Succeeded, Failed, Cancelled };
  Result result = Result::Failed;
  std::string port;
  std::string reason;      // empty on success; otherwise in the operator's words
  uint32_t bytesSent = 0;  // image bytes the charger acknowledged
  uint32_t imageSize = 0;
  std::chrono::milliseconds duration{0};
};

// The result's name in records and JSON lines.
inline const char* ResultName(SessionEnd::Result result) {
  switch (result) {
    case SessionEnd::Result::Succeeded:
      return "succeeded";
    case SessionEnd::Result::Cancelled:
      return "cancelled";
    case SessionEnd::Result::Failed:
      break;
  }
  return "failed";
}

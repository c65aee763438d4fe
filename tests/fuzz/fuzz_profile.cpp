// The config.ini reader and writer on any file. Input: the path to remember, a NUL, the
// file's text.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_check.h"
#include "image/profile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const uint8_t* end = data + size;
  const uint8_t* nul = std::find(data, end, 0);
  std::string value(data, nul);
  // The writer refuses line breaks before it gets this far.
  std::replace(value.begin(), value.end(), '\n', '_');
  std::replace(value.begin(), value.end(), '\r', '_');
  const std::string text(nul == end ? end : nul + 1, end);

  const std::optional<std::string> other = FindProfileValue(text, "Misc", "Other");
  (void)FindProfileValue(text, "File", "Path");

  const std::string written = SetProfileValue(text, "File", "Path", value);
  FUZZ_CHECK(FindProfileValue(written, "File", "Path") == value);
  FUZZ_CHECK(FindProfileValue(written, "Misc", "Other") == other);
  // One value changed, or at most the section, the key and the end of an unterminated last
  // line added: no other line comes or goes.
  const auto lines = [](const std::string& s) { return std::count(s.begin(), s.end(), '\n'); };
  FUZZ_CHECK(lines(written) >= lines(text) && lines(written) <= lines(text) + 3);
  // Saving the same path again changes nothing.
  FUZZ_CHECK(SetProfileValue(written, "File", "Path", value) == written);
  return 0;
}

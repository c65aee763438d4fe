#include "job/version_order.h"

namespace {

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// The digit run starting at `at`, without its leading zeros; `at` moves past it.
std::string_view DigitRun(std::string_view text, size_t& at) {
  while (at < text.size() && text[at] == '0' && at + 1 < text.size() && IsDigit(text[at + 1])) ++at;
  const size_t start = at;
  while (at < text.size() && IsDigit(text[at])) ++at;
  return text.substr(start, at - start);
}

}  // namespace

VersionOrder CompareVersions(std::string_view a, std::string_view b) {
  size_t i = 0;
  size_t j = 0;
  while (i < a.size() && j < b.size()) {
    const bool digitA = IsDigit(a[i]);
    if (digitA != IsDigit(b[j])) return VersionOrder::Incomparable;
    if (digitA) {
      const std::string_view x = DigitRun(a, i);
      const std::string_view y = DigitRun(b, j);
      if (x.size() != y.size())
        return x.size() < y.size() ? VersionOrder::Older : VersionOrder::Newer;
      if (const int order = x.compare(y); order != 0)
        return order < 0 ? VersionOrder::Older : VersionOrder::Newer;
      continue;
    }
    if (a[i] != b[j])
      return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j])
                 ? VersionOrder::Older
                 : VersionOrder::Newer;
    ++i;
    ++j;
  }
  if (i < a.size()) return VersionOrder::Newer;
  if (j < b.size()) return VersionOrder::Older;
  return VersionOrder::Same;
}

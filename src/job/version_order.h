#pragma once

#include <string_view>

// How two firmware version texts compare. Each is read as runs of digits and runs of other
// bytes; digit runs compare as numbers, other runs byte by byte, and the first difference
// decides ("V9" < "V12", "104" < "105"). A text that ends where the other goes on is the
// older. A digit run against other bytes at the same place cannot be ordered.
enum class VersionOrder { Older, Same, Newer, Incomparable };

// How `a` stands to `b`.
VersionOrder CompareVersions(std::string_view a, std::string_view b);

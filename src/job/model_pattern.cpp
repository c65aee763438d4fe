#include "job/model_pattern.h"

#include <algorithm>

// Greedy with one back-track point: the last '*' seen takes one more byte whenever the rest
// fails, so no pattern costs more than line length times pattern length.
bool MatchesModel(std::string_view line, std::string_view pattern) {
  size_t l = 0;
  size_t p = 0;
  size_t starP = std::string_view::npos;
  size_t starL = 0;
  while (l < line.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      starP = p++;
      starL = l;
    } else if (p < pattern.size() && (pattern[p] == '?' || pattern[p] == line[l])) {
      ++l;
      ++p;
    } else if (starP != std::string_view::npos) {
      p = starP + 1;
      l = ++starL;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

bool MatchesAnyModel(std::string_view line, const std::vector<std::string>& patterns) {
  return patterns.empty() ||
         std::any_of(patterns.begin(), patterns.end(),
                     [&](const std::string& pattern) { return MatchesModel(line, pattern); });
}

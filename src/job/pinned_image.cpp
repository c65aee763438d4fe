#include "job/pinned_image.h"

#include <algorithm>
#include <cctype>

namespace {
std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}
}  // namespace

bool IsSha256Text(const std::string& text) {
  return text.size() == 64 && std::all_of(text.begin(), text.end(), [](char c) {
           return std::isxdigit(static_cast<unsigned char>(c)) != 0;
         });
}

std::string PinnedImageProblem(const std::string& image, const std::string& actual,
                               const std::string& sha256) {
  if (Lower(actual) == Lower(sha256)) return {};
  return "the image " + image + " has SHA-256 " + Lower(actual) + ", not the pinned " +
         Lower(sha256);
}

#pragma once

#include <string>

// Whether `sha256` (64 hex digits, either case) names the image whose digest is `actual`;
// empty when it does, else the mismatch naming both digests and the image.
std::string PinnedImageProblem(const std::string& image, const std::string& actual,
                               const std::string& sha256);
// Whether `text` is a SHA-256 as written: 64 hex digits.
bool IsSha256Text(const std::string& text);

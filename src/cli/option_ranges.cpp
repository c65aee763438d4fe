#include "cli/option_ranges.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <optional>
#include <string>

namespace {

// `%g` keeps 0.1 and 3600 short, where CLI11's own range checks print 300 digits.
std::string Number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", value);
  return text;
}

// The whole text as a plain decimal number (no sign, hex, inf or nan); nullopt otherwise.
std::optional<double> ParsePlain(const std::string& text) {
  double value = 0;
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value, std::chars_format::general);
  if (error != std::errc() || stop != end || !std::isfinite(value)) return std::nullopt;
  return value;
}

}  // namespace

CLI::Validator SecondsBetween(double low, double high) {
  const std::string range = Number(low) + " to " + Number(high) + " seconds";
  return CLI::Validator(
      [low, high, range](std::string& text) -> std::string {
        const std::optional<double> value = ParsePlain(text);
        if (value && *value >= low && *value <= high) return {};
        return "must be " + range;
      },
      "");
}

CLI::Validator CountBetween(int low, int high) {
  const std::string range = std::to_string(low) + " to " + std::to_string(high);
  return CLI::Validator(
      [low, high, range](std::string& text) -> std::string {
        const bool digits = !text.empty() && text.size() <= 9 &&
                            text.find_first_not_of("0123456789") == std::string::npos;
        if (digits) {
          const int value = std::stoi(text);
          if (value >= low && value <= high) return {};
        }
        return "must be a whole number from " + range;
      },
      "");
}

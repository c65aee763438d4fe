#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// INI "profile" files as the updater's config.ini uses them.

// A settings file larger than this is not ours: it is left unread and never rewritten.
inline constexpr uint64_t kLargestProfile = 1u << 20;
inline constexpr size_t kWholeValue = SIZE_MAX;

// The value of `key` in `[section]`, or `fallback` when the file, section or key is missing.
// At most `bufferSize - 1` characters come back, as a fixed buffer of that size would hold.
// A file too large to be a settings file gives `fallback` and sets `error`.
std::string ReadProfileString(const std::string& path, const std::string& section,
                              const std::string& key, const std::string& fallback,
                              size_t bufferSize = kWholeValue, std::string* error = nullptr);

// Sets `key` in `[section]`, creating file, section or key as needed and keeping every other
// line as it was. Replaces the file atomically, keeping its mode and, where permitted, its
// owner; a key that already holds `value` leaves the file untouched. false (with `error` set)
// on failure.
bool WriteProfileString(const std::string& path, const std::string& section, const std::string& key,
                        const std::string& value, std::string* error = nullptr);

// The same on a file's text, for callers that hold it in memory.
std::optional<std::string> FindProfileValue(std::string_view text, std::string_view section,
                                            std::string_view key);
std::string SetProfileValue(std::string_view text, const std::string& section,
                            const std::string& key, const std::string& value);

// A settings file's lines as the reader takes them, for callers that check every one (a job
// file): its 1-based number, and for a section its name, for a key its name and value (as
// ReadProfileString gives it). Comments start with ';' or '#'.
struct ProfileLine {
  enum class Kind { Blank, Comment, Section, Key, Other };
  size_t number = 0;
  Kind kind = Kind::Other;
  std::string name;
  std::string value;
};
std::vector<ProfileLine> ProfileLines(std::string_view text);
// The whole of a settings file (a regular file of at most 1 MiB); false with the reason.
bool ReadProfileText(const std::string& path, std::string* text, std::string* reason);

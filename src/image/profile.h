#pragma once

#include <string>

// INI "profile" files as the updater's config.ini uses them.

// The value of `key` in `[section]`, or `fallback` when the file, section or key is missing.
// At most `bufferSize - 1` characters come back, as a fixed buffer of that size would hold.
std::string ReadProfileString(const std::string& path, const std::string& section,
                              const std::string& key, const std::string& fallback,
                              size_t bufferSize = 350);

// Sets `key` in `[section]`, creating file, section or key as needed and keeping every other
// line as it was. Replaces the file atomically. false (with `error` set) on failure.
bool WriteProfileString(const std::string& path, const std::string& section,
                        const std::string& key, const std::string& value,
                        std::string* error = nullptr);

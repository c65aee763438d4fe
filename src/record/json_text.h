#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

// A JSON string literal (quotes included) for any bytes: control bytes and DEL become
// \u00XX, and bytes that are not valid UTF-8 become U+FFFD, so device text can neither
// break the line nor reach a terminal raw.
std::string JsonString(std::string_view text);

// One JSON object built field by field, written as a single line.
class JsonLine {
 public:
  JsonLine& Add(std::string_view key, std::string_view value);
  JsonLine& Add(std::string_view key, const char* value) {
    return Add(key, std::string_view(value));
  }
  JsonLine& Add(std::string_view key, int64_t value);
  JsonLine& AddNull(std::string_view key);
  // A value that is JSON text already (an object, say), taken as it is.
  JsonLine& AddJson(std::string_view key, std::string_view json);
  // `other`'s fields after this one's.
  JsonLine& Merge(const JsonLine& other);
  // The object with a trailing newline.
  std::string Text() const { return "{" + m_fields + "}\n"; }

 private:
  void Key(std::string_view key);
  std::string m_fields;
};

// A flat JSON object read back: each value as text (strings unescaped, numbers and
// true/false as written); null values are absent. Nested values are refused.
using JsonFields = std::map<std::string, std::string>;
std::optional<JsonFields> ParseJsonLine(std::string_view line);

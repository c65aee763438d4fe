#include "record/json_text.h"

#include <cctype>
#include <cstdio>

#include "platform/utf8.h"

std::string JsonString(std::string_view text) {
  std::string out = "\"";
  for (size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
      ++i;
    } else if (c < 0x20 || c == 0x7F) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
      ++i;
    } else if (c < 0x80) {
      out += static_cast<char>(c);
      ++i;
    } else if (uint32_t code = 0; const size_t length = DecodeUtf8(text, i, &code)) {
      out.append(text.substr(i, length));
      i += length;
    } else {
      out += "\\ufffd";
      ++i;
    }
  }
  return out + "\"";
}

void JsonLine::Key(std::string_view key) {
  if (!m_fields.empty()) m_fields += ',';
  m_fields += JsonString(key);
  m_fields += ':';
}

JsonLine& JsonLine::Add(std::string_view key, std::string_view value) {
  Key(key);
  m_fields += JsonString(value);
  return *this;
}

JsonLine& JsonLine::Add(std::string_view key, int64_t value) {
  Key(key);
  m_fields += std::to_string(value);
  return *this;
}

JsonLine& JsonLine::Merge(const JsonLine& other) {
  if (!m_fields.empty() && !other.m_fields.empty()) m_fields += ',';
  m_fields += other.m_fields;
  return *this;
}

JsonLine& JsonLine::AddNull(std::string_view key) {
  Key(key);
  m_fields += "null";
  return *this;
}

JsonLine& JsonLine::AddJson(std::string_view key, std::string_view json) {
  Key(key);
  m_fields += json;
  return *this;
}

namespace {

class FlatParser {
 public:
  explicit FlatParser(std::string_view text) : m_text(text) {}

  std::optional<JsonFields> Object() {
    JsonFields fields;
    if (!Take('{')) return std::nullopt;
    if (Take('}')) return End(fields);
    do {
      std::string key;
      if (!String(&key) || !Take(':')) return std::nullopt;
      Blanks();
      if (Peek() == '"') {
        std::string value;
        if (!String(&value)) return std::nullopt;
        fields[key] = value;
      } else {
        const size_t start = m_at;
        while (m_at < m_text.size() &&
               std::string_view("-+.eE0123456789truefalsn").find(m_text[m_at]) !=
                   std::string_view::npos)
          ++m_at;
        const std::string_view word = m_text.substr(start, m_at - start);
        if (word.empty()) return std::nullopt;
        if (word != "null") fields[key] = std::string(word);
      }
    } while (Take(','));
    if (!Take('}')) return std::nullopt;
    return End(fields);
  }

 private:
  std::optional<JsonFields> End(JsonFields& fields) {
    Blanks();
    if (m_at != m_text.size()) return std::nullopt;
    return std::move(fields);
  }
  void Blanks() {
    while (m_at < m_text.size() &&
           std::string_view(" \t\r\n").find(m_text[m_at]) != std::string_view::npos)
      ++m_at;
  }
  char Peek() const { return m_at < m_text.size() ? m_text[m_at] : '\0'; }
  bool Take(char c) {
    Blanks();
    if (Peek() != c) return false;
    ++m_at;
    return true;
  }
  bool Hex4(uint32_t* code) {
    if (m_at + 4 > m_text.size()) return false;
    *code = 0;
    for (int i = 0; i < 4; ++i) {
      const char c = m_text[m_at++];
      const int digit =
          std::isxdigit(static_cast<unsigned char>(c))
              ? (std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : (c | 0x20) - 'a' + 10)
              : -1;
      if (digit < 0) return false;
      *code = *code << 4 | static_cast<uint32_t>(digit);
    }
    return true;
  }
  static void PutUtf8(uint32_t code, std::string* out) {
    if (code < 0x80) {
      *out += static_cast<char>(code);
    } else if (code < 0x800) {
      *out += static_cast<char>(0xC0 | code >> 6);
      *out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
      *out += static_cast<char>(0xE0 | code >> 12);
      *out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
      *out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
      *out += static_cast<char>(0xF0 | code >> 18);
      *out += static_cast<char>(0x80 | (code >> 12 & 0x3F));
      *out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
      *out += static_cast<char>(0x80 | (code & 0x3F));
    }
  }
  bool String(std::string* out) {
    if (!Take('"')) return false;
    while (m_at < m_text.size()) {
      const char c = m_text[m_at++];
      if (c == '"') return true;
      if (static_cast<unsigned char>(c) < 0x20) return false;
      if (c != '\\') {
        *out += c;
        continue;
      }
      if (m_at >= m_text.size()) return false;
      const char e = m_text[m_at++];
      const std::string_view simple = "\"\\/bfnrt";
      const std::string_view meant = "\"\\/\b\f\n\r\t";
      if (const size_t k = simple.find(e); k != std::string_view::npos) {
        *out += meant[k];
      } else if (e == 'u') {
        uint32_t code = 0;
        if (!Hex4(&code)) return false;
        if (code >= 0xD800 && code <= 0xDBFF) {
          uint32_t low = 0;
          if (m_text.substr(m_at, 2) != "\\u") return false;
          m_at += 2;
          if (!Hex4(&low) || low < 0xDC00 || low > 0xDFFF) return false;
          code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
        } else if (code >= 0xDC00 && code <= 0xDFFF) {
          return false;
        }
        PutUtf8(code, out);
      } else {
        return false;
      }
    }
    return false;
  }

  std::string_view m_text;
  size_t m_at = 0;
};

}  // namespace

std::optional<JsonFields> ParseJsonLine(std::string_view line) {
  return FlatParser(line).Object();
}

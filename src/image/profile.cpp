#include "image/profile.h"

#include <cerrno>
#include <cstring>
#include <optional>
#include <string_view>
#include <vector>

#include "image/file_io.h"

namespace {

constexpr std::string_view kBlanks = " \t\r\f\v";
constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

std::string_view Trim(std::string_view s) {
  size_t first = s.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return {};
  return s.substr(first, s.find_last_not_of(kBlanks) - first + 1);
}

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char ca = a[i], cb = b[i];
    if (ca >= 'A' && ca <= 'Z') ca = static_cast<char>(ca - 'A' + 'a');
    if (cb >= 'A' && cb <= 'Z') cb = static_cast<char>(cb - 'A' + 'a');
    if (ca != cb) return false;
  }
  return true;
}

// One line of the file: its text and its own line ending, so untouched lines go back
// byte for byte.
struct Line {
  std::string_view body;
  std::string_view eol;  // "\r\n", "\n", or "" on an unterminated last line
};

std::vector<Line> SplitLines(std::string_view text) {
  std::vector<Line> lines;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t nl = text.find('\n', pos);
    size_t end = nl == std::string_view::npos ? text.size() : nl + 1;
    std::string_view line = text.substr(pos, end - pos);
    size_t eolSize = 0;
    if (!line.empty() && line.back() == '\n') {
      eolSize = line.size() >= 2 && line[line.size() - 2] == '\r' ? 2 : 1;
    }
    lines.push_back({line.substr(0, line.size() - eolSize), line.substr(line.size() - eolSize)});
    pos = end;
  }
  return lines;
}

std::optional<std::string_view> SectionName(std::string_view body) {
  std::string_view t = Trim(body);
  if (t.empty() || t.front() != '[') return std::nullopt;
  size_t close = t.rfind(']');
  if (close == 0 || close == std::string_view::npos) return std::nullopt;
  return Trim(t.substr(1, close - 1));
}

// Lines without '=' (comments, junk) have no key and never match.
std::optional<std::string_view> KeyName(std::string_view body) {
  size_t eq = body.find('=');
  if (eq == std::string_view::npos) return std::nullopt;
  return Trim(body.substr(0, eq));
}

struct Location {
  std::optional<size_t> header;  // the section's "[name]" line
  size_t end = 0;                // first line after the section
  std::optional<size_t> key;     // the key's line inside the section
};

// The first section with that name and the first such key in it, as the platform's reader does.
Location Locate(const std::vector<Line>& lines, std::string_view section, std::string_view key) {
  Location where;
  for (size_t i = 0; i < lines.size(); ++i) {
    std::optional<std::string_view> name = SectionName(lines[i].body);
    if (!where.header) {
      if (name && SameName(*name, section)) where.header = i;
      continue;
    }
    if (name) {
      where.end = i;
      return where;
    }
    if (!where.key) {
      std::optional<std::string_view> k = KeyName(lines[i].body);
      if (k && SameName(*k, key)) where.key = i;
    }
  }
  where.end = lines.size();
  return where;
}

// Only regular files: config.ini pointed at a FIFO or a device must not hang start-up.
bool ReadWholeFile(const std::string& path, std::string& text, int& err) {
  text.clear();
  file_io::Reader file(path);
  if (file.OpenError() != 0) {
    err = file.OpenError();
    return false;
  }
  file_io::Kind kind = file_io::Kind::Other;
  uint64_t size = 0;
  if (!file.Describe(&kind, &size, &err)) return false;
  if (kind != file_io::Kind::Regular) {
    err = kind == file_io::Kind::Directory ? EISDIR : EINVAL;
    return false;
  }
  char buffer[4096];
  for (;;) {
    // A file that grows while it is read is held to the same limit.
    if (text.size() > kLargestProfile) {
      err = EFBIG;
      return false;
    }
    const long long got = file.Read(buffer, sizeof buffer, &err);
    if (got < 0) return false;
    if (got == 0) break;
    text.append(buffer, static_cast<size_t>(got));
  }
  return true;
}

bool Fail(std::string* error, const std::string& path, const std::string& reason) {
  if (error) *error = "Cannot save the settings to '" + path + "': " + reason + ".";
  return false;
}

std::string ReasonText(int err) {
  switch (err) {
    case EACCES:
    case EPERM:
    case EROFS:
      return "permission denied";
    case ENOSPC:
      return "the disk is full";
    case ENOENT:
    case ENOTDIR:
      return "its folder does not exist";
    case EISDIR:
      return "it is a directory";
    case EFBIG:
      return "it is larger than 1 MiB, too large for a settings file";
    default:
      return std::strerror(err);
  }
}

bool HasLineBreak(std::string_view s) {
  return s.find_first_of("\r\n") != std::string_view::npos;
}

std::string_view StripBom(std::string_view text) {
  if (text.substr(0, kUtf8Bom.size()) == kUtf8Bom) text.remove_prefix(kUtf8Bom.size());
  return text;
}

// A key line's value as the reader sees it: trimmed and, like the platform, without one pair
// of matching quotes around it.
std::string_view ValueOf(std::string_view body) {
  std::string_view value = Trim(body.substr(body.find('=') + 1));
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
      value.back() == value.front()) {
    value = value.substr(1, value.size() - 2);
  }
  return value;
}

// The value as it goes on disk, so that ValueOf gives it back whole: blanks at its ends or
// quotes around it would otherwise be eaten (a path "fw.bin " names another file).
std::string Spelled(const std::string& value) {
  const bool quoted = value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
                      value.back() == value.front();
  if (quoted || Trim(value).size() != value.size()) return '"' + value + '"';
  return value;
}

}  // namespace

std::optional<std::string> FindProfileValue(std::string_view text, std::string_view section,
                                            std::string_view key) {
  std::vector<Line> lines = SplitLines(StripBom(text));
  Location where = Locate(lines, section, key);
  if (!where.key) return std::nullopt;
  return std::string(ValueOf(lines[*where.key].body));
}

std::string SetProfileValue(std::string_view text, const std::string& section,
                            const std::string& key, const std::string& value) {
  const std::string_view body = StripBom(text);
  std::vector<Line> lines = SplitLines(body);
  // New lines follow the file's own convention; a new file gets plain LF.
  std::string_view eol = "\n";
  for (const Line& line : lines) {
    if (!line.eol.empty()) {
      eol = line.eol;
      break;
    }
  }

  const std::string spelled = Spelled(value);
  const std::string keyLine = key + "=" + spelled;
  Location where = Locate(lines, section, key);
  std::string out(text.substr(0, text.size() - body.size()));
  auto emit = [&](size_t i) {
    out.append(lines[i].body);
    out.append(lines[i].eol);
  };

  if (where.key) {
    for (size_t i = 0; i < lines.size(); ++i) {
      if (i != *where.key) {
        emit(i);
        continue;
      }
      // Keep the line's own spelling of the key and its spacing around '='.
      std::string_view line = lines[i].body;
      size_t eq = line.find('=');
      size_t valueStart = line.find_first_not_of(" \t", eq + 1);
      out.append(line.substr(0, valueStart == std::string_view::npos ? line.size() : valueStart));
      out.append(spelled);
      out.append(lines[i].eol);
    }
  } else if (where.header) {
    // New key after the section's last non-blank line, so a blank separator stays between
    // sections.
    size_t last = *where.header;
    for (size_t i = *where.header + 1; i < where.end; ++i) {
      if (!Trim(lines[i].body).empty()) last = i;
    }
    for (size_t i = 0; i < lines.size(); ++i) {
      emit(i);
      if (i == last) {
        if (lines[i].eol.empty()) out.append(eol);
        out.append(keyLine);
        out.append(eol);
      }
    }
  } else {
    for (size_t i = 0; i < lines.size(); ++i) emit(i);
    if (!lines.empty() && lines.back().eol.empty()) out.append(eol);
    out.append("[" + section + "]");
    out.append(eol);
    out.append(keyLine);
    out.append(eol);
  }
  return out;
}

std::string ReadProfileString(const std::string& path, const std::string& section,
                              const std::string& key, const std::string& fallback,
                              size_t bufferSize, std::string* error) {
  if (bufferSize == 0) return {};
  const size_t room = bufferSize - 1;

  // The platform strips trailing blanks from the fallback.
  std::string value = fallback.substr(0, fallback.find_last_not_of(' ') + 1);

  std::string text;
  int err = 0;
  if (ReadWholeFile(path, text, err)) {
    if (std::optional<std::string> found = FindProfileValue(text, section, key)) value = *found;
  } else if (err == EFBIG && error) {
    *error = "Cannot read the settings from '" + path + "': " + ReasonText(err) + ".";
  }
  return value.substr(0, room);
}

bool WriteProfileString(const std::string& path, const std::string& section, const std::string& key,
                        const std::string& value, std::string* error) {
  if (HasLineBreak(section) || HasLineBreak(key) || HasLineBreak(value))
    return Fail(error, path, "a setting cannot hold a line break");
  if (Trim(section).empty() || Trim(key).empty())
    return Fail(error, path, "a setting needs a section and a key");

  // Replace the file a symlink points at, not the link.
  const std::string target = file_io::ResolveLinks(path);

  std::string text;
  int err = 0;
  if (ReadWholeFile(target, text, err)) {
    // Rewriting an unchanged setting would only cost the file its inode, its hard links and,
    // in a read-only folder, an error on every start.
    if (FindProfileValue(text, section, key) == value) return true;
    // The rename would get past a read-only file; the operator's protection should hold.
    if (int denied = file_io::CheckWritable(target); denied != 0)
      return Fail(error, path, ReasonText(denied));
  } else if (err != ENOENT) {
    return Fail(error, path, ReasonText(err));
  }

  if (int failed = file_io::ReplaceContents(target, SetProfileValue(text, section, key, value));
      failed != 0)
    return Fail(error, path, ReasonText(failed));
  return true;
}

std::vector<ProfileLine> ProfileLines(std::string_view text) {
  std::vector<ProfileLine> lines;
  size_t number = 0;
  for (const Line& line : SplitLines(StripBom(text))) {
    ProfileLine read;
    read.number = ++number;
    const std::string_view body = Trim(line.body);
    if (body.empty()) {
      read.kind = ProfileLine::Kind::Blank;
    } else if (body.front() == ';' || body.front() == '#') {
      read.kind = ProfileLine::Kind::Comment;
    } else if (const auto section = SectionName(line.body)) {
      read.kind = ProfileLine::Kind::Section;
      read.name = std::string(*section);
    } else if (const auto key = KeyName(line.body)) {
      read.kind = ProfileLine::Kind::Key;
      read.name = std::string(*key);
      read.value = std::string(ValueOf(line.body));
    }
    lines.push_back(std::move(read));
  }
  return lines;
}

bool ReadProfileText(const std::string& path, std::string* text, std::string* reason) {
  int err = 0;
  if (ReadWholeFile(path, *text, err)) return true;
  *reason = err == ENOENT ? "no such file" : ReasonText(err);
  return false;
}

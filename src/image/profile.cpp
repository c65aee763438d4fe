#include "image/profile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string_view>
#include <vector>

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
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) {
    err = errno;
    return false;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    err = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    ::close(fd);
    return false;
  }
  char buffer[4096];
  for (;;) {
    ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      err = errno;
      ::close(fd);
      return false;
    }
    if (got == 0) break;
    text.append(buffer, static_cast<size_t>(got));
  }
  ::close(fd);
  return true;
}

bool WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t put = ::write(fd, data.data(), data.size());
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    data.remove_prefix(static_cast<size_t>(put));
  }
  return true;
}

std::string DirectoryOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
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
    case EDQUOT:
      return "the disk is full";
    case ENOENT:
    case ENOTDIR:
      return "its folder does not exist";
    case EISDIR:
      return "it is a directory";
    default:
      return std::strerror(err);
  }
}

// Writes `content` beside `target` and renames it over, so a crash leaves the old file or the
// new one, never half of one.
bool ReplaceFile(const std::string& target, const std::string& content, mode_t mode, int& err) {
  std::string temp = DirectoryOf(target) + "/.config-XXXXXX";
  std::vector<char> name(temp.begin(), temp.end());
  name.push_back('\0');
  int fd = ::mkostemp(name.data(), O_CLOEXEC);
  if (fd < 0) {
    err = errno;
    return false;
  }
  bool ok = ::fchmod(fd, mode) == 0 && WriteAll(fd, content) && ::fsync(fd) == 0;
  if (!ok) err = errno;
  if (::close(fd) != 0 && ok) {
    err = errno;
    ok = false;
  }
  if (ok && ::rename(name.data(), target.c_str()) != 0) {
    err = errno;
    ok = false;
  }
  if (!ok) {
    ::unlink(name.data());
    return false;
  }
  // Make the rename itself durable; failing here loses nothing already written.
  int dir = ::open(DirectoryOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
  return true;
}

bool HasLineBreak(std::string_view s) {
  return s.find_first_of("\r\n") != std::string_view::npos;
}

}  // namespace

std::string ReadProfileString(const std::string& path, const std::string& section,
                              const std::string& key, const std::string& fallback,
                              size_t bufferSize) {
  if (bufferSize == 0) return {};
  const size_t room = bufferSize - 1;

  // The platform strips trailing blanks from the fallback.
  std::string_view value = fallback;
  value = value.substr(0, value.find_last_not_of(' ') + 1);

  std::string text;
  int err = 0;
  if (ReadWholeFile(path, text, err)) {
    std::string_view view = text;
    if (view.substr(0, kUtf8Bom.size()) == kUtf8Bom) view.remove_prefix(kUtf8Bom.size());
    std::vector<Line> lines = SplitLines(view);
    Location where = Locate(lines, section, key);
    if (where.key) {
      std::string_view body = lines[*where.key].body;
      value = Trim(body.substr(body.find('=') + 1));
      // Like the platform, a value wrapped in matching quotes comes back without them.
      if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
          value.back() == value.front()) {
        value = value.substr(1, value.size() - 2);
      }
    }
  }
  return std::string(value.substr(0, room));
}

bool WriteProfileString(const std::string& path, const std::string& section, const std::string& key,
                        const std::string& value, std::string* error) {
  if (HasLineBreak(section) || HasLineBreak(key) || HasLineBreak(value))
    return Fail(error, path, "a setting cannot hold a line break");
  if (Trim(section).empty() || Trim(key).empty())
    return Fail(error, path, "a setting needs a section and a key");

  // Replace the file a symlink points at, not the link.
  std::string target = path;
  if (char* real = ::realpath(path.c_str(), nullptr)) {
    target = real;
    std::free(real);
  }

  std::string text;
  int err = 0;
  mode_t mode = 0644;  // new file: what the usual umask gives; umask() can't be read safely
  if (ReadWholeFile(target, text, err)) {
    // The rename would get past a read-only file; the operator's protection should hold.
    if (::access(target.c_str(), W_OK) != 0) return Fail(error, path, ReasonText(errno));
    struct stat st {};
    if (::stat(target.c_str(), &st) == 0) mode = st.st_mode & 07777;
  } else if (err != ENOENT) {
    return Fail(error, path, ReasonText(err));
  }

  std::string_view view = text;
  std::string_view bom;
  if (view.substr(0, kUtf8Bom.size()) == kUtf8Bom) {
    bom = view.substr(0, kUtf8Bom.size());
    view.remove_prefix(kUtf8Bom.size());
  }
  std::vector<Line> lines = SplitLines(view);
  // New lines follow the file's own convention; a new file gets plain LF.
  std::string_view eol = "\n";
  for (const Line& line : lines) {
    if (!line.eol.empty()) {
      eol = line.eol;
      break;
    }
  }

  const std::string keyLine = key + "=" + value;
  Location where = Locate(lines, section, key);
  std::string out(bom);
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
      std::string_view body = lines[i].body;
      size_t eq = body.find('=');
      size_t valueStart = body.find_first_not_of(" \t", eq + 1);
      out.append(body.substr(0, valueStart == std::string_view::npos ? body.size() : valueStart));
      out.append(value);
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

  if (!ReplaceFile(target, out, mode, err)) return Fail(error, path, ReasonText(err));
  return true;
}

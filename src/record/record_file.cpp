#include "record/record_file.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "record/json_text.h"

namespace {

// A disk with less room than this is taken as full: a run writes a few hundred bytes a row.
constexpr uint64_t kRoomForRows = 64 * 1024;
// A header or a JSON row is far shorter; a longer first line is no record of ours.
constexpr size_t kLongestFirstLine = 64 * 1024;

bool EndsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

std::string CannotWrite(const std::string& path, const std::string& why) {
  return "cannot write the record " + path + ": " + why;
}

std::string NotOurs(const std::string& path, const std::string& what) {
  return "the record " + path + " is not a production record of this updater (" + what +
         "); name a new file, or one this updater wrote";
}

std::vector<std::string> SplitCommas(const std::string& line) {
  std::vector<std::string> names;
  size_t start = 0;
  for (size_t comma; (comma = line.find(',', start)) != std::string::npos; start = comma + 1)
    names.push_back(line.substr(start, comma - start));
  names.push_back(line.substr(start));
  return names;
}

}  // namespace

std::unique_ptr<RecordFile> RecordFile::Open(const std::string& path, std::string* error) {
  if (path.empty()) {
    *error = "the record file's name is empty";
    return nullptr;
  }
  // Told before opening: opening a FIFO or a device can wait or have effects of its own.
  file_io::Kind kind = file_io::Kind::Other;
  if (const int err = file_io::Examine(path, &kind); err == 0 && kind != file_io::Kind::Regular) {
    *error = CannotWrite(
        path, kind == file_io::Kind::Directory ? "it is a directory" : "not a regular file");
    return nullptr;
  }
  std::unique_ptr<RecordFile> file(new RecordFile(path, EndsWith(path, ".jsonl")));
  if (file->m_file.OpenError() != 0) {
    *error = CannotWrite(path, std::strerror(file->m_file.OpenError()));
    return nullptr;
  }
  uint64_t size = 0;
  int err = 0;
  std::string refusal;
  if (!file->m_file.Describe(&kind, &size, &err))
    refusal = CannotWrite(path, std::strerror(err));
  else if (kind != file_io::Kind::Regular)
    refusal = CannotWrite(path, "not a regular file");
  uint64_t room = 0;
  if (refusal.empty() && file_io::FreeSpace(path, &room) == 0 && room < kRoomForRows)
    refusal = CannotWrite(path, "the disk is full (" + std::to_string(room) + " bytes free)");
  if (refusal.empty()) {
    // Two updaters starting on one new file must not both write the header.
    file->m_file.Lock();
    refusal = file->TakeOver();
    file->m_file.Unlock();
  }
  if (refusal.empty()) return file;
  *error = refusal;
  if (file->m_file.Created()) {
    file.reset();
    file_io::Remove(path);
  }
  return nullptr;
}

RecordFile::RecordFile(std::string path, bool jsonLines)
    : m_path(std::move(path)), m_file(m_path), m_jsonLines(jsonLines) {}

std::string RecordFile::TakeOver() {
  file_io::Kind kind = file_io::Kind::Other;
  uint64_t size = 0;
  int err = 0;
  if (!m_file.Describe(&kind, &size, &err)) return CannotWrite(m_path, std::strerror(err));
  if (size == 0) {
    m_columns = RecordFieldNames();
    std::string error;
    if (!m_jsonLines && !WriteLocked(CsvHeader(), &error)) return error;
    return {};
  }
  const std::string first = FirstLine(size, &err);
  if (err != 0) return CannotWrite(m_path, std::strerror(err));
  if (first.find('\0') != std::string::npos) return NotOurs(m_path, "it holds binary data");
  if (m_jsonLines) {
    if (!ParseJsonLine(first)) return NotOurs(m_path, "its first line is not a JSON object");
    return {};
  }
  const std::vector<std::string> columns = SplitCommas(first);
  const std::vector<std::string>& ours = RecordFieldNames();
  const bool prefix = columns.size() >= kFirstRecordColumns && columns.size() <= ours.size() &&
                      std::equal(columns.begin(), columns.end(), ours.begin());
  if (!prefix) return NotOurs(m_path, "its first line is not the record's header");
  m_columns = columns;
  return {};
}

std::string RecordFile::FirstLine(uint64_t size, int* err) const {
  std::string head(static_cast<size_t>(std::min<uint64_t>(size, kLongestFirstLine)), '\0');
  const long long got = m_file.ReadAt(0, head.data(), head.size(), err);
  if (got < 0) return {};
  head.resize(static_cast<size_t>(got));
  head = head.substr(0, head.find('\n'));
  if (!head.empty() && head.back() == '\r') head.pop_back();
  return head;
}

std::vector<std::string> RecordFile::LeftOut() const {
  if (m_jsonLines) return {};
  const std::vector<std::string>& ours = RecordFieldNames();
  return {ours.begin() + static_cast<long>(m_columns.size()), ours.end()};
}

std::string RecordFile::LeftOutNote() const {
  std::string fields;
  for (const std::string& name : LeftOut()) fields += (fields.empty() ? "" : ", ") + name;
  if (fields.empty()) return {};
  return "the record " + m_path +
         " was begun by an earlier version; its rows keep to its "
         "columns and leave out " +
         fields + " (name a new file to have them)";
}

bool RecordFile::Append(const SessionRecord& record, std::string* error) {
  return WriteLine(m_jsonLines ? RecordJson(record).Text() : CsvRow(record, m_columns), error);
}

bool RecordFile::WriteLine(const std::string& line, std::string* error) {
  m_file.Lock();
  const bool written = WriteLocked(line, error);
  m_file.Unlock();
  return written;
}

// Under the lock, so no other appender's row can land between a failed write and its undoing.
bool RecordFile::WriteLocked(const std::string& line, std::string* error) {
  file_io::Kind kind = file_io::Kind::Other;
  uint64_t size = 0;
  int err = 0;
  const bool sized = m_file.Describe(&kind, &size, &err);
  std::string text = line;
  char last = '\n';
  // A last line without its end (another program's, or a write cut short) is not ours to
  // glue onto.
  if (sized && size > 0 && m_file.ReadAt(size - 1, &last, 1, &err) == 1 && last != '\n')
    text.insert(0, 1, '\n');
  err = m_file.Append(text);
  if (err == 0) return true;
  if (sized) m_file.Truncate(size);
  *error = CannotWrite(m_path, std::strerror(err));
  return false;
}

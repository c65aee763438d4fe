#include "record/record_file.h"

#include <cstring>

namespace {

bool EndsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

std::string CannotWrite(const std::string& path, const std::string& why) {
  return "cannot write the record " + path + ": " + why;
}

}  // namespace

std::unique_ptr<RecordFile> RecordFile::Open(const std::string& path, std::string* error) {
  std::unique_ptr<RecordFile> file(new RecordFile(path, EndsWith(path, ".jsonl")));
  if (file->m_file.OpenError() != 0) {
    *error = CannotWrite(path, std::strerror(file->m_file.OpenError()));
    return nullptr;
  }
  file_io::Kind kind = file_io::Kind::Other;
  uint64_t size = 0;
  int err = 0;
  if (!file->m_file.Describe(&kind, &size, &err) || kind != file_io::Kind::Regular) {
    *error = CannotWrite(path, "not a regular file");
    return nullptr;
  }
  if (!file->m_jsonLines) {
    // Two updaters starting on one new file must not both write the header.
    file->m_file.Lock();
    const bool empty = file->m_file.Describe(&kind, &size, &err) && size == 0;
    const bool written = !empty || file->WriteLine(CsvHeader(), error);
    file->m_file.Unlock();
    if (!written) return nullptr;
  }
  return file;
}

RecordFile::RecordFile(std::string path, bool jsonLines)
    : m_path(std::move(path)), m_file(m_path), m_jsonLines(jsonLines) {}

bool RecordFile::Append(const SessionRecord& record, std::string* error) {
  return WriteLine(m_jsonLines ? RecordJson(record).Text() : CsvRow(record), error);
}

bool RecordFile::WriteLine(const std::string& line, std::string* error) {
  const int err = m_file.Append(line);
  if (err == 0) return true;
  *error = CannotWrite(m_path, std::strerror(err));
  return false;
}

#pragma once

#include <memory>
#include <string>

#include "image/file_io.h"
#include "record/session_record.h"

// The production record: CSV with a header row when the file is new, JSON Lines when its
// name ends in ".jsonl". Every row is one append of a whole line, flushed to disk, so rows
// from parallel sessions never interleave and none is lost when the updater is killed.
class RecordFile {
 public:
  // nullptr, with the reason in `error`, when the file cannot be opened for appending.
  static std::unique_ptr<RecordFile> Open(const std::string& path, std::string* error);
  RecordFile(const RecordFile&) = delete;
  RecordFile& operator=(const RecordFile&) = delete;

  // false, with the reason, when the row did not reach the disk whole.
  bool Append(const SessionRecord& record, std::string* error);
  const std::string& Path() const { return m_path; }

 private:
  RecordFile(std::string path, bool jsonLines);
  bool WriteLine(const std::string& line, std::string* error);

  std::string m_path;
  file_io::Appender m_file;
  bool m_jsonLines;
};

#pragma once

#include <memory>
#include <string>
#include <vector>

#include "image/file_io.h"
#include "record/session_record.h"

// The production record: CSV with a header row when the file is new, JSON Lines when its
// name ends in ".jsonl". Every row is one append of a whole line, flushed to disk, so rows
// from parallel sessions and processes never interleave and none is lost when the updater is
// killed. A row that does not fit is taken back out, so the file always ends with whole rows.
class RecordFile {
 public:
  // nullptr, with the reason in `error`, when the file cannot be written, is no regular file,
  // sits on a full disk, or holds something other than a record of ours. A file the refused
  // open created is removed again.
  static std::unique_ptr<RecordFile> Open(const std::string& path, std::string* error);
  RecordFile(const RecordFile&) = delete;
  RecordFile& operator=(const RecordFile&) = delete;

  // false, with the reason, when the row did not reach the disk whole; nothing of it is left.
  bool Append(const SessionRecord& record, std::string* error);
  const std::string& Path() const { return m_path; }
  // The fields of ours that rows leave out: those after the columns of a CSV file an earlier
  // version began, whose own header the rows keep to. Empty for JSON Lines.
  std::vector<std::string> LeftOut() const;
  // LeftOut in words for the operator, once per run; empty when nothing is left out.
  std::string LeftOutNote() const;

 private:
  RecordFile(std::string path, bool jsonLines);
  // Under the file's lock: writes the header of a new CSV file, or checks that the first line
  // is a record's. Empty, or why the file is refused.
  std::string TakeOver();
  std::string FirstLine(uint64_t size, int* err) const;
  bool WriteLine(const std::string& line, std::string* error);
  bool WriteLocked(const std::string& line, std::string* error);

  std::string m_path;
  file_io::Appender m_file;
  bool m_jsonLines;
  std::vector<std::string> m_columns;  // a CSV file's own header
};

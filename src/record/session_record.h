#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "charger/menu_reply.h"
#include "record/image_facts.h"
#include "record/json_text.h"

// One programming session as the production record keeps it. Absent texts are "not read".
struct SessionRecord {
  std::string time;  // UTC, ISO 8601
  std::string host;
  std::string port;
  std::string charger;
  std::optional<std::string> serial;
  std::optional<std::string> versionBefore;
  std::string image;  // file name
  uint32_t imageSize = 0;
  std::string imageSha256;
  std::optional<std::string> imageVersion;
  std::string result;  // succeeded, failed, skipped or cancelled
  std::string reason;
  int64_t durationMs = 0;
  std::string id;       // 32 hex digits, made with the row: a server drops a row it already has
  std::string station;  // --station-name, or the job's Station=
  std::string operatorName;                 // --operator
  std::string lot;                          // --lot
  std::string toolVersion;                  // the updater's own version
  std::string job;                          // the job's Name=
  int attempt = 1;                          // with --retries: which try on this charger this row is
  std::optional<std::string> versionAfter;  // what the charger reported after --verify
};

// What a run's rows say about where, by whom and from which job they were made.
struct RecordContext {
  std::string station;
  std::string operatorName;
  std::string lot;
  std::string job;
};

// The record's field names, in column order; JSON output uses the same names. Newer fields
// come at the end, so a file written by an earlier version has the first of them.
const std::vector<std::string>& RecordFieldNames();
// How many columns the first record files had.
inline constexpr size_t kFirstRecordColumns = 13;
// The fields under those names, for JSON lines: every name is there in every row, so readers
// see one shape; a text that was not read is null, never left out or "".
JsonLine RecordJson(const SessionRecord& record);
// Back from the fields of a JSON line; missing numbers read as 0.
SessionRecord RecordFromJson(const JsonFields& fields);
// One CSV line in `columns` (the record's names, all of them by default). Each text cell is
// UTF-8 with what is not (as JSON would) turned into U+FFFD, control bytes escaped as a terminal
// shows them (\x0d), and a leading =, +, - or @ behind a ' so a spreadsheet takes no formula.
std::string CsvRow(const SessionRecord& record,
                   const std::vector<std::string>& columns = RecordFieldNames());
std::string CsvHeader();

// A row for a session on `port` with `image`, made now on this computer, with the charger as
// it answered before the session; the caller adds the result.
SessionRecord NewSessionRecord(const std::string& port, const std::optional<MenuReply>& before,
                               const ImageFacts& image, const RecordContext& context = {});

std::string UtcNowIso8601();
// A new row id: 128 random bits as 32 lower-case hex digits.
std::string NewRowId();

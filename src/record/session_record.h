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
  std::string id;  // 32 hex digits, made with the row: a server drops a row it already has
};

// The record's field names, in column order; JSON output uses the same names.
const std::vector<std::string>& RecordFieldNames();
// The fields under those names, for JSON lines: every name is there in every row, so readers
// see one shape; a text that was not read is null, never left out or "".
JsonLine RecordJson(const SessionRecord& record);
// Back from the fields of a JSON line; missing numbers read as 0.
SessionRecord RecordFromJson(const JsonFields& fields);
std::string CsvRow(const SessionRecord& record);
std::string CsvHeader();

// A row for a session on `port` with `image`, made now on this computer, with the charger as
// it answered before the session; the caller adds the result.
SessionRecord NewSessionRecord(const std::string& port, const std::optional<MenuReply>& before,
                               const ImageFacts& image);

std::string UtcNowIso8601();
// A new row id: 128 random bits as 32 lower-case hex digits.
std::string NewRowId();

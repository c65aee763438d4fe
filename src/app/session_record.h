#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "json_text.h"

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
};

// The record's field names, in column order; JSON output uses the same names.
const std::vector<std::string>& RecordFieldNames();
// The fields under those names (absent texts left out), for JSON lines.
JsonLine RecordJson(const SessionRecord& record);
// Back from the fields of a JSON line; missing numbers read as 0.
SessionRecord RecordFromJson(const JsonFields& fields);
std::string CsvRow(const SessionRecord& record);
std::string CsvHeader();

std::string UtcNowIso8601();
std::string HostName();

#include "record/session_record.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <random>
#include <string_view>

#include "platform/host_name.h"
#include "platform/printable_text.h"
#include "platform/utf8.h"
#include "res/version.h"

namespace {

std::vector<std::optional<std::string>> Values(const SessionRecord& r) {
  return {r.time,
          r.host,
          r.port,
          r.charger,
          r.serial,
          r.versionBefore,
          r.image,
          std::to_string(r.imageSize),
          r.imageSha256,
          r.imageVersion,
          r.result,
          r.reason,
          std::to_string(r.durationMs),
          r.id,
          r.station,
          r.operatorName,
          r.lot,
          r.toolVersion,
          r.job,
          std::to_string(r.attempt),
          r.versionAfter};
}

std::string CsvCell(const std::string& text) {
  std::string cell = PrintableText(ValidUtf8(text));
  if (!cell.empty() && std::string_view("=+-@").find(cell.front()) != std::string_view::npos)
    cell.insert(0, 1, '\'');
  if (cell.find_first_of(",\"") == std::string::npos) return cell;
  std::string quoted = "\"";
  for (char c : cell) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
  return quoted + "\"";
}

std::optional<std::string> Field(const JsonFields& fields, const std::string& name) {
  auto it = fields.find(name);
  if (it == fields.end()) return std::nullopt;
  return it->second;
}

int64_t Number(const JsonFields& fields, const std::string& name) {
  const auto text = Field(fields, name);
  if (!text) return 0;
  try {
    return std::stoll(*text);
  } catch (const std::exception&) {
    return 0;
  }
}

}  // namespace

const std::vector<std::string>& RecordFieldNames() {
  static const std::vector<std::string> names = {
      "time",        "host",       "port",         "charger",       "serial", "version_before",
      "image",       "image_size", "image_sha256", "image_version", "result", "reason",
      "duration_ms", "id",         "station",      "operator",      "lot",    "tool_version",
      "job",         "attempt",    "version_after"};
  return names;
}

JsonLine RecordJson(const SessionRecord& record) {
  JsonLine line;
  const auto values = Values(record);
  const auto& names = RecordFieldNames();
  for (size_t i = 0; i < names.size(); ++i) {
    if (!values[i]) {
      line.AddNull(names[i]);
    } else if (names[i] == "image_size" || names[i] == "duration_ms" || names[i] == "attempt") {
      line.Add(names[i], static_cast<int64_t>(std::stoll(*values[i])));
    } else {
      line.Add(names[i], *values[i]);
    }
  }
  return line;
}

SessionRecord RecordFromJson(const JsonFields& fields) {
  SessionRecord r;
  r.time = Field(fields, "time").value_or("");
  r.host = Field(fields, "host").value_or("");
  r.port = Field(fields, "port").value_or("");
  r.charger = Field(fields, "charger").value_or("");
  r.serial = Field(fields, "serial");
  r.versionBefore = Field(fields, "version_before");
  r.image = Field(fields, "image").value_or("");
  r.imageSize = static_cast<uint32_t>(Number(fields, "image_size"));
  r.imageSha256 = Field(fields, "image_sha256").value_or("");
  r.imageVersion = Field(fields, "image_version");
  r.result = Field(fields, "result").value_or("failed");
  r.reason = Field(fields, "reason").value_or("");
  r.durationMs = Number(fields, "duration_ms");
  r.id = Field(fields, "id").value_or("");
  r.station = Field(fields, "station").value_or("");
  r.operatorName = Field(fields, "operator").value_or("");
  r.lot = Field(fields, "lot").value_or("");
  r.toolVersion = Field(fields, "tool_version").value_or("");
  r.job = Field(fields, "job").value_or("");
  r.attempt = std::max<int>(1, static_cast<int>(Number(fields, "attempt")));
  r.versionAfter = Field(fields, "version_after");
  return r;
}

std::string CsvHeader() {
  std::string header;
  for (const auto& name : RecordFieldNames()) header += (header.empty() ? "" : ",") + name;
  return header + "\n";
}

std::string CsvRow(const SessionRecord& record, const std::vector<std::string>& columns) {
  const auto values = Values(record);
  const auto& names = RecordFieldNames();
  std::string row;
  for (size_t i = 0; i < columns.size(); ++i) {
    if (i > 0) row += ',';
    const auto at = std::find(names.begin(), names.end(), columns[i]) - names.begin();
    if (static_cast<size_t>(at) < values.size()) row += CsvCell(values[at].value_or(""));
  }
  return row + "\n";
}

std::string UtcNowIso8601() {
  using namespace std::chrono;
  const auto now = floor<milliseconds>(system_clock::now());
  const auto day = floor<days>(now);
  const year_month_day date{day};
  const hh_mm_ss time{now - day};
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", int(date.year()),
                unsigned(date.month()), unsigned(date.day()), int(time.hours().count()),
                int(time.minutes().count()), int(time.seconds().count()),
                int(time.subseconds().count()));
  return text;
}

std::string NewRowId() {
  // The system's random source (getrandom, rand_s on Windows), not a seeded generator: ids of
  // rows made on many stations at the same moment must not meet.
  static std::random_device source;
  static std::mutex mutex;
  std::lock_guard lock(mutex);
  std::string id;
  for (int i = 0; i < 4; ++i) {
    char part[9];
    std::snprintf(part, sizeof part, "%08x", static_cast<unsigned>(source()));
    id += part;
  }
  return id;
}

SessionRecord NewSessionRecord(const std::string& port, const std::optional<MenuReply>& before,
                               const ImageFacts& image, const RecordContext& context) {
  static const std::string host = HostName();
  SessionRecord record;
  record.time = UtcNowIso8601();
  record.host = host;
  record.port = port;
  if (before) {
    record.charger = WithoutLoaderBytes(*before).identification;
    record.serial = before->serial;
    record.versionBefore = before->version;
  }
  record.image = image.name;
  record.imageSize = image.size;
  record.imageSha256 = image.sha256;
  record.imageVersion = image.versionTag;
  record.id = NewRowId();
  record.station = context.station;
  record.operatorName = context.operatorName;
  record.lot = context.lot;
  record.job = context.job;
  record.toolVersion = kChargerUpdaterVersion;
  return record;
}

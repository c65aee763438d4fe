#include "cli/session_report.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>

bool SameVersion(const MenuReply& reply, const ImageFacts& image) {
  return reply.version && image.versionTag && *reply.version == *image.versionTag;
}

std::string VerifyProblem(const std::optional<MenuReply>& reply, const ImageFacts& image) {
  if (!reply) return "the charger did not answer within 20 s after programming";
  if (!image.versionTag) return "";  // nothing to compare with: answering is all we can check
  if (!reply->version) return "the charger no longer reports its firmware version";
  if (*reply->version != *image.versionTag)
    return "the charger reports version " + *reply->version + " after programming, not " +
           *image.versionTag;
  return "";
}

bool SerialWanted(const MenuReply& reply, const std::vector<std::string>& serials) {
  if (serials.empty()) return true;
  return reply.serial && std::find(serials.begin(), serials.end(), *reply.serial) != serials.end();
}

bool SessionReport::Open(const std::string& recordPath, bool json) {
  m_json = json;
  if (recordPath.empty()) return true;
  std::string error;
  m_record = RecordFile::Open(recordPath, &error);
  if (!m_record) std::fprintf(stderr, "charger-updater-cli: %s\n", error.c_str());
  return m_record != nullptr;
}

bool SessionReport::StartPosting(const CliOptions& options) {
  if (options.postUrl.empty()) return true;
  PostSettings settings{options.postUrl, options.spoolFolder, options.caCert, ""};
  std::string error = TokenFromEnvironment(&settings.token);
  if (!error.empty()) {
    std::fprintf(stderr, "charger-updater-cli: %s.\n", error.c_str());
    return false;
  }
  m_poster = RecordPoster::Start(settings, &error);
  if (!m_poster)
    std::fprintf(stderr, "charger-updater-cli: %s; give a folder you can write with --spool DIR.\n",
                 error.c_str());
  return m_poster != nullptr;
}

SessionReport::~SessionReport() {
  if (!m_poster) return;
  m_poster->Finish();
  const RecordPoster::Summary left = m_poster->Summarize();
  if (left.rejected > 0)
    std::fprintf(stderr,
                 "charger-updater-cli: the server refused %zu record row%s; %s keeps them with "
                 "its answers.\n",
                 left.rejected, left.rejected == 1 ? "" : "s", left.rejectedFile.c_str());
  if (left.queued > 0)
    std::fprintf(stderr,
                 "charger-updater-cli: %zu record row%s in the spool %s%s; 'charger-updater-cli "
                 "records push' sends %s.\n",
                 left.queued, left.queued == 1 ? " waits" : "s wait", left.folder.c_str(),
                 left.problem.empty() ? "" : (" (" + left.problem + ")").c_str(),
                 left.queued == 1 ? "it" : "them");
}

SessionRecord SessionReport::MakeRecord(const std::string& port,
                                        const std::optional<MenuReply>& before,
                                        const std::string& result, const std::string& reason,
                                        int64_t durationMs) const {
  SessionRecord record = NewSessionRecord(port, before, m_image);
  record.result = result;
  record.reason = reason;
  record.durationMs = durationMs;
  return record;
}

void SessionReport::Finish(const SessionRecord& record) {
  if (m_record) {
    std::string error;
    if (!m_record->Append(record, &error))
      std::fprintf(stderr, "charger-updater-cli: %s\n", error.c_str());
  }
  if (m_poster) {
    std::string error;
    if (!m_poster->Add(record, &error))
      std::fprintf(stderr, "charger-updater-cli: %s\n", error.c_str());
  }
  if (m_json) {
    JsonLine line;
    line.Add("event", "result");
    Event(line.Merge(RecordJson(record)));
  }
}

void SessionReport::Event(const JsonLine& line) {
  if (!m_json) return;
  const std::string text = line.Text();
  std::lock_guard lock(m_mutex);
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

JsonLine ChargerEvent(const std::string& event, const std::string& port,
                      const std::optional<MenuReply>& reply) {
  JsonLine line;
  line.Add("event", event).Add("port", port);
  if (reply) {
    line.Add("charger", reply->identification);
    if (reply->serial)
      line.Add("serial", *reply->serial);
    else
      line.AddNull("serial");
    if (reply->version)
      line.Add("version", *reply->version);
    else
      line.AddNull("version");
  }
  return line;
}

#include "cli/session_report.h"

#include <algorithm>
#include <cstdio>
#include <string_view>

#include "conductor/worker_protocol.h"
#include "platform/printable_text.h"

namespace {

std::string_view Trimmed(std::string_view text) {
  constexpr std::string_view kBlanks = " \t";
  const size_t first = text.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

}  // namespace

bool SameVersion(const MenuReply& reply, const ImageFacts& image) {
  return reply.version && image.versionTag && *reply.version == *image.versionTag;
}

std::string VerifyProblem(const std::optional<MenuReply>& before,
                          const std::optional<MenuReply>& after, const ImageFacts& image) {
  if (!after) return "the charger did not answer within 20 s after programming";
  if (!image.versionTag) return "";  // nothing to compare with: answering is all we can check
  if (!after->version)
    return before && before->version ? "the charger no longer reports its firmware version"
                                     : "the charger reports no firmware version, so " +
                                           *image.versionTag + " cannot be confirmed";
  if (*after->version != *image.versionTag)
    return "the charger reports version " + *after->version + " after programming, not " +
           *image.versionTag;
  return "";
}

bool SerialWanted(const MenuReply& reply, const std::vector<std::string>& serials) {
  if (serials.empty()) return true;
  if (!reply.serial) return false;
  const std::string_view serial = Trimmed(*reply.serial);
  return std::any_of(serials.begin(), serials.end(),
                     [&](const std::string& wanted) { return Trimmed(wanted) == serial; });
}

bool SessionReport::Open(const std::string& recordPath, bool json, bool worker) {
  m_json = json;
  m_worker = worker;
  m_recordPath = recordPath;
  if (recordPath.empty() || worker) return true;
  std::string error;
  m_record = RecordFile::Open(recordPath, &error);
  if (!m_record) {
    std::fprintf(stderr, "charger-updater-cli: %s\n", error.c_str());
    return false;
  }
  if (const std::string note = m_record->LeftOutNote(); !note.empty())
    std::fprintf(stderr, "charger-updater-cli: %s.\n", note.c_str());
  return true;
}

std::string PostSettingsOf(const CliOptions& options, PostSettings* settings) {
  *settings = PostSettings{options.postUrl, options.spoolFolder, options.caCert, ""};
  return TokenFromEnvironment(&settings->token);
}

bool SessionReport::StartPosting(const CliOptions& options) {
  if (options.postUrl.empty()) return true;
  PostSettings settings;
  std::string error = PostSettingsOf(options, &settings);
  if (error.empty()) {
    if (StartPosting(settings, &error)) return true;
    error += "; give a folder you can write with --spool DIR";
  }
  std::fprintf(stderr, "charger-updater-cli: %s.\n", error.c_str());
  return false;
}

bool SessionReport::StartPosting(const PostSettings& settings, std::string* error) {
  if (settings.url.empty()) return true;
  m_post = settings;
  return m_worker || PostFromNowOn(error);
}

bool SessionReport::PostFromNowOn(std::string* error) {
  m_poster = RecordPoster::Start(*m_post, error);
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
  SessionRecord record = NewSessionRecord(port, before, m_image, m_context);
  record.result = result;
  record.reason = reason;
  record.durationMs = durationMs;
  return record;
}

void SessionReport::Finish(const SessionRecord& record, bool last) {
  if (m_worker) {
    std::lock_guard lock(m_mutex);
    if (!m_recordPath.empty() || m_post) m_unrecorded.push_back(record);
  } else if (const std::string problem = Keep(record); !problem.empty()) {
    std::lock_guard lock(m_mutex);
    if (m_recordProblem.empty()) {
      m_recordProblem = problem;
      // Once, and loudly: the session's result is what it is, but the run's record is not whole.
      std::fprintf(stderr,
                   "charger-updater-cli: %s. This session's row is not in the record; its result "
                   "stands, and the run ends with a status other than 0.\n",
                   PrintableText(problem).c_str());
      std::fflush(stderr);
    }
  }
  if (m_json) {
    JsonLine line;
    line.Add("event", m_worker && !last ? worker_protocol::kAttemptEvent : "result");
    Event(line.Merge(RecordJson(record)));
  }
}

std::string SessionReport::Keep(const SessionRecord& record) {
  std::string problem;
  if (m_record) m_record->Append(record, &problem);
  if (m_poster) {
    std::string error;
    if (!m_poster->Add(record, &error))
      std::fprintf(stderr, "charger-updater-cli: %s\n", error.c_str());
  }
  return problem;
}

void SessionReport::Event(const JsonLine& line) {
  if (m_json) Write(line.Text());
}

void SessionReport::Say(const std::string& text) {
  Write(text + "\n");
}

void SessionReport::Write(const std::string& text) {
  bool lost = false;
  {
    std::lock_guard lock(m_mutex);
    if (m_outputLost) return;
    const bool written = std::fwrite(text.data(), 1, text.size(), stdout) == text.size();
    lost = std::fflush(stdout) != 0 || !written;
    m_outputLost = lost;
  }
  if (lost && m_onOutputLost) m_onOutputLost();
}

void SessionReport::Recorded() {
  std::lock_guard lock(m_mutex);
  if (!m_unrecorded.empty()) m_unrecorded.pop_front();
}

void SessionReport::WriteUnrecorded() {
  std::deque<SessionRecord> rows;
  {
    std::lock_guard lock(m_mutex);
    rows.swap(m_unrecorded);
  }
  if (rows.empty()) return;
  std::string error;
  if (!m_recordPath.empty()) m_record = RecordFile::Open(m_recordPath, &error);
  if (m_post && !PostFromNowOn(&error))
    std::fprintf(stderr, "charger-updater-cli: %s; give a folder you can write with --spool DIR.\n",
                 error.c_str());
  for (const SessionRecord& row : rows) Keep(row);
}

std::string SessionReport::RecordProblem() const {
  std::lock_guard lock(m_mutex);
  return m_recordProblem;
}

JsonLine ChargerEvent(const std::string& event, const std::string& port,
                      const std::optional<MenuReply>& reply) {
  JsonLine line;
  line.Add("event", event).Add("port", port);
  if (reply) {
    line.Add("charger", WithoutLoaderBytes(*reply).identification);
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

std::string CountLine(int succeeded, int failed, int skipped, int refused) {
  std::string line = "===  " + std::to_string(succeeded) +
                     " succeeded ===  " + std::to_string(failed) + " failed ===";
  if (skipped > 0) line += "  " + std::to_string(skipped) + " skipped ===";
  if (refused > 0) line += "  " + std::to_string(refused) + " refused ===";
  return line;
}

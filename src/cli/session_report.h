#pragma once

#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "charger/menu_reply.h"
#include "cli/commands.h"
#include "post/record_poster.h"
#include "record/image_facts.h"
#include "record/json_text.h"
#include "record/record_file.h"
#include "record/session_record.h"
#include "ui/session_end.h"

// true when the charger's version equals the image's tag (both known).
bool SameVersion(const MenuReply& reply, const ImageFacts& image);
// Why a charger that answered after programming does not run the image; empty when it does.
// `before` is the charger as it answered before the session.
std::string VerifyProblem(const std::optional<MenuReply>& before,
                          const std::optional<MenuReply>& after, const ImageFacts& image);
// --serial: true when no list was given or the charger's serial is on it (blanks at either
// end of both do not count).
bool SerialWanted(const MenuReply& reply, const std::vector<std::string>& serials);

// --post's settings, with the token from CHARGER_UPDATER_TOKEN; why they cannot be used, or
// empty.
std::string PostSettingsOf(const CliOptions& options, PostSettings* settings);

// Where a command's sessions go: the record file, the server, and lines on stdout (JSON with
// --json). Any thread.
class SessionReport {
 public:
  SessionReport() = default;
  // Gives the poster its time to post what is queued, then says what was left behind.
  ~SessionReport();
  // Opens --record; false with the reason on stderr when it cannot be written. A worker leaves
  // its rows to its conductor, and writes (and posts) them itself only when the conductor is
  // gone.
  bool Open(const std::string& recordPath, bool json, bool worker = false);
  // With --post: opens the spool and starts posting; false with the reason on stderr when the
  // spool folder cannot be written or the token cannot be sent.
  bool StartPosting(const CliOptions& options);
  // The same with settings made beforehand (a station's); false, with the reason in `error`,
  // when the spool folder cannot be written.
  bool StartPosting(const PostSettings& settings, std::string* error);
  // Called once, on the writing thread, when stdout takes no more lines.
  void SetOutputLost(std::function<void()> onLost) { m_onOutputLost = std::move(onLost); }
  void SetImage(ImageFacts image) { m_image = std::move(image); }
  void SetContext(RecordContext context) { m_context = std::move(context); }
  const ImageFacts& Image() const { return m_image; }

  SessionRecord MakeRecord(const std::string& port, const std::optional<MenuReply>& before,
                           const std::string& result, const std::string& reason,
                           int64_t durationMs) const;
  // Appends the row to the record and queues it for the server, saying once (and loudly) when a
  // row cannot be kept; prints it as a result event with --json. A row that another attempt
  // follows (--retries) is not `last`: a worker tells its conductor so.
  void Finish(const SessionRecord& record, bool last = true);
  // The row to the record and the server, nothing printed: why the record could not keep it,
  // or empty. For a conductor, which tells its face.
  std::string Keep(const SessionRecord& record);
  // One JSON line on stdout, whole, when --json is on.
  void Event(const JsonLine& line);
  // One line of text on stdout.
  void Say(const std::string& text);
  bool Json() const { return m_json; }

  // A worker's oldest result not yet confirmed is in its conductor's record.
  void Recorded();
  // A worker whose conductor is gone writes the rows the conductor did not confirm.
  void WriteUnrecorded();
  // Why the first row that could not be written was lost; empty when all were kept.
  std::string RecordProblem() const;

 private:
  void Write(const std::string& text);
  bool PostFromNowOn(std::string* error);

  bool m_json = false;
  bool m_worker = false;
  std::string m_recordPath;
  ImageFacts m_image;
  RecordContext m_context;
  std::unique_ptr<RecordFile> m_record;
  std::unique_ptr<RecordPoster> m_poster;
  std::optional<PostSettings> m_post;
  std::function<void()> m_onOutputLost;
  mutable std::mutex m_mutex;
  bool m_outputLost = false;
  std::string m_recordProblem;
  std::deque<SessionRecord> m_unrecorded;
};

// The count line of auto and gang; skips and refusals only when there were any, so a run
// without them reads as it always did.
std::string CountLine(int succeeded, int failed, int skipped, int refused);

// An event line naming the charger on `port`.
JsonLine ChargerEvent(const std::string& event, const std::string& port,
                      const std::optional<MenuReply>& reply);

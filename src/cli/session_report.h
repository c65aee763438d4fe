#pragma once

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
std::string VerifyProblem(const std::optional<MenuReply>& reply, const ImageFacts& image);
// --serial: true when no list was given or the charger's serial is on it.
bool SerialWanted(const MenuReply& reply, const std::vector<std::string>& serials);

// Where a command's sessions go: the record file, the server, and JSON lines on stdout. Any
// thread.
class SessionReport {
 public:
  SessionReport() = default;
  // Gives the poster its time to post what is queued, then says what was left behind.
  ~SessionReport();
  // Opens --record; false with the reason on stderr when it cannot be written.
  bool Open(const std::string& recordPath, bool json);
  // With --post: opens the spool and starts posting; false with the reason on stderr when the
  // spool folder cannot be written or the token cannot be sent.
  bool StartPosting(const CliOptions& options);
  void SetImage(ImageFacts image) { m_image = std::move(image); }
  const ImageFacts& Image() const { return m_image; }

  SessionRecord MakeRecord(const std::string& port, const std::optional<MenuReply>& before,
                           const std::string& result, const std::string& reason,
                           int64_t durationMs) const;
  // Appends the row to the record, queues it for the server; prints it as a result event with
  // --json.
  void Finish(const SessionRecord& record);
  // One JSON line on stdout, whole, when --json is on.
  void Event(const JsonLine& line);
  bool Json() const { return m_json; }

 private:
  bool m_json = false;
  ImageFacts m_image;
  std::unique_ptr<RecordFile> m_record;
  std::unique_ptr<RecordPoster> m_poster;
  std::mutex m_mutex;
};

// An event line naming the charger on `port`.
JsonLine ChargerEvent(const std::string& event, const std::string& port,
                      const std::optional<MenuReply>& reply);

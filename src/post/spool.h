#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

// Record rows waiting to be posted, in a folder that several programs may share:
//   queue.jsonl     the rows, one JSON object a line, oldest first
//   queue.pos       how many bytes of queue.jsonl are done with (posted, rejected or set aside)
//   rejected.jsonl  rows the server refused, each with its status and the start of its answer
//   set-aside.txt   lines that are no row: the torn end of a write cut short by a crash
//   url             the address rows were last posted to, for `records push`
// Adding and sending take separate locks, so a row is queued at once even while a post waits
// for the server, and only one sender at a time takes a row, so no row goes out twice.
namespace spool_files {
class File;
}

namespace spool {

// A row as queued: its JSON object (without the line break) and its id.
struct QueuedRow {
  std::string text;
  std::string id;
};

// What the server made of a row.
struct PostOutcome {
  enum class Verdict { Delivered, Rejected, Kept } verdict = Verdict::Kept;
  int status = 0;      // the HTTP status, when there was an answer
  std::string answer;  // a rejection's first bytes of the answer
};

struct Counts {
  size_t queued = 0;
  size_t rejected = 0;
  size_t setAside = 0;
  std::optional<std::string> oldestTime;  // of the first queued row
};

enum class PassEnd {
  Empty,    // every row is done with
  Kept,     // the server did not take the head row; it stays first
  Stopped,  // asked to stop
  Busy,     // another sender holds the queue
  Failed,   // a spool file could not be read or written
};

class Spool {
 public:
  // `folder`, or the user's data folder's spool when it is empty.
  static std::string FolderFor(const std::string& folder);
  // Makes the folder when it is missing; nullptr, with the reason, when it cannot be written.
  // An empty `folder` is the default one, as everywhere below.
  static std::unique_ptr<Spool> Open(const std::string& folder, std::string* error);
  // What a folder holds, without making or changing anything; nullopt with the reason when
  // it cannot be read. A folder that does not exist holds nothing.
  static std::optional<Counts> Look(const std::string& folder, std::string* error);

  const std::string& Folder() const { return m_folder; }
  std::string RejectedFile() const;
  // Queues `row` (a JSON object on one line) with one write, on the disk when it returns.
  bool Add(const std::string& row, std::string* error);
  // Hands rows to `post` oldest first; a delivered or rejected row is done with and is never
  // handed to any sender again. Ends at the first row kept, when the queue is empty, when
  // `goOn` says no, or when another sender holds the queue.
  PassEnd SendRows(const std::function<PostOutcome(const QueuedRow&)>& post,
                   const std::function<bool()>& goOn, std::string* error);

  std::string RememberedUrl() const;
  bool RememberUrl(const std::string& url, std::string* error);

 private:
  explicit Spool(std::string folder) : m_folder(std::move(folder)) {}
  std::string Path(const char* name) const;
  // One row under the send lock; nullopt when the pass goes on.
  std::optional<PassEnd> SendOne(spool_files::File& queue, spool_files::File& posFile,
                                 const std::function<PostOutcome(const QueuedRow&)>& post,
                                 std::string* error);

  std::string m_folder;
};

}  // namespace spool

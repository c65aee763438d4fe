#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "post/http_client.h"
#include "post/post_settings.h"
#include "post/spool.h"
#include "record/session_record.h"

inline constexpr std::chrono::milliseconds kPostLimit{10000};  // one POST, connect to answer
inline constexpr std::chrono::milliseconds kFirstRetry{1000};
inline constexpr std::chrono::milliseconds kLongestRetry{60000};
inline constexpr std::chrono::milliseconds kExitLimit{2000};  // for what is queued at exit

// Posts one queued row: 2xx delivers it; 4xx rejects it, except 408 and 429, which ask for a
// later try as a 5xx does; no answer keeps it. `problem` says why a row was kept.
spool::PostOutcome DeliverRow(HttpClient& client, const spool::QueuedRow& row,
                              std::chrono::milliseconds limit, std::string* problem);

// Record rows posted to a server through a spool. Add returns once the row is on the disk;
// a thread of its own posts the queued rows in order, so programming never waits for the
// server. While the server cannot be reached (or answers 5xx) the head row waits and is tried
// again after 1 s, then 2, 4, ... up to 60 s.
class RecordPoster {
 public:
  // Opens the spool and starts posting what it holds; nullptr, with the reason, when the
  // spool folder cannot be written. The settings must have been checked.
  static std::unique_ptr<RecordPoster> Start(const PostSettings& settings, std::string* error);
  ~RecordPoster();
  RecordPoster(const RecordPoster&) = delete;
  RecordPoster& operator=(const RecordPoster&) = delete;

  // Queues the row; false, with the reason, when it could not be written to the spool.
  bool Add(const SessionRecord& row, std::string* error);
  // Gives the thread at most `limit` to post what is queued, then stops it; what is left
  // stays in the spool for the next run.
  void Finish(std::chrono::milliseconds limit = kExitLimit);

  // After Finish: what this run leaves behind.
  struct Summary {
    std::string folder;
    std::string rejectedFile;
    size_t queued = 0;    // rows still in the spool, this run's and any other's
    size_t rejected = 0;  // rows the server refused during this run
    std::string problem;  // why the last row kept was kept
  };
  Summary Summarize() const;

 private:
  RecordPoster(std::unique_ptr<spool::Spool> spool, const PostSettings& settings,
               const PostUrl& url);
  void Run();
  spool::PostOutcome Deliver(const spool::QueuedRow& row);

  std::unique_ptr<spool::Spool> m_spool;
  HttpClient m_client;
  mutable std::mutex m_mutex;
  std::condition_variable m_changed;
  bool m_added = false;
  bool m_finishing = false;
  bool m_done = false;
  std::chrono::steady_clock::time_point m_deadline;
  std::atomic<bool> m_abort{false};
  size_t m_rejected = 0;
  std::string m_problem;
  std::thread m_thread;  // last: it starts once everything above is built
};

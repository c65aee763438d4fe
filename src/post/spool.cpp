#include "post/spool.h"

#include <cstdio>
#include <cstring>

#include "image/file_io.h"
#include "post/spool_files.h"
#include "record/json_text.h"
#include "record/session_record.h"

namespace spool {
namespace {

constexpr const char* kQueue = "queue.jsonl";
constexpr const char* kPos = "queue.pos";
constexpr const char* kRejected = "rejected.jsonl";
constexpr const char* kSetAside = "set-aside.txt";
constexpr const char* kUrl = "url";
constexpr const char* kAppendLock = "append.lock";
constexpr const char* kSendLock = "send.lock";
constexpr size_t kFirstRead = 4096;  // a row is well under this; longer ones are read on

std::string Problem(const std::string& path, int err) {
  return path + ": " + std::strerror(err);
}

// The next line at `offset`: `*line` without its break, `*complete` false when the file ends
// before one (an empty `*line` then: nothing more).
int ReadLine(const spool_files::File& file, uint64_t offset, std::string* line, bool* complete) {
  line->clear();
  for (size_t want = kFirstRead;; want *= 2) {
    const size_t had = line->size();
    if (const int err = file.ReadAt(offset + had, want - had, line); err != 0) return err;
    const size_t end = line->find('\n', had);
    if (end != std::string::npos) {
      line->resize(end);
      *complete = true;
      return 0;
    }
    if (line->size() < want) {
      *complete = false;
      return 0;
    }
  }
}

// The done-with count is rewritten in place, at a fixed width, and not flushed: losing it
// sends rows again, and the server drops repeats by their Idempotency-Key. A count that is
// unreadable, past the end or not at a line's start was damaged, and sending everything
// again is safe where skipping a row is not.
std::string PosText(uint64_t pos) {
  char text[32];
  std::snprintf(text, sizeof text, "%020llu\n", static_cast<unsigned long long>(pos));
  return text;
}

int ReadPos(const spool_files::File& posFile, const spool_files::File& queue, uint64_t* pos) {
  std::string text;
  if (const int err = posFile.ReadAt(0, 21, &text); err != 0) return err;
  *pos = 0;
  if (text.size() != 21 || text.find_first_not_of("0123456789") != 20) return 0;
  const uint64_t value = std::stoull(text.substr(0, 20));
  uint64_t size = 0;
  if (const int err = queue.Size(&size); err != 0) return err;
  std::string before;
  if (value == 0 || value > size) return 0;
  if (const int err = queue.ReadAt(value - 1, 1, &before); err != 0) return err;
  if (before == "\n") *pos = value;
  return 0;
}

// Appends `text` to a file only the holder of the send lock writes.
int AppendFlushed(const std::string& path, const std::string& text) {
  spool_files::File file(path);
  if (file.OpenError() != 0) return file.OpenError();
  uint64_t size = 0;
  int err = file.Size(&size);
  if (err == 0) err = file.WriteAt(size, text);
  return err != 0 ? err : file.Flush();
}

// A queued line as a row: a JSON object with an id.
std::optional<QueuedRow> AsRow(const std::string& line) {
  const auto fields = ParseJsonLine(line);
  if (!fields) return std::nullopt;
  const auto id = fields->find("id");
  if (id == fields->end() || id->second.empty()) return std::nullopt;
  return QueuedRow{line, id->second};
}

size_t CountLines(const std::string& text) {
  size_t lines = 0;
  for (char c : text) lines += c == '\n';
  return lines;
}

// The whole of a file read-only, from `offset`; "" when it does not exist.
int ReadRest(const std::string& path, uint64_t offset, std::string* text) {
  text->clear();
  file_io::Reader reader(path);
  if (reader.OpenError() == ENOENT) return 0;
  if (reader.OpenError() != 0) return reader.OpenError();
  char buffer[65536];
  uint64_t skipped = 0;
  int err = 0;
  for (long long got; (got = reader.Read(buffer, sizeof buffer, &err)) > 0;) {
    const uint64_t skip = std::min<uint64_t>(offset - skipped, static_cast<uint64_t>(got));
    skipped += skip;
    text->append(buffer + skip, static_cast<size_t>(got) - skip);
  }
  return err;
}

}  // namespace

std::string Spool::Path(const char* name) const {
  return spool_files::InFolder(m_folder, name);
}

std::string Spool::RejectedFile() const {
  return Path(kRejected);
}

std::string Spool::FolderFor(const std::string& folder) {
  return folder.empty() ? spool_files::DefaultSpoolFolder() : folder;
}

std::unique_ptr<Spool> Spool::Open(const std::string& given, std::string* error) {
  const std::string folder = FolderFor(given);
  if (folder.empty()) {
    *error = "the system names no data folder for the spool";
    return nullptr;
  }
  std::unique_ptr<Spool> spool(new Spool(folder));
  if (const int err = spool_files::MakeFolders(folder); err != 0) {
    *error = "cannot make the spool folder " + folder + ": " + std::strerror(err);
    return nullptr;
  }
  for (const char* name : {kQueue, kPos, kAppendLock, kSendLock}) {
    const spool_files::File file(spool->Path(name));
    if (file.OpenError() != 0) {
      *error = "cannot write to the spool folder: " + Problem(spool->Path(name), file.OpenError());
      return nullptr;
    }
  }
  return spool;
}

bool Spool::Add(const std::string& row, std::string* error) {
  spool_files::LockFile lock(Path(kAppendLock));
  spool_files::File queue(Path(kQueue));
  const int openError = lock.OpenError() != 0 ? lock.OpenError() : queue.OpenError();
  if (openError != 0) {
    *error = "cannot queue the row: " + Problem(Path(kQueue), openError);
    return false;
  }
  lock.Lock();
  uint64_t size = 0;
  std::string last;
  int err = queue.Size(&size);
  if (err == 0 && size > 0) err = queue.ReadAt(size - 1, 1, &last);
  // A torn line before ours (its writer died mid-write) must not swallow this row.
  const std::string text = (size > 0 && last != "\n" ? "\n" : "") + row + "\n";
  if (err == 0) err = queue.WriteAt(size, text);
  if (err == 0) err = queue.Flush();
  if (err != 0) queue.Truncate(size);  // half a row is taken back, not left torn
  lock.Unlock();
  if (err != 0) *error = "cannot queue the row: " + Problem(Path(kQueue), err);
  return err == 0;
}

PassEnd Spool::SendRows(const std::function<PostOutcome(const QueuedRow&)>& post,
                        const std::function<bool()>& goOn, std::string* error) {
  spool_files::LockFile sendLock(Path(kSendLock));
  spool_files::File queue(Path(kQueue));
  spool_files::File posFile(Path(kPos));
  for (const auto* file : {&queue, &posFile})
    if (file->OpenError() != 0) {
      *error = Problem(Path(file == &queue ? kQueue : kPos), file->OpenError());
      return PassEnd::Failed;
    }
  if (sendLock.OpenError() != 0) {
    *error = Problem(Path(kSendLock), sendLock.OpenError());
    return PassEnd::Failed;
  }

  // Each row under the lock anew, so that senders of other programs take turns row by row.
  for (;;) {
    if (!goOn()) return PassEnd::Stopped;
    if (!sendLock.TryLock()) return PassEnd::Busy;
    const std::optional<PassEnd> end = SendOne(queue, posFile, post, error);
    sendLock.Unlock();
    if (end) return *end;
  }
}

std::optional<PassEnd> Spool::SendOne(spool_files::File& queue, spool_files::File& posFile,
                                      const std::function<PostOutcome(const QueuedRow&)>& post,
                                      std::string* error) {
  uint64_t pos = 0;
  std::string line;
  bool complete = false;
  std::string path = Path(kQueue);
  int err = ReadPos(posFile, queue, &pos);
  if (err == 0) err = ReadLine(queue, pos, &line, &complete);
  uint64_t next = pos;
  if (err == 0 && complete) {
    next = pos + line.size() + 1;
    const auto row = AsRow(line);
    if (row) {
      const PostOutcome outcome = post(*row);
      if (outcome.verdict == PostOutcome::Verdict::Kept) return PassEnd::Kept;
      if (outcome.verdict == PostOutcome::Verdict::Rejected) {
        JsonLine rejected;
        rejected.Add("time", UtcNowIso8601())
            .Add("status", outcome.status)
            .Add("answer", outcome.answer)
            .AddJson("row", row->text);
        path = Path(kRejected);
        err = AppendFlushed(path, rejected.Text());
      }
    } else if (!line.empty()) {
      path = Path(kSetAside);
      err = AppendFlushed(path, line + "\n");
    }
  } else if (err == 0 && !line.empty()) {
    // No line break at the end: a row being written this moment, or a torn one. Under the
    // adders' lock no row is being written, so what is still unfinished there is torn; its
    // break is added, and the next turn sets it aside as a line that is no row.
    spool_files::LockFile appendLock(Path(kAppendLock));
    appendLock.Lock();
    err = ReadLine(queue, pos, &line, &complete);
    if (err == 0 && !complete && !line.empty()) {
      err = queue.WriteAt(pos + line.size(), "\n");
      if (err == 0) err = queue.Flush();
    }
    appendLock.Unlock();
    if (err == 0) return std::nullopt;
  }
  if (err == 0 && next != pos) {
    path = Path(kPos);
    err = posFile.WriteAt(0, PosText(next));
  }
  uint64_t size = 0;
  if (err == 0) err = queue.Size(&size);
  if (err == 0 && next >= size && size > 0) {
    // Everything is done with: empty the queue, under the adders' lock so no row added
    // meanwhile is cut off. The count is on the disk as 0 before the rows go, so a crash in
    // between can only send them again, never skip one.
    spool_files::LockFile appendLock(Path(kAppendLock));
    appendLock.Lock();
    err = queue.Size(&size);
    if (err == 0 && next >= size) {
      err = posFile.WriteAt(0, PosText(0));
      if (err == 0) err = posFile.Flush();
      if (err == 0) err = queue.Truncate(0);
      if (err == 0) err = queue.Flush();
    }
    appendLock.Unlock();
  }
  if (err != 0) {
    *error = Problem(path, err);
    return PassEnd::Failed;
  }
  if (next >= size) return PassEnd::Empty;
  return std::nullopt;
}

std::optional<Counts> Spool::Look(const std::string& folder, std::string* error) {
  const Spool spool(FolderFor(folder));
  Counts counts;
  std::string text;
  uint64_t pos = 0;
  if (const int err = ReadRest(spool.Path(kPos), 0, &text); err != 0) {
    *error = Problem(spool.Path(kPos), err);
    return std::nullopt;
  }
  if (text.size() == 21 && text.find_first_not_of("0123456789") == 20)
    pos = std::stoull(text.substr(0, 20));
  if (const int err = ReadRest(spool.Path(kQueue), pos, &text); err != 0) {
    *error = Problem(spool.Path(kQueue), err);
    return std::nullopt;
  }
  counts.queued = CountLines(text);
  if (const auto first = ParseJsonLine(text.substr(0, text.find('\n')))) {
    if (const auto time = first->find("time"); time != first->end())
      counts.oldestTime = time->second;
  }
  for (const auto& [name, count] :
       {std::pair{kRejected, &counts.rejected}, std::pair{kSetAside, &counts.setAside}}) {
    if (const int err = ReadRest(spool.Path(name), 0, &text); err != 0) {
      *error = Problem(spool.Path(name), err);
      return std::nullopt;
    }
    *count = CountLines(text);
  }
  return counts;
}

std::string Spool::RememberedUrl() const {
  std::string text;
  if (ReadRest(Path(kUrl), 0, &text) != 0) return "";
  return text.substr(0, text.find('\n'));
}

bool Spool::RememberUrl(const std::string& url, std::string* error) {
  if (RememberedUrl() == url) return true;
  if (const int err = file_io::ReplaceContents(Path(kUrl), url + "\n"); err != 0) {
    *error = "cannot write to the spool folder: " + Problem(Path(kUrl), err);
    return false;
  }
  return true;
}

}  // namespace spool

#include "post/record_poster.h"

#include <algorithm>
#include <optional>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
constexpr auto kOtherSenderPause = 250ms;  // another program is posting from the spool

}  // namespace

spool::PostOutcome DeliverRow(HttpClient& client, const spool::QueuedRow& row,
                              std::chrono::milliseconds limit, std::string* problem) {
  const HttpAnswer answer = client.Post(row.text, row.id, limit);
  spool::PostOutcome outcome;
  outcome.status = answer.status;
  if (answer.status >= 200 && answer.status < 300) {
    outcome.verdict = spool::PostOutcome::Verdict::Delivered;
  } else if (answer.status >= 400 && answer.status < 500 && answer.status != 408 &&
             answer.status != 429) {
    outcome.verdict = spool::PostOutcome::Verdict::Rejected;
    outcome.answer = answer.start;
  } else {
    *problem = answer.status != 0 ? "the server answered HTTP " + std::to_string(answer.status)
                                  : answer.error;
  }
  return outcome;
}

std::unique_ptr<RecordPoster> RecordPoster::Start(const PostSettings& settings,
                                                  std::string* error) {
  std::string why;
  const std::optional<PostUrl> url = ParsePostUrl(settings.url, &why);
  if (!url) {
    *error = settings.url + ": " + why;
    return nullptr;
  }
  auto spool = spool::Spool::Open(settings.spoolFolder, error);
  if (!spool || !spool->RememberUrl(settings.url, error)) return nullptr;
  return std::unique_ptr<RecordPoster>(new RecordPoster(std::move(spool), settings, *url));
}

RecordPoster::RecordPoster(std::unique_ptr<spool::Spool> spool, const PostSettings& settings,
                           const PostUrl& url)
    : m_spool(std::move(spool)),
      m_client(url, settings.caCert, settings.token),
      m_thread([this] { Run(); }) {}

RecordPoster::~RecordPoster() {
  Finish();
}

bool RecordPoster::Add(const SessionRecord& row, std::string* error) {
  std::string text = RecordJson(row).Text();
  text.pop_back();  // the line break
  if (!m_spool->Add(text, error)) return false;
  {
    std::lock_guard lock(m_mutex);
    m_added = true;
  }
  m_changed.notify_one();
  return true;
}

spool::PostOutcome RecordPoster::Deliver(const spool::QueuedRow& row) {
  std::chrono::milliseconds limit = kPostLimit;
  {
    std::lock_guard lock(m_mutex);
    if (m_finishing)
      limit = std::min(
          limit, std::chrono::duration_cast<std::chrono::milliseconds>(m_deadline - Clock::now()));
  }
  std::string problem;
  const spool::PostOutcome outcome = DeliverRow(m_client, row, limit, &problem);
  std::lock_guard lock(m_mutex);
  if (outcome.verdict == spool::PostOutcome::Verdict::Rejected) ++m_rejected;
  if (outcome.verdict == spool::PostOutcome::Verdict::Kept) m_problem = problem;
  return outcome;
}

void RecordPoster::Run() {
  std::unique_lock lock(m_mutex);
  std::chrono::milliseconds backoff{0};
  // Rows an earlier run left in the spool go first.
  bool retrying = true;
  Clock::time_point retryAt = Clock::now();
  for (;;) {
    if (retrying)
      m_changed.wait_until(lock, retryAt, [this] { return m_finishing; });
    else
      m_changed.wait(lock, [this] { return m_finishing || m_added; });
    m_added = false;
    const bool last = m_finishing;
    lock.unlock();
    std::string error;
    const spool::PassEnd end = m_spool->SendRows(
        [this](const spool::QueuedRow& row) { return Deliver(row); },
        [this, last] { return !m_abort && (!last || Clock::now() < m_deadline); }, &error);
    lock.lock();
    if (end == spool::PassEnd::Failed) m_problem = error;
    if (last || end == spool::PassEnd::Stopped) break;
    if (end == spool::PassEnd::Empty) {
      backoff = 0ms;
      retrying = false;
      m_problem.clear();
    } else if (end == spool::PassEnd::Busy) {
      retrying = true;
      retryAt = Clock::now() + kOtherSenderPause;
    } else {
      backoff = backoff == 0ms ? kFirstRetry : std::min(backoff * 2, kLongestRetry);
      retrying = true;
      retryAt = Clock::now() + backoff;
    }
  }
  m_done = true;
  m_changed.notify_all();
}

void RecordPoster::Finish(std::chrono::milliseconds limit) {
  if (!m_thread.joinable()) return;
  {
    std::unique_lock lock(m_mutex);
    m_finishing = true;
    m_deadline = Clock::now() + limit;
    m_changed.notify_all();
    if (!m_changed.wait_for(lock, limit, [this] { return m_done; })) {
      m_abort = true;
      m_client.Abort();
    }
  }
  m_thread.join();
}

RecordPoster::Summary RecordPoster::Summarize() const {
  Summary summary;
  summary.folder = m_spool->Folder();
  summary.rejectedFile = m_spool->RejectedFile();
  std::string ignored;
  if (const auto counts = spool::Spool::Look(m_spool->Folder(), &ignored))
    summary.queued = counts->queued;
  std::lock_guard lock(m_mutex);
  summary.rejected = m_rejected;
  summary.problem = m_problem;
  return summary;
}

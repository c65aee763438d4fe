// records push and records status: the spool of rows waiting for the server, by hand.
#include <cstdio>
#include <optional>
#include <thread>

#include "cli/commands.h"
#include "cli/terminal_text.h"
#include "post/post_settings.h"
#include "post/record_poster.h"
#include "post/spool.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
// Another program posting from the spool is waited for while the queue shrinks.
constexpr auto kOtherSenderPause = 100ms;
constexpr auto kOtherSenderPatience = kPostLimit + 5s;

const char* Rows(size_t count) {
  return count == 1 ? "row" : "rows";
}

}  // namespace

int RunRecordsPush(const CliOptions& options) {
  std::string error;
  auto spool = spool::Spool::Open(options.spoolFolder, &error);
  if (!spool) {
    std::fprintf(stderr, "charger-updater-cli: %s; name the spool with --spool DIR.\n",
                 error.c_str());
    return kExitUsage;
  }
  const std::string url = options.postUrl.empty() ? spool->RememberedUrl() : options.postUrl;
  if (url.empty()) {
    std::fprintf(stderr,
                 "charger-updater-cli: no rows of %s were posted before, so the server is not "
                 "known; give its address with --post URL.\n",
                 spool->Folder().c_str());
    return kExitUsage;
  }
  std::string why;
  const std::optional<PostUrl> target = ParsePostUrl(url, &why);
  std::string token;
  if (target) why = TokenFromEnvironment(&token);
  if (!why.empty() || (!options.postUrl.empty() && !spool->RememberUrl(url, &why))) {
    std::fprintf(stderr, "charger-updater-cli: %s.\n", why.c_str());
    return kExitUsage;
  }

  HttpClient client(*target, options.caCert, token);
  size_t delivered = 0, rejected = 0;
  std::string problem;
  size_t queuedBefore = SIZE_MAX;
  auto waitingSince = Clock::now();
  for (;;) {
    const spool::PassEnd end = spool->SendRows(
        [&](const spool::QueuedRow& row) {
          const spool::PostOutcome outcome = DeliverRow(client, row, kPostLimit, &problem);
          delivered += outcome.verdict == spool::PostOutcome::Verdict::Delivered;
          rejected += outcome.verdict == spool::PostOutcome::Verdict::Rejected;
          return outcome;
        },
        [] { return true; }, &error);
    if (end == spool::PassEnd::Failed) problem = error;
    if (end != spool::PassEnd::Busy) break;
    const auto counts = spool::Spool::Look(spool->Folder(), &error);
    const size_t queued = counts ? counts->queued : SIZE_MAX;
    if (queued < queuedBefore) waitingSince = Clock::now();
    queuedBefore = queued;
    if (Clock::now() - waitingSince > kOtherSenderPatience) {
      problem = "another program posting from the spool made no progress for " +
                std::to_string(kOtherSenderPatience.count() / 1000) + " s";
      break;
    }
    std::this_thread::sleep_for(kOtherSenderPause);
  }

  std::printf("Posted %zu %s to %s.\n", delivered, Rows(delivered), url.c_str());
  if (rejected > 0)
    std::printf("The server refused %zu %s; %s keeps them with its answers.\n", rejected,
                Rows(rejected), spool->RejectedFile().c_str());
  std::fflush(stdout);
  const auto counts = spool::Spool::Look(spool->Folder(), &error);
  if (!counts) problem = error;
  if (counts && counts->queued == 0) return kExitOk;
  const std::string left =
      counts ? std::to_string(counts->queued) + " " + Rows(counts->queued) : "rows";
  std::fprintf(stderr, "charger-updater-cli: %s left in the spool %s: %s.\n", left.c_str(),
               spool->Folder().c_str(), problem.c_str());
  return kExitProgramFailed;
}

int RunRecordsStatus(const CliOptions& options) {
  const std::string folder = spool::Spool::FolderFor(options.spoolFolder);
  std::string error;
  const auto counts = spool::Spool::Look(folder, &error);
  if (!counts) {
    std::fprintf(stderr, "charger-updater-cli: cannot read the spool: %s.\n", error.c_str());
    return kExitUsage;
  }
  std::printf("spool: %s\n", folder.c_str());
  std::printf("queued: %zu\n", counts->queued);
  std::printf("rejected: %zu\n", counts->rejected);
  std::printf("set aside: %zu\n", counts->setAside);
  std::printf("oldest queued: %s\n", PrintableText(counts->oldestTime.value_or("-")).c_str());
  return kExitOk;
}

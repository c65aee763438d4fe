#include "conductor/worker_options.h"

#include <cstdio>
#include <utility>

std::string QuotedNames(const std::vector<std::string>& names) {
  std::string joined;
  for (const auto& name : names) joined += (joined.empty() ? "\"" : ",\"") + name + "\"";
  return joined;
}

std::vector<std::string> WorkerOptions(const WorkerSettings& settings) {
  char timeout[32];
  std::snprintf(timeout, sizeof timeout, "%g", settings.timeoutSeconds);
  std::vector<std::string> options = {"--timeout", timeout};
  auto add = [&options](const char* option, const std::string& value) {
    if (!value.empty()) options.insert(options.end(), {option, value});
  };
  if (!settings.serials.empty()) add("--serial", QuotedNames(settings.serials));
  if (!settings.guards.models.empty()) add("--model", QuotedNames(settings.guards.models));
  for (const auto& [set, flag] : {std::pair{settings.guards.noDowngrade, "--no-downgrade"},
                                  {settings.skipSameVersion, "--skip-same-version"},
                                  {settings.verify, "--verify"},
                                  {settings.fast, "--fast"}})
    if (set) options.push_back(flag);
  if (settings.retries > 0) add("--retries", std::to_string(settings.retries));
  add("--sha256", settings.sha256);
  add("--record", settings.record);
  add("--post", settings.postUrl);
  add("--spool", settings.spoolFolder);
  add("--cacert", settings.caCert);
  add("--station-name", settings.context.station);
  add("--operator", settings.context.operatorName);
  add("--lot", settings.context.lot);
  add("--job-name", settings.context.job);
  return options;
}

#include "post/configured_posting.h"

std::unique_ptr<RecordPoster> StartConfiguredPosting(const std::string& configPath, const Job* job,
                                                     std::string* error) {
  PostSettings settings;
  if (!PostSettingsFromProfile(configPath, job, &settings, error) || settings.url.empty())
    return nullptr;
  std::unique_ptr<RecordPoster> poster = RecordPoster::Start(settings, error);
  if (!poster) *error += ". Correct [Record] Spool= in " + configPath + ".";
  return poster;
}

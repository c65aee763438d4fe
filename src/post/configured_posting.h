#pragma once

#include <memory>
#include <string>

#include "post/record_poster.h"

// config.ini's [Record] Url= for a window, or the Url= of the `job` it runs from: a poster
// started with its settings, nullptr when there is no Url= or (with `error` set, naming the
// key to correct) when they cannot be used.
std::unique_ptr<RecordPoster> StartConfiguredPosting(const std::string& configPath, const Job* job,
                                                     std::string* error);

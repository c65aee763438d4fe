#pragma once

#include <string>
#include <vector>

#include "job/guards.h"
#include "record/session_record.h"

// What each worker of a programming run is told besides its port and the image: the same for
// gang on the command line and for a station's window.
struct WorkerSettings {
  double timeoutSeconds = 35;
  std::vector<std::string> serials;
  Guards guards;
  std::string sha256;
  bool skipSameVersion = false;
  bool verify = false;
  bool fast = false;
  int retries = 0;
  std::string record;  // for the rows a worker writes itself once its conductor is gone
  std::string postUrl;
  std::string spoolFolder;
  std::string caCert;
  RecordContext context;
};

// Names as one option value a worker splits back whole: each quoted, so a serial number or a
// pattern with a comma or blanks at its ends arrives as it was.
std::string QuotedNames(const std::vector<std::string>& names);
// The settings as the workers' command-line options (ConductorPlan::workerOptions).
std::vector<std::string> WorkerOptions(const WorkerSettings& settings);
